# The Debian package: "cpack -G DEB" in the build folder (or the "package" target) makes
# pagemate_<version>-<revision>_<arch>.deb from the install rules, for the /usr prefix.

# Who makes it and where it lives; the copyright file, the changelog and the AppStream
# data take these too.
set(PAGEMATE_MAINTAINER "Fernwick <pagemate@fernwick.com>" CACHE STRING
  "The package's maintainer, as Debian writes it: name <mail>")
set(PAGEMATE_HOMEPAGE "https://fernwick.com/pagemate" CACHE STRING "The project's web page")
set(PAGEMATE_LICENSE "MIT")  # SPDX, for AppStream; "Expat" in the copyright file
set(PAGEMATE_DEB_REVISION 1)
set(PAGEMATE_DEB_VERSION "${PROJECT_VERSION}-${PAGEMATE_DEB_REVISION}")
# The release's day, for the AppStream release and the changelog's trailer line.
set(PAGEMATE_RELEASE_DATE 2026-12-07)
set(PAGEMATE_CHANGELOG_DATE "Mon, 07 Dec 2026 12:00:00 +0000")

# "cpack" packs what the build has made (the package test runs it beside other tests,
# so it must not start a build of everything); the "package" target builds first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pagemate)
set(CPACK_PACKAGE_VENDOR Fernwick)
set(CPACK_PACKAGE_CONTACT "${PAGEMATE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PAGEMATE_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop writing companion for the Notion app")
set(CPACK_PACKAGE_DESCRIPTION
  "Pagemate (页伴) lives in the status area and brings an assistant next to
the Notion desktop app: a quick bar that rewrites the selected text in
place, an assistant panel and a chat window that build pages from a
conversation, and meeting notes with on-device transcription
(pocketsphinx) and recording.

It starts at login, reaches its windows through global hot keys, the
status menu and the desktop entry's actions, and keeps the app password
in the Secret Service.")
# The DEB generator installs with this prefix under a DESTDIR of its own, so the
# autostart entry's absolute /etc lands in the package too.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME pagemate)
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PAGEMATE_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PAGEMATE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PAGEMATE_HOMEPAGE}")
# dpkg-shlibdeps reads the libraries the program links and names their packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the program uses at run time but does not link: a sound server, a Secret Service
# for the password, the en-US speech model, and the accessibility bus with GTK's bridge
# to it (reading Notion's page).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "pulseaudio | pipewire-pulse, gnome-keyring | keepassxc, pocketsphinx-en-us, at-spi2-core, libatk-adaptor")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
set(conffiles ${PROJECT_BINARY_DIR}/debian/conffiles)
file(WRITE ${conffiles} "/etc/xdg/autostart/pagemate-autostart.desktop\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${conffiles})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
