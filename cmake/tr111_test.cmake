# tr111_add_test(NAME <name> TARGET <target> | SCRIPT <file> [ARGS ...] [TIMEOUT s] [LABELS ...])
#
# SCRIPT: a script of the source tree rather than a program built here (it
# runs on the host; the programs it starts get TR111_EMU).
# Every test runs in a network namespace of its own (unshare -n, loopback
# up), so the fixed loopback ports of the lab programs never clash when
# ctest runs tests in parallel. When cross-compiling, the emulator is put
# in front of the test program and handed to the test through TR111_EMU,
# so that the programs a test starts run under it too. TIMEOUT is multiplied
# by TR111_TEST_TIMEOUT_SCALE (the target's toolchain file raises it for
# emulation).
set(TR111_TEST_TIMEOUT_SCALE 1 CACHE STRING "Factor applied to every test timeout")
function(tr111_add_test)
  cmake_parse_arguments(T "" "NAME;TARGET;SCRIPT;TIMEOUT" "ARGS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${TR111_TEST_TIMEOUT_SCALE}")
  set(emu "")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(emu ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  if(T_SCRIPT)
    set(command ${T_SCRIPT})
  else()
    set(command ${emu} $<TARGET_FILE:${T_TARGET}>)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${CMAKE_SOURCE_DIR}/tests/netns-run ${command} ${T_ARGS})
  string(JOIN " " emu_text ${emu})
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "TR111_BIN=${CMAKE_BINARY_DIR}/bin;TR111_SRC=${CMAKE_SOURCE_DIR};TR111_EMU=${emu_text}")
endfunction()
