# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain.
# Target programs (the C++ tests, the PyPy that loads the module) run under
# qemu-user against the arm64 root that scripts/setup-aarch64.sh unpacks.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# pybind11's CMake package is architecture-independent and lives in .deps.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

get_filename_component(KIVRA_AARCH64_ROOT "${CMAKE_CURRENT_LIST_DIR}/../.deps/aarch64-root" ABSOLUTE)
# Libraries of the target beyond the toolchain's (zstd, lz4) come from the
# arm64 root, through its own pkg-config files; their headers live in the
# root's /usr/include, which pkg-config would otherwise leave out as a system path.
set(ENV{PKG_CONFIG_LIBDIR} "${KIVRA_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KIVRA_AARCH64_ROOT}")
set(ENV{PKG_CONFIG_ALLOW_SYSTEM_CFLAGS} 1)
list(APPEND CMAKE_FIND_ROOT_PATH ${KIVRA_AARCH64_ROOT})
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L ${KIVRA_AARCH64_ROOT}
    -E LD_LIBRARY_PATH=${KIVRA_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu:${KIVRA_AARCH64_ROOT}/lib/aarch64-linux-gnu)
