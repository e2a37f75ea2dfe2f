# One ctest test per GoogleTest suite of a test program, run as
# `program --gtest_filter=Suite.*`: a process per suite instead of a process per
# case (tables of many cases cost more to start than to run), and a failure still
# names its suite, with the failing cases in its output.
#
# The suites are listed when ctest runs (the program's --gtest_list_tests), so a
# new suite needs nothing here. Suites named in STRESS also carry the label
# `stress`: the heavy floods, which a build may leave out with `ctest -LE stress`.
# RUN_SERIAL: the suites run one at a time (they share a pcscd and its readers).
#
#   vorn_add_test_suites(e2e_tests RUN_SERIAL LABELS e2e TIMEOUT 600 STRESS FaultFlood)
set(VORN_TEST_SUITES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/test_suites_list.cmake)

function(vorn_add_test_suites target)
  cmake_parse_arguments(arg "RUN_SERIAL" "TIMEOUT" "LABELS;STRESS" ${ARGN})
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake)
  file(GENERATE OUTPUT ${include_file} CONTENT
"set(vorn_suites_program [==[$<TARGET_FILE:${target}>]==])
set(vorn_suites_labels [==[${arg_LABELS}]==])
set(vorn_suites_stress [==[${arg_STRESS}]==])
set(vorn_suites_timeout [==[${arg_TIMEOUT}]==])
set(vorn_suites_serial [==[${arg_RUN_SERIAL}]==])
include([==[${VORN_TEST_SUITES_SCRIPT}]==])
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
