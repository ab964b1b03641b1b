# Source checkers over the program: any finding fails the test.
find_program(CLANG_TIDY clang-tidy REQUIRED)
find_program(CPPCHECK cppcheck REQUIRED)

add_test(NAME clang_tidy
         COMMAND ${CLANG_TIDY} -p ${CMAKE_BINARY_DIR} --quiet
                 ${CMAKE_SOURCE_DIR}/src/imagewrite.cpp ${CMAKE_SOURCE_DIR}/src/volume.cpp
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
add_test(NAME cppcheck
         COMMAND ${CPPCHECK} --error-exitcode=1 --quiet --std=c++17 --inline-suppr
                 --enable=warning,style,performance,portability
                 --suppressions-list=${CMAKE_CURRENT_LIST_DIR}/cppcheck-suppressions.txt
                 -I ${CMAKE_SOURCE_DIR}/tests/fake ${CMAKE_SOURCE_DIR}/src
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
