# Cross build for 64-bit ARM (Debian's arm64: Raspberry Pi OS 64-bit and other Debian 12 boards)
# on a Debian 12 amd64 machine prepared by scripts/install-cross-packages.sh arm64:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/debian-arm64.cmake
# Debian's multiarch layout is the target's root: the arm64 libraries are in
# /usr/lib/aarch64-linux-gnu beside the native ones, the headers in /usr/include are shared.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Debian's architecture name, for the package (dist/packaging.cmake).
set(SOLVANE_DEB_ARCHITECTURE arm64)

# Development packages that cannot be installed beside their native copies are unpacked here by
# scripts/install-cross-packages.sh; their pkg-config files come first.
set(SOLVANE_CROSS_ROOT /opt/solvane-cross/arm64)
# pkg-config reads the arm64 files only, as Debian's cross wrapper does.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "${SOLVANE_CROSS_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig")

# Qt's build tools (moc, rcc, uic) run on this machine: the native qt6-base-dev-tools, whose CMake
# packages Qt finds under QT_HOST_PATH; the arm64 Qt libraries and their CMake files come from
# qt6-base-dev:arm64.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# Tests (and the build step that draws the icons) run the arm64 programs under qemu's user-mode
# emulation. Programs they start in turn run through the kernel's binfmt entry for qemu.
find_program(SOLVANE_QEMU qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SOLVANE_QEMU})

# Programs are the build machine's; libraries, headers and CMake packages the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
