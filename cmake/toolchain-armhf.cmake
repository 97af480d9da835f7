# Cross build for 32-bit ARM (arm-linux-gnueabihf) with Debian's cross compilers and multiarch
# armhf libraries; test programs run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VXM_ARM_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VXM_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VXM_ARM_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VXM_ARM_TRIPLET})

# Libraries only from the cross runtime and the armhf multiarch directories, never the host's.
set(CMAKE_FIND_ROOT_PATH
  /usr/${VXM_ARM_TRIPLET}
  /usr/lib/${VXM_ARM_TRIPLET}
  /usr/include/${VXM_ARM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Multiarch headers are shared by every architecture in /usr/include; the per-architecture ones
# live below /usr/include/arm-linux-gnueabihf, which the cross compiler searches first.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# pkg-config reads only the armhf .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VXM_ARM_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# qemu-arm takes the dynamic loader from the cross runtime; LD_LIBRARY_PATH makes the C library come
# from the same place, not from the multiarch libc6:armhf, whose build may differ from that loader's.
set(CMAKE_CROSSCOMPILING_EMULATOR
  "qemu-arm;-L;/usr/${VXM_ARM_TRIPLET};-E;LD_LIBRARY_PATH=/usr/${VXM_ARM_TRIPLET}/lib")
