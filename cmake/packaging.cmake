# The packages, made by `cpack` from what cmake/install.cmake installs:
# a .deb on Linux and a .zip for Windows. scripts/package builds both.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The jiggle developers")
set(CPACK_PACKAGE_CONTACT "The jiggle developers <jiggle@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "nudge the mouse pointer every 2 seconds until Enter")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
# The builds carry debugging information; the packages do not.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: from the libraries the binary links, as dpkg-shlibdeps finds.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
jiggle keeps a desktop session awake as if someone were using the mouse:
it moves the mouse pointer by a small random step (1 to 11 units per
axis) at once and after every pause of 2 seconds, until Enter is pressed
in its terminal.
.
On X11 it sends the motions through the XTEST extension. On Wayland and
on the text console it uses a uinput virtual pointer, which needs write
access to /dev/uinput: an example udev rule that grants it to the user at
the seat is in /usr/share/doc/jiggle/examples.]=])
  string(STRIP "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}"
         CPACK_DEBIAN_PACKAGE_DESCRIPTION)

  # /usr/share/doc/jiggle/copyright, in Debian's machine-readable format,
  # with the licence's text taken from LICENSE: its paragraphs indented by
  # one space, with "." for the empty lines.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE jiggle_license)
  string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1"
         jiggle_license "${jiggle_license}")
  string(STRIP "${jiggle_license}" jiggle_license)
  string(REGEX REPLACE "\n\n" "\n.\n" jiggle_license "${jiggle_license}")
  string(REGEX REPLACE "\n" "\n " jiggle_license "${jiggle_license}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/LICENSE)
  configure_file(packaging/debian/copyright.in copyright @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
