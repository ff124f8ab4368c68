# Cross build for the Raspberry Pi's 32-bit ARM Linux, hard-float (Debian
# armhf: `char` unsigned, `long` and pointers 32 bits), with Debian's
# arm-linux-gnueabihf cross compiler. cmake/armhf/install-deps.sh sets up
# what it needs. The tests run under qemu-arm as the cross-compiling
# emulator: no binfmt_misc needed, and the test support starts the built
# programs through it too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes on ARM that the passing of some std::vector iterators changed in
# GCC 7.1: about linking with code built by GCC 6 or older, which never
# happens here. Not warnings, but noise that would hide real ones.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Libraries come from the armhf multiarch directories of this machine
# (/usr/lib/arm-linux-gnueabihf) and from the sysroot that holds what apt
# cannot install beside the PC's own packages (yaml-cpp's development files).
set(PIKIT_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../../.deps/armhf" CACHE PATH
    "Directory with the armhf packages unpacked by cmake/armhf/install-deps.sh")
set(CMAKE_FIND_ROOT_PATH "${PIKIT_ARMHF_SYSROOT}" /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Plain qemu-arm: it finds the armhf loader and libraries in their multiarch
# places. (`qemu-arm -L /usr/arm-linux-gnueabihf` would mix the cross
# toolchain's loader with the multiarch libc, and crashes.)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(PIKIT_QEMU_ARM qemu-arm)
  if(PIKIT_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${PIKIT_QEMU_ARM}")
  endif()
endif()
