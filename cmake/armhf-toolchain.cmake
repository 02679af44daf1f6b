# Cross build for the board: 32-bit ARM, hard-float, Debian's multiarch
# compilers and libraries (dpkg --add-architecture armhf). Tests run under
# qemu-user with the armhf loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Multiarch keeps armhf libraries under /usr/lib/arm-linux-gnueabihf, so "/"
# is a root too; the library architecture keeps x86-64 ones out.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A board's own sysroot (-DCMAKE_SYSROOT=...) replaces Debian's armhf
# libraries: the compiler and find_* look there first.
if(CMAKE_SYSROOT)
    set(_pondrel_arm_root ${CMAKE_SYSROOT})
    list(PREPEND CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
else()
    set(_pondrel_arm_root /usr/arm-linux-gnueabihf)
endif()

# The loader under -L is the cross toolchain's; its libc must come from the
# same place, or the multiarch libc (another build of glibc) crashes threads.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm;-L;${_pondrel_arm_root};-E;LD_LIBRARY_PATH=${_pondrel_arm_root}/lib)
