# SPDX-License-Identifier: MIT
# Two Debian packages from the install components: varkel (the game) and
# varkel-server (the server, its tools and its unit). scripts/package.sh
# builds them; dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varkel)
set(CPACK_PACKAGE_VERSION ${VARKEL_RELEASE})
set(CPACK_PACKAGE_VENDOR "The Varkel developers")
set(CPACK_PACKAGE_CONTACT "The Varkel developers <varkel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://varkel.example.org/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME varkel)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS fonts-dejavu-core)
# A player who chose no server plays on a personal one; zenity asks for a
# server from the menu and shows the launcher's messages there.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "varkel-server, zenity")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "small multi-player role-playing game, in French
In Varkel each player gives life to a character, wakes it and puts it to
sleep, keeps it fed and watered between the hotel, the well, the graveyard
and the forest, and talks with everyone else on the server.

This package holds the graphical client and its launcher, varkel, which
gives every player a tree of files of their own, remembers the server
chosen last, and starts a personal server when none is chosen.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME varkel-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION games)
# varkel_certificate makes a host's own authority with the openssl tool.
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS openssl)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "game server of the Varkel role-playing game
The server keeps the world of Varkel, the characters, their needs and the
last lines said, in an SQLite database, and serves many players at once.

This package holds the server with its systemd unit, varkel-server.service
(not enabled on install), its administration tool and its load generator.")

include(CPack)
