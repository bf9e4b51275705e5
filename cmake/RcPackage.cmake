# The Debian package of the installed program (scripts/package runs cpack):
# exactly what `cmake --install` puts under /usr. The runtime dependencies
# are computed by dpkg-shlibdeps (Debian: dpkg-dev) from the programs' own
# libraries, not listed by hand. No maintainer scripts: the menu and icon
# caches are refreshed by the desktop's own dpkg triggers, and serial access
# (the dialout group) is left to the administrator.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME radar-configurator)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VENDOR "Radar Configurator")
set(CPACK_PACKAGE_CONTACT "Radar Configurator maintainers <radar-configurator@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "set up a roadside radar speed sign over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "The Radar Configurator is for the field technicians who set up a roadside radar speed sign. \
Connected to the sign's controller by a serial port, it sets the sign's clock from the PC's, \
reads it back, and sends the sign its operating table: a morning and an afternoon school-zone \
period with their speed limits, the regular speed limit and the display's flashing rate.
The package holds the window (radar-configurator), the same commands from the command line for \
scripts and batches of signs (radar-sign), and a simulated sign for trying them without one \
(radar-sign-sim).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
