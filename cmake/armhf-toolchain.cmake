# Cross build for 32-bit ARM (armhf, glibc) with Debian's cross compiler and multiarch libraries.
# Tests run through qemu-arm, which finds the armhf loader and libraries under /.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)

# pkg-config reads the armhf .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Debian's log4cpp development package cannot be installed for two architectures at once, so
# scripts/install-deps.sh --cross unpacks the armhf one here; the runtime library comes from
# the multiarch package liblog4cpp5v5:armhf.
set(TAMO_ARMHF_SYSROOT "/opt/tamo-armhf" CACHE PATH "Unpacked armhf development packages")
set(LOG4CPP_INCLUDE_DIR "${TAMO_ARMHF_SYSROOT}/usr/include" CACHE PATH "")
set(LOG4CPP_LIBRARY "/usr/lib/arm-linux-gnueabihf/liblog4cpp.so.5" CACHE FILEPATH "")
