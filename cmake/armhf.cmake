# Cross build for the reader: 32-bit ARM, hard-float, with Debian's cross
# compiler and the :armhf library packages (scripts/install-deps --armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Libraries and CMake package files come from /usr/lib/arm-linux-gnueabihf;
# programs (openssl, the emulator) are the build machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Every ARM program is linked statically, like the device program, so the
# user-mode emulator runs it without an ARM loader and shared libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests and the programs they start run under the user-mode emulator.
find_program(QM_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(QM_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QM_QEMU_ARM})
endif()
