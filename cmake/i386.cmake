# 32-bit x86 build on an x86-64 host: the platform's structure sizes are
# those of i386, so this build checks them for real.  Needs gcc multilib
# (g++-multilib) and qemu-i386 (qemu-user): the host kernel may not run
# 32-bit programs itself, so CTest runs every test executable through
# qemu-i386, which uses the host's /lib/ld-linux.so.2 and /usr/lib32.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

find_program(NORVANE_QEMU_I386 qemu-i386)
if(NOT NORVANE_QEMU_I386)
  message(FATAL_ERROR "qemu-i386 not found: install qemu-user to run the i386 tests")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${NORVANE_QEMU_I386}")
