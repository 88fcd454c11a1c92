# Builds for 32-bit x86 Linux with the host's multilib gcc (-m32), finding
# libraries, headers and packages only in an i386 root made of Debian's i386
# packages (scripts/i386/setup.sh makes build/i386-root). Programs run under
# qemu-i386, which is also how FindPython runs the root's Python 3.11 and how
# CTest and gtest_discover_tests run the test executables.
#
#   cmake -S . -B build/i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake \
#         [-DSTRANDEL_I386_ROOT=/path/to/root]
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Try-compile projects read this file again: hand the root down to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STRANDEL_I386_ROOT)
if(NOT STRANDEL_I386_ROOT)
  get_filename_component(STRANDEL_I386_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build/i386-root" ABSOLUTE)
endif()
set(STRANDEL_I386_ROOT "${STRANDEL_I386_ROOT}" CACHE PATH "Unpacked Debian i386 packages")
if(NOT EXISTS "${STRANDEL_I386_ROOT}/usr/bin/python3.11")
  message(FATAL_ERROR "No i386 root at ${STRANDEL_I386_ROOT}: run scripts/i386/setup.sh")
endif()

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# After the compiler's own folders, the root's headers complete Debian's
# multiarch layout (Python.h includes <i386-linux-gnu/python3.11/pyconfig.h>).
set(_i386_compile "-m32 -idirafter ${STRANDEL_I386_ROOT}/usr/include")
string(APPEND _i386_compile " -idirafter ${STRANDEL_I386_ROOT}/usr/include/i386-linux-gnu")
set(CMAKE_C_FLAGS_INIT "${_i386_compile}")
set(CMAKE_CXX_FLAGS_INIT "${_i386_compile}")
# The root's libraries need their own dependencies at link time (libcurl's
# libssl, libnghttp2, ...); the host's 32-bit libc comes from multilib gcc.
set(_i386_link "-m32 -Wl,-rpath-link,${STRANDEL_I386_ROOT}/usr/lib/i386-linux-gnu")
string(APPEND _i386_link " -Wl,-rpath-link,${STRANDEL_I386_ROOT}/lib/i386-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_i386_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_i386_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_i386_link}")

# Targets' libraries, headers and CMake packages come from the root only, so an
# x86_64 library of the host can never be picked by mistake; build tools
# (ninja, pkg-config, ...) come from the host.
set(CMAKE_FIND_ROOT_PATH "${STRANDEL_I386_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config (used by FindCURL and friends) reads the root's .pc files.
set(ENV{PKG_CONFIG_LIBDIR}
    "${STRANDEL_I386_ROOT}/usr/lib/i386-linux-gnu/pkgconfig:${STRANDEL_I386_ROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${STRANDEL_I386_ROOT}")
set(ENV{PKG_CONFIG_PATH} "")

find_program(STRANDEL_QEMU_I386 NAMES qemu-i386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${STRANDEL_QEMU_I386};-L;${STRANDEL_I386_ROOT}")

# FindPython must run the target's interpreter through the emulator. Under
# policy CMP0190 (CMake 4.1) it does so itself; a project that declares an older
# minimum leaves the policy unset, and FindPython then runs Python_EXECUTABLE
# directly, so that becomes a small wrapper script. The interpreter places its
# prefix beside itself, so the include folder it reports is inside the root;
# without the policy, FindPython does not ask it, so name that folder here.
set(_i386_python "${STRANDEL_I386_ROOT}/usr/bin/python3.11")
set(_i386_policy OLD)
if(POLICY CMP0190)
  cmake_policy(GET CMP0190 _i386_policy)
endif()
if(NOT _i386_policy STREQUAL "NEW")
  set(_i386_wrapper "${STRANDEL_I386_ROOT}/python3.11-qemu")
  file(CONFIGURE OUTPUT "${_i386_wrapper}" @ONLY
       CONTENT "#!/bin/sh\nexec '${STRANDEL_QEMU_I386}' -L '${STRANDEL_I386_ROOT}' '${_i386_python}' \"$@\"\n")
  file(CHMOD "${_i386_wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(_i386_python "${_i386_wrapper}")
endif()
set(Python_EXECUTABLE "${_i386_python}" CACHE FILEPATH "i386 Python")
set(Python_INCLUDE_DIR "${STRANDEL_I386_ROOT}/usr/include/python3.11" CACHE PATH "i386 Python headers")
