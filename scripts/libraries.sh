# The Debian development packages of every library the programs and their tests link: the one
# list that the native set-up (scripts/setup.sh) installs as it is and the arm64 cross build
# (scripts/install-cross-packages.sh) installs for the foreign architecture. A library the
# programs start or stop linking is one edit here. Sourced by bash.
solvane_libraries=(
  libgtest-dev libgmock-dev   # tests
  qt6-base-dev libgl-dev      # the windowed program, the painter, the Alpaca page
  qt6-charts-dev              # the windowed program's History plots
  libindi-dev                 # the INDI driver
  libboost-dev                # the Alpaca server: HTTP (Boost.Beast, headers only)
  libcpp-httplib-dev          # the HTTP client of the Alpaca server's tests and benchmark
  nlohmann-json3-dev          # the Alpaca server: JSON
  libnova-dev                 # the Alpaca server: the sun for the wake and sleep schedule
)
