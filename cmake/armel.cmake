# Cross build for the reader's processor, an ARM1136JF-S: ARMv6 with VFPv2,
# no Thumb-2, no NEON. Debian's armel cross compiler (its C library is built
# for ARMv5TE), the project's own code compiled for ARMv6 in ARM state, and
# the :armel libraries that scripts/install-deps --armel unpacks into
# QM_ARMEL_SYSROOT. docs/arm.md says why these choices.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

if(DEFINED ENV{QM_ARMEL_SYSROOT})
    set(qm_sysroot $ENV{QM_ARMEL_SYSROOT})
else()
    set(qm_sysroot /var/cache/quillmar/sysroot-armel)
endif()
if(NOT EXISTS ${qm_sysroot}/.complete)
    message(FATAL_ERROR "No ARM libraries in ${qm_sysroot}: run scripts/install-deps --armel")
endif()
# Libraries, headers and CMake package files only from the unpacked
# packages; programs (openssl, the emulator) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH ${qm_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ARMv6 with its VFPv2 unit, in the soft-float calling convention of the
# armel C library and libraries (softfp: floating-point values still pass
# in integer registers). ARM state, not Thumb-1: Thumb-1 code is smaller
# but takes more instructions for the same work (docs/benchmarks.md).
# The unpacked headers come before /usr/include, which the cross compiler
# also searches and where the build machine's own versions are.
set(qm_arm_flags "-march=armv6 -mtune=arm1136jf-s -mfpu=vfp -mfloat-abi=softfp -marm")
set(qm_arm_includes "-isystem ${qm_sysroot}/usr/include/arm-linux-gnueabi -isystem ${qm_sysroot}/usr/include")
set(CMAKE_C_FLAGS_INIT "${qm_arm_flags} ${qm_arm_includes}")
set(CMAKE_CXX_FLAGS_INIT "${qm_arm_flags} ${qm_arm_includes}")
set(CMAKE_ASM_FLAGS_INIT "${qm_arm_flags}")

# Every ARM program is linked statically, like the device program, so the
# user-mode emulator runs it without an ARM loader and shared libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests and the programs they start run under the user-mode emulator as the
# reader's own processor: any instruction it lacks stops the program. The
# emulator's "arm1136" is the r1p3 revision, which also knows ARMv6K's
# instructions (CLREX, the byte, halfword and doubleword exclusives, the
# hints); "arm1136-r2" is r0p2, plain ARMv6, which every revision runs.
set(QM_ARM_CPU arm1136-r2)
find_program(QM_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(QM_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QM_QEMU_ARM} -cpu ${QM_ARM_CPU})
endif()
