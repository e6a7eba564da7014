# Manual pages are written by hand in roff, in packaging/man/, their footers
# naming the version as @VISTREL_VERSION@ (filled in from the top
# CMakeLists.txt into man/PAGE of the build tree, which the tests read), and
# installed compressed (gzip -9n: best compression, no name or time stamp in the file,
# so the packages are reproducible) into share/man/manN/.
include(GNUInstallDirs)

# vistrel_install_man(PAGE COMPONENT): installs packaging/man/PAGE (a file
# named NAME.SECTION, for example "vistreld.8" or "vistrel-server.1") into
# share/man/manSECTION/PAGE.gz as part of the install component COMPONENT,
# which is the Debian package it goes into ("vistrel", "vistrel-desktop").
function(vistrel_install_man page component)
  set(source ${PROJECT_SOURCE_DIR}/packaging/man/${page})
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "vistrel_install_man: there is no manual page ${source}")
  endif()
  if(NOT page MATCHES "^[A-Za-z0-9_.+-]+\\.([1-9])$")
    message(FATAL_ERROR "vistrel_install_man: ${page} must be named NAME.SECTION, such as vistreld.8")
  endif()
  set(section ${CMAKE_MATCH_1})
  set(filled ${PROJECT_BINARY_DIR}/man/${page})
  configure_file(${source} ${filled} @ONLY)
  set(output ${filled}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${filled} ${output}
    DEPENDS ${filled}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  add_custom_target(man-${page} ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
