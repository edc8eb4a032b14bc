# The Debian package nfs-host, made by CPack (scripts/package) from this
# build: the host, its private library and the NFS module, the systemd unit,
# the manual page and the bash completion. The sample plug-ins stay out.

# Useful in any installed layout, so part of the installed program.
# gzip at install time so that the normal builds do nothing more.
configure_file(packaging/nfs_host.8.in ${CMAKE_CURRENT_BINARY_DIR}/nfs_host.8 @ONLY)
set(NFS_MANPAGE_GZ ${CMAKE_CURRENT_BINARY_DIR}/nfs_host.8.gz)
install(CODE "execute_process(COMMAND sh -c \"gzip -9n -c '${CMAKE_CURRENT_BINARY_DIR}/nfs_host.8' > '${NFS_MANPAGE_GZ}'\" COMMAND_ERROR_IS_FATAL ANY)"
  COMPONENT nfs_host)
install(FILES ${NFS_MANPAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT nfs_host)
# Every Debian package carries its copyright and changelog (lintian).
set(NFS_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
install(CODE "execute_process(COMMAND sh -c \"gzip -9n -c '${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog' > '${NFS_CHANGELOG_GZ}'\" COMMAND_ERROR_IS_FATAL ANY)"
  COMPONENT package_only EXCLUDE_FROM_ALL)
install(FILES packaging/copyright ${NFS_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nfs-host
  COMPONENT package_only EXCLUDE_FROM_ALL)
install(FILES packaging/nfs_host.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME nfs_host COMPONENT nfs_host)
# Only for the package: absolute paths, so never part of "cmake --install".
install(FILES scripts/nfs-host.service DESTINATION /lib/systemd/system COMPONENT package_only EXCLUDE_FROM_ALL)
install(FILES packaging/nfs_host.conf DESTINATION /etc/nfs_host COMPONENT package_only EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nfs-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "nfs_host maintainers <maintainers@users.noreply.c-seed-0ef0ab26.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NFS version 3 file server (service host with the nfs_service module)")
set(CPACK_PACKAGE_DESCRIPTION "An NFS version 3 server in user space that exports one local folder.
It runs as the unprivileged user nfs_host (systemd unit nfs-host, not
enabled at installation) and is managed over a local control socket
with the nfs_host call, status, stats and watch subcommands.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The unit goes to an absolute path: DESTDIR keeps it inside the package.
set(CPACK_SET_DESTDIR ON)
# Only what the package ships: never the sample plug-ins.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};nfs_host;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};package_only;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The maintainer scripts make the system user with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# The server registers its ports with the portmapper when one runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS rpcbind)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libnfs-utils)
# The administrator's edits of /etc/nfs_host/nfs_host.conf survive upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/conffiles
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
