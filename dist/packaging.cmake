# The Debian package, built by scripts/package.sh with cpack: everything `cmake --install` puts
# in place, under /usr. Depends comes from the shared libraries the programs actually link
# (dpkg-shlibdeps); the programs are stripped.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME solvane)
set(CPACK_PACKAGE_VENDOR "Solvane developers")
set(CPACK_PACKAGE_CONTACT "Solvane developers <solvane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor and control electrically tuned solar filters")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# solvane_<version>_<architecture>.deb; a cross build names its architecture in its toolchain file
# (cmake/debian-arm64.cmake), where cpack would take this machine's.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(SOLVANE_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${SOLVANE_DEB_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Alpaca server's page draws its history plots with the system's Chart.js, which the server
# serves itself (no CDN); the libraries found by dpkg-shlibdeps are added to this.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-chart.js")
# The panels' labels want a face metric-compatible with Arial; Help and the bandpass log open
# through the desktop's xdg-open; the INDI driver runs under indiserver.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation2 | fonts-liberation, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "indi-bin, kstars")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary above it as the synopsis and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Solvane watches and drives up to four electrically tuned narrow-band solar
filters (hydrogen alpha and other lines), each on its own serial port. A
filter holds its passband on a spectral line by heating an internal element,
reports whether it is on band, heating, cooling, asleep or in a fault, and can
move its passband up to 1.0 Angstrom into the wing of the line.

The package holds the observer's window SolvaneControl, the console tool
SolvaneCommand for scripts at the start and end of a night, the INDI driver
indi_solvane for KStars/Ekos, the filter simulator solvane-sim for trying it
all without hardware, solvane-render-panel and make-solar-atlas.")
include(CPack)
