# Debian packages of the install's components, made by CPack (cpack -G DEB in
# a Linux build): libpalaver1 (the shared library), libpalaver-dev (headers,
# CMake package, pkg-config file, the libPalaver.so link), palaver-server (the
# server, its systemd unit, user, default configuration and documentation)
# and palaver-chat. The version is the project's, read from palaver_c.h.
# The files only the packages carry are no part of a plain cmake --install.
set(_here ${CMAKE_CURRENT_LIST_DIR})
set(_component_of_libpalaver1 runtime)
set(_component_of_palaver-server server)
set(_component_of_palaver-chat chat)
set(_summary_of_palaver-server "the chat server of the Palaver chat room")
set(_summary_of_palaver-chat "a terminal client of the Palaver chat room")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME palaver)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Palaver Dev <dev@palaver.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development server chat)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# palaver-chat's libPalaver.so.1 is libpalaver1's, made in this build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(_exact "(= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libpalaver1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig runs on the trigger; the lintian overrides say why CPack's own
# ldconfig calls stay.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_here}/libpalaver1/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "client library of the Palaver chat room
libPalaver.so connects a host program (a game, a 3D viewer, a bot) to a
Palaver chat server: logging in, the users of a room, chat lines, whispers
and actions. Its C interface serves any language; the library carries its
own C++ runtime and loads OpenSSL only when a client asks for TLS.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libpalaver-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libpalaver1 ${_exact}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "client library of the Palaver chat room - development files
The headers of libPalaver (the C interface palaver_c.h, the C++ layer
palaver.hpp over it, Palaver.h and PalaverProfile.h), its CMake package
(find_package(Palaver)) and its pkg-config file (palaver.pc).")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME palaver-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${_here}/palaver-server/postinst ${_here}/palaver-server/prerm
  ${_here}/palaver-server/postrm ${_here}/palaver-server/conffiles)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "chat server of the Palaver chat room
palaver-server serves the rooms of Palaver hosts: logins checked against an
accounts file (Argon2id hashes), bans, limits per address, TLS, Prometheus
metrics, a control socket, reload on SIGHUP and a drain on stop. Several
servers can share their rooms over a NATS bus. The package runs it as a
systemd service under its own user, on loopback until configured in
/etc/default/palaver-server.")

set(CPACK_DEBIAN_CHAT_PACKAGE_NAME palaver-chat)
set(CPACK_DEBIAN_CHAT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CHAT_PACKAGE_DEPENDS "libpalaver1 ${_exact}")
set(CPACK_COMPONENT_CHAT_DESCRIPTION "terminal client of the Palaver chat room
palaver-chat logs in to a Palaver chat server and shows the room, its users
and their chat in a terminal (ncurses), or reads and writes plain lines.")

# Each package's copyright and changelog; the server's unit, configuration
# and documentation.
string(TIMESTAMP PALAVER_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${_here}/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/packaging/changelog)
foreach(component runtime development server chat)
  string(TOUPPER ${component} _upper)
  set(_doc ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
  install(FILES ${_here}/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${_doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/palaver-server.service
  DESTINATION lib/systemd/system COMPONENT server EXCLUDE_FROM_ALL)
install(FILES ${_here}/palaver-server/palaver-server.default
  DESTINATION /etc/default RENAME palaver-server COMPONENT server EXCLUDE_FROM_ALL)
install(FILES ${_here}/palaver-server/accounts
  DESTINATION /etc/palaver COMPONENT server EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/server.md ${PROJECT_SOURCE_DIR}/docs/cluster.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/palaver-server COMPONENT server EXCLUDE_FROM_ALL)
foreach(package libpalaver1 palaver-server)
  install(FILES ${_here}/${package}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
    COMPONENT ${_component_of_${package}} EXCLUDE_FROM_ALL)
endforeach()

# Manual pages made from the programs' --help by help2man: the target
# manual_pages, which packaging builds.
find_program(PALAVER_HELP2MAN help2man)
add_custom_target(manual_pages)
foreach(program palaver-server palaver-chat)
  if(TARGET ${program} AND PALAVER_HELP2MAN)
    set(_page ${PROJECT_BINARY_DIR}/packaging/${program}.1)
    add_custom_command(OUTPUT ${_page}.gz
      COMMAND ${PALAVER_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${_summary_of_${program}} --output=${_page} $<TARGET_FILE:${program}>
      COMMAND gzip -9nf ${_page}
      DEPENDS ${program}
      VERBATIM)
    target_sources(manual_pages PRIVATE ${_page}.gz)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT ${_component_of_${program}} EXCLUDE_FROM_ALL)
  endif()
endforeach()

include(CPack)
