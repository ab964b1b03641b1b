# The packaged program under Wine, typed at through tmux, writing to a
# diskette drive E: that is a regular file. Included from the native build
# when FWDISK_EXE is set.
foreach(case fresh-console signed-from-cmd)
    string(REPLACE "-" "_" name "e2e_${case}")
    add_test(NAME ${name}
             COMMAND /bin/bash "${CMAKE_SOURCE_DIR}/tests/e2e/cases.sh" ${case} "${FWDISK_EXE}")
    # Each case has its own Wine prefix, wineserver and tmux server, so they
    # may run side by side; each waits at most E2E_TIMEOUT per step.
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS e2e ENVIRONMENT "E2E_TIMEOUT=60")
endforeach()
