# Debian packages of both programs: `cpack -G DEB` in the build folder (or
# scripts/package) makes updater_VERSION_ARCH.deb and
# updater-publish_VERSION_ARCH.deb. Their dependencies are taken from the
# built binaries by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Updater developers <updater@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Keeps one installed desktop application current")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater publish)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debug information stays in the build folder.
set(CPACK_STRIP_FILES ON)
# The Updater is copied from here into each application's folder; it finds
# the application by where it stands, so it has no place on PATH.
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME updater)
set(CPACK_COMPONENT_UPDATER_DESCRIPTION
    "Keeps one installed desktop application current\n"
    "The Updater, in /usr/lib/updater, is copied into an application's folder\n"
    "beside its config.conf: it fetches signed releases over FTP or HTTPS,\n"
    "installs them all or nothing and starts the application.")
set(CPACK_DEBIAN_PUBLISH_PACKAGE_NAME updater-publish)
set(CPACK_DEBIAN_PUBLISH_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_PUBLISH_DESCRIPTION
    "Builds, signs and uploads releases for the Updater\n"
    "updater-publish makes minisign keys, packs a release folder into app.zip\n"
    "with deltas from earlier releases, signs it and its release.json, and\n"
    "uploads everything to an FTP server, version.ver last.")
include(CPack)
