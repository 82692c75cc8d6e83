# Release packages, made by CPack: a Debian package of the POSIX build and a
# zip of the Windows build (scripts/release.sh makes both and their
# SHA256SUMS). Only the program and its documents are installed; the README
# they carry is the users' one (docs/user/README.md), not the repository's.
set(CPACK_PACKAGE_NAME tarvolin-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The tarvolin-agent developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line agent of the tarvolin code-signing service")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS tarvolin-agent RUNTIME DESTINATION .)
  install(FILES docs/user/README.md LICENSE DESTINATION .)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tarvolin-agent-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
else()
  set(TARVOLIN_PACKAGE_MAINTAINER "tarvolin-agent developers <maintainers@tarvolin.example>"
      CACHE STRING "Maintainer named in the Debian package")
  set(doc_dir share/doc/tarvolin-agent)
  set(debian_dir ${CMAKE_BINARY_DIR}/debian)

  # The copyright file in Debian's machine-readable form, with the licence
  # text of LICENSE.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" license "${license}")
  string(REGEX REPLACE "\n+$" "" license "${license}")
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " EXPAT_TEXT " ${license}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/copyright.in ${debian_dir}/copyright @ONLY)

  # Debian's changelog of a native package, dated SOURCE_DATE_EPOCH when set.
  string(TIMESTAMP CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${debian_dir}/changelog @ONLY)

  # Debian wants both compressed with gzip -9n (no name, no time stamp).
  set(compressed)
  foreach(source ${CMAKE_SOURCE_DIR}/tarvolin-agent.1 ${debian_dir}/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${debian_dir}/${name}.gz
      COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${debian_dir}/${name}.gz
      DEPENDS ${source} VERBATIM)
    list(APPEND compressed ${debian_dir}/${name}.gz)
  endforeach()
  add_custom_target(package-documents ALL DEPENDS ${compressed})

  install(TARGETS tarvolin-agent RUNTIME DESTINATION bin)
  install(FILES ${debian_dir}/tarvolin-agent.1.gz DESTINATION share/man/man1)
  install(FILES docs/user/README.md ${debian_dir}/copyright ${debian_dir}/changelog.gz
          DESTINATION ${doc_dir})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVOLIN_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION "tarvolin-agent uploads files to the tarvolin code-signing service, downloads
the signed result and saves it, and ends with an exit code that a build
script can trust. The authorisation key may come from the environment
(TARVOLIN_AUTH_KEY) instead of the command line.")
endif()
include(CPack)
