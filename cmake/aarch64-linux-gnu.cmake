# Cross build for 64-bit Arm Linux with Debian's cross compiler, against
# Debian's arm64 libraries (the arm64 architecture added to dpkg, as
# scripts/install-deps --test does).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# pkg-config reads the arm64 libraries' .pc files, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# Build tools (wayland-scanner) are the host's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
