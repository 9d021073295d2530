# Cross-build for the appliance's aarch64 board with Debian's cross compiler
# and the arm64 libraries installed through multiarch
# (sh tools/install-deps.sh target). Programs built here run on this machine
# under qemu-aarch64: the factory database generator at build time, the unit
# tests under ctest.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries: the cross sysroot and the multiarch arm64 ones
# only; host programs (pkg-config, sh, python3) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# libssl-dev:arm64 keeps libcrypto's build-specific headers (configuration.h,
# opensslconf.h) in the multiarch include directory, which the cross
# compiler does not search by itself; searched last, so that the cross
# sysroot's own C library headers still come first.
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include/aarch64-linux-gnu")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include/aarch64-linux-gnu")

# The loader comes from the cross sysroot; its C library must come from
# there too. Without the search path the loader finds libc through the
# host's cache, which lists the multiarch arm64 libc6 (a different build
# than the cross one), and the pair deadlocks in the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
