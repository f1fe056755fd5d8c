# The manual page, the Debian documentation files and the Debian package:
#   cpack -G DEB --config <build>/CPackConfig.cmake
# makes fernwise_<version>_amd64.deb (scripts/package-deb.sh drives it with
# Debian's build flags and checks the result).

# The manual page carries the version and the date of the newest release
# in the metainfo, the one place that dates a release.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/linux/example.fernwise.Fernwise.metainfo.xml
  metainfo)
string(REGEX MATCH "<release version=\"[^\"]*\" date=\"([0-9-]+)\"" _ "${metainfo}")
set(FERNWISE_RELEASE_DATE ${CMAKE_MATCH_1})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  linux/example.fernwise.Fernwise.metainfo.xml)
configure_file(linux/fernwise.1.in fernwise.1 @ONLY)

# Debian keeps manual pages and changelogs compressed, without the time
# stamp gzip would otherwise store, so that a rebuild gives the same bytes.
set(gzipped ${CMAKE_CURRENT_BINARY_DIR}/fernwise.1.gz
            ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
configure_file(linux/changelog changelog COPYONLY)
add_custom_command(OUTPUT ${gzipped}
  COMMAND gzip -9nkf fernwise.1 changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/fernwise.1
          ${CMAKE_CURRENT_BINARY_DIR}/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  VERBATIM)
add_custom_target(fernwise_docs ALL DEPENDS ${gzipped})

set(docdir ${CMAKE_INSTALL_DATADIR}/doc/fernwise)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/fernwise.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz linux/copyright
  DESTINATION ${docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fernwise)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillory <fernwise@fernwise.example>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://fernwise.example)
# The libraries the program links, as dpkg-shlibdeps finds them (Qt, the C++
# runtime, the C library), rather than a list that would go stale.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "keeps backup copies of folders up to date")
# The synopsis above is the first line; these are the lines below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Fernwise is a small single-window program. A press of its one button reads
the job script Setup.ini from the current directory and brings each backup
folder it names up to date with its source: missing folders and files are
copied, files whose time differs are copied again, and in the duplex modes
what the source no longer has is erased, or first kept as a numbered copy.
It backs up onto Linux file systems and onto USB drives formatted FAT32,
exFAT or NTFS, and can write a listing of a folder tree.")
include(CPack)
