#!/usr/bin/env bash
# Mutation testing of the release command's guards against its cases: dev/mutants-release.py --help.
exec python3 "$(dirname "$0")/mutants-release.py" "$@"
