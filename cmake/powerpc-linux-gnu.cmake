# Cross toolchain for the gateway: 32-bit big-endian PowerPC, embedded Linux.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CROSS_PREFIX powerpc-linux-gnu-)
set(CMAKE_C_COMPILER ${CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${CROSS_PREFIX}g++)

set(CMAKE_FIND_ROOT_PATH /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under user-mode emulation with the target's C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-L;/usr/powerpc-linux-gnu)

# The device's flash is small: its programs are built for size.
set(APC_SIZE_OPTIMIZED ON CACHE BOOL "Optimise for size, drop unused sections, strip on install")

# The gateway's kernel runs 4 KiB pages: segments aligned to 4 KiB instead of
# the 64 KiB default spare each program up to 64 KiB of padding in the file
# while it keeps its read-only relocations. A kernel with larger pages needs
# this line removed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=4096 -Wl,-z,common-page-size=4096")
