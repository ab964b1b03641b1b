# The packaged program under Wine, typed at through tmux, writing to a
# diskette drive E: that is a regular file; then a boot of what it wrote.
# Included from the native build when FWDISK_EXE is set.

find_program(E2E_MINGW_CC i686-w64-mingw32-gcc REQUIRED)

# Helpers of the tests' own, built for Windows.
set(e2e_bin "${CMAKE_BINARY_DIR}/e2e")
foreach(helper launcher hello)
    add_custom_command(OUTPUT "${e2e_bin}/${helper}.exe"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${e2e_bin}"
        COMMAND ${E2E_MINGW_CC} -Os -s -Wall -Wextra -Werror
                -o "${e2e_bin}/${helper}.exe" "${CMAKE_SOURCE_DIR}/tests/e2e/${helper}.c"
        DEPENDS "${CMAKE_SOURCE_DIR}/tests/e2e/${helper}.c"
        COMMENT "Building the Windows test helper ${helper}.exe")
endforeach()
add_custom_target(e2e_helpers ALL DEPENDS "${e2e_bin}/launcher.exe" "${e2e_bin}/hello.exe")

foreach(case fresh-console-write launched-no-pause declined no-such-drive boot-written)
    string(REPLACE "-" "_" name "e2e_${case}")
    add_test(NAME ${name}
             COMMAND /bin/bash "${CMAKE_SOURCE_DIR}/tests/e2e/cases.sh" ${case}
                     "${FWDISK_EXE}" "${e2e_bin}/launcher.exe")
    # Each case has its own Wine prefix, wineserver and tmux server, so they
    # may run side by side; each waits at most E2E_TIMEOUT per step.
    set_tests_properties(${name} PROPERTIES
        TIMEOUT 300
        LABELS e2e
        ENVIRONMENT "E2E_TIMEOUT=60")
endforeach()
