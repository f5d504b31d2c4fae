# What `cmake --install` puts where. On Linux: the program, its man page
# and its documents in the usual places (GNUInstallDirs). On Windows: one
# folder with the program, the README and the licence, as the .zip holds.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS jiggle RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
else()
  install(TARGETS jiggle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (--strip, or cpack) also drops the compiler's notes,
  # as Debian's own packages do.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\"
        --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/jiggle\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # The udev rule that grants the user at the seat access to /dev/uinput
  # goes in as an example: whoever installs jiggle decides whether to copy
  # it to /etc/udev/rules.d, since it lets that user type anything.
  set(jiggle_rules_file packaging/udev/70-jiggle-uinput.rules)
  get_filename_component(jiggle_rules_name ${jiggle_rules_file} NAME)
  # The man page names it where it goes; the release tarballs, which hold it
  # beside the page, set JIGGLE_RULES_EXAMPLE to its bare name.
  if(NOT JIGGLE_RULES_EXAMPLE)
    set(JIGGLE_RULES_EXAMPLE
        ${CMAKE_INSTALL_FULL_DOCDIR}/examples/${jiggle_rules_name})
  endif()
  install(FILES ${jiggle_rules_file}
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # KWin offers its fake input protocol only to a program that a .desktop
  # file names by its absolute path in Exec, with the protocol in
  # X-KDE-Wayland-Interfaces. NoDisplay keeps it out of the menus.
  set(JIGGLE_EXEC ${CMAKE_INSTALL_FULL_BINDIR}/jiggle)
  configure_file(packaging/kde/jiggle.desktop.in jiggle.desktop @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jiggle.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # The man page names it where it goes; the release tarballs, which hold it
  # beside the page, set JIGGLE_DESKTOP_FILE to its bare name.
  if(NOT JIGGLE_DESKTOP_FILE)
    set(JIGGLE_DESKTOP_FILE
        ${CMAKE_INSTALL_FULL_DATADIR}/applications/jiggle.desktop)
  endif()

  # The man page takes the version and the files' paths from here, and
  # goes in compressed, as Debian's policy wants.
  configure_file(docs/jiggle.1.in jiggle.1 @ONLY)
  add_custom_command(OUTPUT jiggle.1.gz changelog.gz
    COMMAND gzip -9 --no-name --stdout jiggle.1 > jiggle.1.gz
    COMMAND gzip -9 --no-name --stdout ${PROJECT_SOURCE_DIR}/docs/changelog
            > changelog.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/jiggle.1 docs/changelog
    VERBATIM)
  add_custom_target(compressed_docs ALL
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/jiggle.1.gz
            ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/jiggle.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  install(FILES README.md LICENSE ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
          PATTERN jiggle.1.in EXCLUDE
          PATTERN changelog EXCLUDE)
endif()
