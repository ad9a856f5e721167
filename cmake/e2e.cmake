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
set_tests_properties(e2e.cli PROPERTIES TIMEOUT 600 LABELS e2e RUN_SERIAL TRUE
  ENVIRONMENT QUILLBOX_VERSION=${PROJECT_VERSION})
# Under Wine it needs a service (the label is explained in cmake/testing.cmake).
if(WIN32)
  set_property(TEST e2e.cli APPEND PROPERTY LABELS ${QUILLBOX_SERVER_LABEL})
endif()

# The real program killed while it records stems, instructed stems and a
# single file from the private PulseAudio, then repaired as a user would.
add_test(NAME e2e.crash
  COMMAND bash ${PROJECT_SOURCE_DIR}/core/tests/e2e/crash_e2e.sh ${QUILLBOX_E2E_PLATFORM}
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:quillbox>)
set_tests_properties(e2e.crash PROPERTIES TIMEOUT 600 LABELS "e2e;${QUILLBOX_SERVER_LABEL}" RUN_SERIAL TRUE)

# The window, driven as a person would under Xvfb (keys and clicks) against
# the private sound server, with its controls read back by a probe program.
if(WIN32)
  add_executable(quillbox_window_probe ${PROJECT_SOURCE_DIR}/windows/tests/window/window_probe.cpp)
  target_compile_definitions(quillbox_window_probe PRIVATE UNICODE _UNICODE NOMINMAX)
  target_link_options(quillbox_window_probe PRIVATE -static)
  target_link_libraries(quillbox_window_probe PRIVATE user32 shell32)
  quillbox_warnings(quillbox_window_probe)
  add_test(NAME e2e.window
    COMMAND bash ${PROJECT_SOURCE_DIR}/windows/tests/e2e/window_e2e.sh
            $<TARGET_FILE:quillbox> $<TARGET_FILE:quillbox_window_probe>)
  set_tests_properties(e2e.window PROPERTIES TIMEOUT 900 LABELS "e2e;${QUILLBOX_SERVER_LABEL}" RUN_SERIAL TRUE)
endif()

# The Linux program's console recording against a private PulseAudio of its own.
if(NOT WIN32)
  add_test(NAME e2e.console
    COMMAND bash ${PROJECT_SOURCE_DIR}/linux/tests/e2e/console_e2e.sh $<TARGET_FILE:quillbox>)
  set_tests_properties(e2e.console PROPERTIES TIMEOUT 600 LABELS "e2e;${QUILLBOX_SERVER_LABEL}" RUN_SERIAL TRUE)
endif()

# The Linux program's window in Xvfb, driven with xdotool keys against a
# private PulseAudio; its screenshot is left in the build folder.
if(NOT WIN32)
  add_test(NAME e2e.linux_window
    COMMAND bash ${PROJECT_SOURCE_DIR}/linux/tests/e2e/window_e2e.sh $<TARGET_FILE:quillbox>
            ${CMAKE_BINARY_DIR}/linux-window.png)
  set_tests_properties(e2e.linux_window PROPERTIES TIMEOUT 300 LABELS "e2e;${QUILLBOX_SERVER_LABEL}" RUN_SERIAL TRUE)
endif()

# System audio that pauses: the Linux program records stems while the sink
# that plays the tone is suspended and resumed, on a private PulseAudio.
if(NOT WIN32)
  add_test(NAME e2e.pause
    COMMAND bash ${PROJECT_SOURCE_DIR}/linux/tests/e2e/pause_e2e.sh $<TARGET_FILE:quillbox>)
  set_tests_properties(e2e.pause PROPERTIES TIMEOUT 300 LABELS "e2e;${QUILLBOX_SERVER_LABEL}" RUN_SERIAL TRUE)
endif()

# The Linux program's stems against parec on a private PulseAudio whose
# devices keep time: sample for sample, for 90 s.
if(NOT WIN32)
  add_test(NAME e2e.parec
    COMMAND bash ${PROJECT_SOURCE_DIR}/linux/tests/e2e/parec_match_e2e.sh $<TARGET_FILE:quillbox> 90)
  set_tests_properties(e2e.parec PROPERTIES TIMEOUT 400 LABELS "e2e;${QUILLBOX_SERVER_LABEL}" RUN_SERIAL TRUE)
endif()
