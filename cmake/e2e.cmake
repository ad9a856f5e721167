# End-to-end tests: the real program, run as a user would run it. For the
# Windows build it runs under Wine through the cross-compiling emulator.
if(WIN32)
  set(QUILLBOX_E2E_PLATFORM windows)
else()
  set(QUILLBOX_E2E_PLATFORM linux)
endif()

# Console modes: help, command-line errors, --repair and the window request,
# compared byte for byte on both standard streams with the exit status.
add_test(NAME e2e.cli
  COMMAND bash ${PROJECT_SOURCE_DIR}/core/tests/e2e/cli_e2e.sh ${QUILLBOX_E2E_PLATFORM}
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:quillbox>)
# Alone: under Wine a GUI program's standard error was once seen empty while
# other tests kept the same wineserver busy.
set_tests_properties(e2e.cli PROPERTIES TIMEOUT 600 LABELS e2e RUN_SERIAL TRUE)

# The Linux program's console recording against a private PulseAudio of its own.
if(NOT WIN32)
  add_test(NAME e2e.console
    COMMAND bash ${PROJECT_SOURCE_DIR}/linux/tests/e2e/console_e2e.sh $<TARGET_FILE:quillbox>)
  set_tests_properties(e2e.console PROPERTIES TIMEOUT 600 LABELS e2e RUN_SERIAL TRUE)
endif()
