# Two Debian packages from the install components: murmurly (the client)
# and murmurly-server (the server as a systemd service). Configure with
# CMAKE_INSTALL_PREFIX=/usr and CMAKE_INSTALL_SYSCONFDIR=/etc, then run cpack;
# scripts/package.sh does both.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME murmurly)
set(CPACK_PACKAGE_VENDOR "The Murmurly developers")
set(CPACK_PACKAGE_CONTACT "The Murmurly developers <maintainers@murmurly.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The options file lives in /etc, outside the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE murmurly)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://murmurly.example.org/)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME murmurly)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "instant messaging client
Murmurly is a desktop instant messaging client. Users register or log in
to a Murmurly server, keep a friends list that shows who is online,
exchange messages in conversation windows, read what was sent while they
were away, and block other users.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME murmurly-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS adduser)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "message server for the Murmurly instant messenger
murmurly-server keeps the accounts, friends lists, blocks and waiting
messages of Murmurly clients and routes their messages. The package runs
it as the systemd service murmurly-server, as the system user murmurly,
with its database in /var/lib/murmurly.")
set(server_control ${PROJECT_SOURCE_DIR}/dist/debian/server)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${server_control}/postinst ${server_control}/prerm ${server_control}/postrm ${server_control}/conffiles)

include(CPack)
