# Cross build for 64-bit Windows with mingw-w64 (posix threads), tests run
# under Wine. Third-party libraries come from build/windows-deps, which
# scripts/build-windows-deps fills.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

get_filename_component(_quillbox_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(QUILLBOX_WINDOWS_DEPS "${_quillbox_root}/build/windows-deps" CACHE PATH
    "Prefix of the static mingw-w64 builds of the third-party libraries")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QUILLBOX_WINDOWS_DEPS})
set(CMAKE_PREFIX_PATH ${QUILLBOX_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${QUILLBOX_WINDOWS_DEPS}/lib/pkgconfig")

set(CMAKE_CROSSCOMPILING_EMULATOR "${_quillbox_root}/scripts/wine-run")
