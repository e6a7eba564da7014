# Run by cpack before it builds the packages: the newest entry of
# packaging/changelog.Debian must be for the version being packaged.
if(NOT CPACK_VISTREL_CHANGELOG_UPSTREAM STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "packaging/changelog.Debian's newest entry is for ${CPACK_VISTREL_CHANGELOG_UPSTREAM}, "
                      "the project is ${CPACK_PACKAGE_VERSION}: add an entry for ${CPACK_PACKAGE_VERSION}-1")
endif()
