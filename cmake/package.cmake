# The icon, rendered from res/quillbox.svg at build time, and what the Linux
# package installs: the program, its desktop entry, the icon in the hicolor
# sizes, a manual page made from the usage text. scripts/package makes the
# .deb (CPack) and the Windows zip.
find_program(QUILLBOX_RSVG rsvg-convert REQUIRED)
set(QUILLBOX_ICON_SVG ${PROJECT_SOURCE_DIR}/res/quillbox.svg)
set(QUILLBOX_ICON_DIR ${CMAKE_BINARY_DIR}/icons)

# quillbox_icon_png(SIZE OUT_VAR): the icon at SIZE x SIZE pixels.
function(quillbox_icon_png size out)
  set(png ${QUILLBOX_ICON_DIR}/quillbox-${size}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUILLBOX_ICON_DIR}
    COMMAND ${QUILLBOX_RSVG} -w ${size} -h ${size} -o ${png} ${QUILLBOX_ICON_SVG}
    DEPENDS ${QUILLBOX_ICON_SVG} VERBATIM)
  set(${out} ${png} PARENT_SCOPE)
endfunction()

if(WIN32)
  # One .ico with every size Windows picks from (title bar, taskbar, Explorer).
  find_program(QUILLBOX_MAGICK convert REQUIRED)
  set(QUILLBOX_ICO ${QUILLBOX_ICON_DIR}/quillbox.ico)
  set(pngs)
  foreach(size 16 20 24 32 40 48 64 128 256)
    quillbox_icon_png(${size} png)
    list(APPEND pngs ${png})
  endforeach()
  add_custom_command(OUTPUT ${QUILLBOX_ICO}
    COMMAND ${QUILLBOX_MAGICK} ${pngs} ${QUILLBOX_ICO}
    DEPENDS ${pngs} VERBATIM)
  add_custom_target(quillbox_icon DEPENDS ${QUILLBOX_ICO})
  add_dependencies(quillbox quillbox_icon)
  target_include_directories(quillbox PRIVATE ${QUILLBOX_ICON_DIR})
  set_property(SOURCE windows/res/quillbox.rc APPEND PROPERTY OBJECT_DEPENDS ${QUILLBOX_ICO})
  return()
endif()

include(GNUInstallDirs)
set(icon_files)
foreach(size 16 22 24 32 48 64 128 256)
  quillbox_icon_png(${size} png)
  list(APPEND icon_files ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME quillbox.png)
endforeach()
install(FILES ${QUILLBOX_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

set(man ${CMAKE_BINARY_DIR}/man/quillbox.1)
add_custom_command(OUTPUT ${man}.gz
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:quillbox> -DVERSION=${PROJECT_VERSION}
          -DOUTPUT=${man} -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
  COMMAND gzip -n -9 -f ${man}
  DEPENDS quillbox ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake VERBATIM)
add_custom_target(quillbox_package_files ALL DEPENDS ${icon_files} ${man}.gz)

install(TARGETS quillbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES linux/res/quillbox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES linux/res/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbox)
set(CPACK_PACKAGE_VENDOR "Quillbox")
set(CPACK_PACKAGE_CONTACT "Quillbox developers <quillbox@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop audio recorder: system audio, microphones, devices")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Desktop audio recorder: system audio, microphones, devices
Records what the computer plays (by loopback of the default output device),
the default microphone and any other input or output device into WAV files:
one mixed file, aligned stems or instructed stems. Files are written
crash-safe and can be repaired after a crash.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/build/packages)
include(CPack)
