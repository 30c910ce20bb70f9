# The Debian package (scripts/package builds it): everything the project
# installs, with the systemd unit, the man pages and the package's own
# documentation files.  A program that another part of the tree installs,
# and its man page in man/, joins the package without a change here.

set(OAM_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Directory of the installed systemd unit")
install(FILES ${CMAKE_SOURCE_DIR}/lib/systemd/system/oam.service DESTINATION ${OAM_SYSTEMD_UNIT_DIR})
# The netlink receive buffer limit the unit relies on instead of CAP_NET_ADMIN,
# applied by the postinst at once.
install(FILES ${CMAKE_SOURCE_DIR}/lib/sysctl.d/60-oam.conf DESTINATION lib/sysctl.d)
# The log folders the unit needs, made at each boot and by the postinst.
install(FILES ${CMAKE_SOURCE_DIR}/lib/tmpfiles.d/oam.conf DESTINATION lib/tmpfiles.d)
# The maintainer scripts enable, start, stop and forget the unit.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm
    ${CMAKE_SOURCE_DIR}/packaging/postrm)

# Man pages and the changelog are installed compressed, as Debian keeps them.
set(OAM_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
file(GLOB OAM_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/man/*.[1-8])
string(TIMESTAMP OAM_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${OAM_DOC_DIR}/changelog @ONLY)
set(OAM_GZ_FILES)
foreach(src ${OAM_MAN_PAGES} ${OAM_DOC_DIR}/changelog)
  get_filename_component(name ${src} NAME)
  set(gz ${OAM_DOC_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${gz}
                     COMMAND ${CMAKE_COMMAND} -E copy ${src} ${OAM_DOC_DIR}/gz/${name}
                     COMMAND gzip -9nf ${OAM_DOC_DIR}/gz/${name}
                     DEPENDS ${src} VERBATIM)
  list(APPEND OAM_GZ_FILES ${gz})
  if(name MATCHES "\\.([1-8])$")
    install(FILES ${gz} DESTINATION share/man/man${CMAKE_MATCH_1})
  else()
    install(FILES ${gz} DESTINATION share/doc/oam)
  endif()
endforeach()
add_custom_target(oam_docs ALL DEPENDS ${OAM_GZ_FILES})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/oam)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME oam)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oam)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "oam developers <oam-dev@zr400x.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "operations and maintenance daemon of the zr400x wireless chips")
set(CPACK_PACKAGE_DESCRIPTION
    "oam runs beside the kernel drivers of a zr400x wireless combo chip. It
stores the log data of the chip's cores in numbered, size-limited log files,
serves the PC debug tool on TCP port 3333 in test mode, and packs crash
memory dumps into dated .tar.gz archives.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the target architecture from DEB_HOST_ARCH, which
# scripts/package sets for a cross build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
if(OAM_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${OAM_DEB_ARCH})
endif()
include(CPack)
