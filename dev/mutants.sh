#!/usr/bin/env bash
# Mutation testing against the native tests: dev/mutants.py --help.
exec python3 "$(dirname "$0")/mutants.py" "$@"
