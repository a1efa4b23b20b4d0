# The Debian package: `cpack -G DEB` in a build directory configured with
# -DCMAKE_INSTALL_PREFIX=/usr gives parleyvox-server_<version>_<arch>.deb with the server in
# /usr/sbin, pvctl in /usr/bin, the man page, the README,
# the systemd units (one server, or one per instance) and the logrotate rule. The maintainer
# scripts create the system user parleyvox and its folders in /var/lib and /var/log.

set(PV_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(PV_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package-files)
set(PV_SYSTEMD_UNIT_DIR /lib/systemd/system)
set(PV_DOC_DIR share/doc/parleyvox-server)

install(TARGETS pvserver RUNTIME DESTINATION sbin)
install(TARGETS pvctl RUNTIME DESTINATION bin)

# One unit text for both: the template's instance gets folders of its own.
set(PV_UNIT_INSTANCE_NAME "")
set(PV_UNIT_INSTANCE_DIR "")
configure_file(${PV_PACKAGING}/parleyvox-server.service.in ${PV_PACKAGE_STAGE}/parleyvox-server.service @ONLY)
set(PV_UNIT_INSTANCE_NAME " %i")
set(PV_UNIT_INSTANCE_DIR "/%i")
configure_file(${PV_PACKAGING}/parleyvox-server.service.in ${PV_PACKAGE_STAGE}/parleyvox-server@.service @ONLY)
install(FILES ${PV_PACKAGE_STAGE}/parleyvox-server.service ${PV_PACKAGE_STAGE}/parleyvox-server@.service
        DESTINATION ${PV_SYSTEMD_UNIT_DIR})
install(FILES ${PV_PACKAGING}/parleyvox-server.logrotate DESTINATION /etc/logrotate.d RENAME parleyvox-server)

# Compressed the way Debian wants them: no time stamp in the gzip header.
configure_file(${PV_PACKAGING}/pvserver.8 ${PV_PACKAGE_STAGE}/pvserver.8 @ONLY)
# A native package's changelog is changelog.gz.
configure_file(${PV_PACKAGING}/debian/changelog ${PV_PACKAGE_STAGE}/changelog @ONLY)
find_program(PV_GZIP gzip REQUIRED)
foreach(page pvserver.8 changelog)
  execute_process(COMMAND ${PV_GZIP} -9nf ${PV_PACKAGE_STAGE}/${page} RESULT_VARIABLE gzip_failed)
  if(gzip_failed)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()
install(FILES ${PV_PACKAGE_STAGE}/pvserver.8.gz DESTINATION share/man/man8)
install(FILES ${PV_PACKAGE_STAGE}/changelog.gz ${PV_PACKAGING}/debian/copyright ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${PV_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parleyvox-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Parleyvox Server developers <dev@parleyvox.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice-conference server")
set(CPACK_PACKAGE_DESCRIPTION "The server of a small voice-conference service: clients log in over a TCP
control protocol and send voice as UDP datagrams, which the server checks and
relays to the other players of a room. It runs as a systemd service, one
server (parleyvox-server.service) or several on one host, each on its own
port (parleyvox-server@NAME.service).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.parleyvox.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PV_PACKAGING}/debian/postinst ${PV_PACKAGING}/debian/prerm ${PV_PACKAGING}/debian/postrm
    ${PV_PACKAGING}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
