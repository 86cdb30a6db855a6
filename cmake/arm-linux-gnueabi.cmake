# Cross build for the appliance's 32-bit ARM (Debian crossbuild-essential-armel).
# Tests run under user-mode emulation: qemu-arm with the cross sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TORPOR_TRIPLET arm-linux-gnueabi)

set(CMAKE_C_COMPILER ${TORPOR_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TORPOR_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TORPOR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot's libraries first: a multiarch libc6:armel (make deb installs
# one) would otherwise be loaded beside the sysroot's dynamic linker.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${TORPOR_TRIPLET}
  -E LD_LIBRARY_PATH=/usr/${TORPOR_TRIPLET}/lib)
