# GoogleTest suites. Natively Debian's GTest; for Windows GoogleTest is built
# from /usr/src/googletest with the cross compiler, and every test runs under
# Wine through CMAKE_CROSSCOMPILING_EMULATOR.
if(WIN32)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(QUILLBOX_GTEST_MAIN gtest_main)
else()
  find_package(GTest CONFIG REQUIRED)
  set(QUILLBOX_GTEST_MAIN GTest::gtest_main)
endif()
include(GoogleTest)

# Test support shared by the tests and the benchmarks: the synthetic capture
# platform and the stepped clock that drive the real recorder.
file(GLOB QUILLBOX_TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/core/tests/support/*.cpp)
add_library(quillbox_test_support STATIC ${QUILLBOX_TEST_SUPPORT_SOURCES})
target_include_directories(quillbox_test_support PUBLIC ${PROJECT_SOURCE_DIR}/core/tests/support)
target_link_libraries(quillbox_test_support PUBLIC quillbox_core)
quillbox_warnings(quillbox_test_support)

# Unit and flow tests of the core and of the platform layer: one file per unit.
file(GLOB QUILLBOX_TEST_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/core/tests/*/*_test.cpp
  ${QUILLBOX_OS}/../tests/*/*_test.cpp)
# The Windows audio layer's pure rules (a header without Win32) are tested on
# every build.
if(NOT WIN32)
  list(APPEND QUILLBOX_TEST_SOURCES ${PROJECT_SOURCE_DIR}/windows/tests/wasapi/wasapi_formats_test.cpp)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/windows/tests/wasapi/wasapi_formats_test.cpp
    PROPERTIES INCLUDE_DIRECTORIES ${PROJECT_SOURCE_DIR}/windows/src)
endif()
add_executable(quillbox_tests ${QUILLBOX_TEST_SOURCES})
target_include_directories(quillbox_tests PRIVATE ${PROJECT_SOURCE_DIR}/core/tests ${QUILLBOX_OS}/../tests)
target_link_libraries(quillbox_tests PRIVATE quillbox_test_support quillbox_platform ${QUILLBOX_GTEST_MAIN})
if(WIN32)
  target_link_options(quillbox_tests PRIVATE -static)
  target_link_libraries(quillbox_tests PRIVATE psapi)
endif()
quillbox_warnings(quillbox_tests)
# The Linux tests hold up writes to chosen files (a disk that blocks) by
# wrapping the platform's write at link time (linux/tests/system/lost_audio_test.cpp).
if(NOT WIN32)
  target_link_options(quillbox_tests PRIVATE -Wl,--wrap=write)
endif()
# The Linux window's tests drive Qt widgets with Qt Test.
if(NOT WIN32)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  target_link_libraries(quillbox_tests PRIVATE Qt6::Test)
endif()
# Designated initializers that leave fields at their defaults are the point.
target_compile_options(quillbox_tests PRIVATE -Wno-missing-field-initializers)
target_compile_definitions(quillbox_tests PRIVATE
  QUILLBOX_TEST_BINARY_DIR="${CMAKE_BINARY_DIR}")
# Tests that need the sound server, Wine or the X server carry the label
# "server": scripts/test runs such a test once more when it fails, since those
# services have rare hiccups of their own on a loaded machine; any other test
# that fails once fails the run. Under Wine every test is one of them; natively
# the PulseAudio suites are.
# A parameterised test is named by its index (NO_PRETTY_VALUES): the printed
# value of a struct parameter includes its padding bytes, which change from
# one discovery to the next.
set(QUILLBOX_SERVER_LABEL server)
if(WIN32)
  gtest_discover_tests(quillbox_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    PROPERTIES TIMEOUT 300 LABELS ${QUILLBOX_SERVER_LABEL})
else()
  set(QUILLBOX_SERVER_SUITES "Pulse*")
  gtest_discover_tests(quillbox_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    TEST_FILTER "-${QUILLBOX_SERVER_SUITES}:QtWindow*" PROPERTIES TIMEOUT 300)
  # The window's tests need no X server: Qt's offscreen platform.
  gtest_discover_tests(quillbox_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    TEST_FILTER "QtWindow*" PROPERTIES TIMEOUT 300 LABELS window
    ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  gtest_discover_tests(quillbox_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    TEST_FILTER "${QUILLBOX_SERVER_SUITES}:-PulseWatch*" PROPERTIES TIMEOUT 300
    LABELS ${QUILLBOX_SERVER_LABEL})
  # These change the server's default output, which every recording beside
  # them would follow: they run alone.
  gtest_discover_tests(quillbox_tests DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    TEST_FILTER "PulseWatch*" PROPERTIES TIMEOUT 300 LABELS ${QUILLBOX_SERVER_LABEL}
    RUN_SERIAL TRUE)
endif()

# End-to-end tests of the program itself.
include(${PROJECT_SOURCE_DIR}/cmake/e2e.cmake)

# --- Recording files: crash-safety child program --------------------------
# crash_safety_test.cpp starts quillbox_crash_child (built next to the test
# executable) and kills it at random moments; the platform's process code for
# that lives in child_process_posix.cpp / child_process_win.cpp.
add_executable(quillbox_crash_child ${PROJECT_SOURCE_DIR}/core/tests/wav/crash_child_main.cpp)
target_include_directories(quillbox_crash_child PRIVATE ${PROJECT_SOURCE_DIR}/core/tests)
target_link_libraries(quillbox_crash_child PRIVATE quillbox_platform)
if(WIN32)
  target_link_options(quillbox_crash_child PRIVATE -static)
endif()
quillbox_warnings(quillbox_crash_child)
file(GLOB QUILLBOX_CHILD_PROCESS_SOURCES CONFIGURE_DEPENDS
  ${QUILLBOX_OS}/../tests/system/child_process_*.cpp)
target_sources(quillbox_tests PRIVATE ${QUILLBOX_CHILD_PROCESS_SOURCES})
add_dependencies(quillbox_tests quillbox_crash_child)
# --- end of the crash-safety section --------------------------------------

# --- Windows capture benchmark (printed figures, not a test) --------------
if(WIN32)
  add_executable(quillbox_capture_bench ${PROJECT_SOURCE_DIR}/windows/bench/capture_bench.cpp)
  target_include_directories(quillbox_capture_bench PRIVATE ${PROJECT_SOURCE_DIR}/windows/tests)
  target_link_libraries(quillbox_capture_bench PRIVATE quillbox_platform)
  target_link_options(quillbox_capture_bench PRIVATE -static)
  quillbox_warnings(quillbox_capture_bench)
endif()
