# Shared part of the ARM toolchain files: Debian's cross compilers and their
# target C library (packages g++-<triple>, which bring /usr/<triple>), the
# target's other libraries unpacked by scripts/cross-libs, and qemu-user,
# through which ctest, gtest_discover_tests and the tests that start
# kxRedIro or kxctl themselves run the target's programs.
#
# The including file sets KX_TARGET_TRIPLE, KX_QEMU, KX_DEB_ARCH and
# CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${KX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KX_TARGET_TRIPLE}-g++)

# Where the target's files are: its C library below /usr/<triple>, GoogleTest,
# libpng and zlib in build-targetlibs-<arch>/ (scripts/cross-libs <arch>),
# and, below /, what does not depend on the architecture (header-only
# libraries and their CMake packages). Programs that run during the build
# (compilers, strip, pkg-config) are the build machine's.
set(KX_TARGET_SYSROOT /usr/${KX_TARGET_TRIPLE})
get_filename_component(KX_TARGET_LIBS
  ${CMAKE_CURRENT_LIST_DIR}/../../build-targetlibs-${KX_DEB_ARCH} ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH ${KX_TARGET_LIBS} ${KX_TARGET_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The unpacked libraries need each other (libpng needs libz) at link time.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,-rpath-link,${KX_TARGET_LIBS}/lib/${KX_TARGET_TRIPLE}:${KX_TARGET_LIBS}/usr/lib/${KX_TARGET_TRIPLE}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${CMAKE_EXE_LINKER_FLAGS_INIT})

# Debian's layout, as GNUInstallDirs gives it natively but not in a cross
# build: libraries in lib/<triple>.
set(CMAKE_INSTALL_LIBDIR lib/${KX_TARGET_TRIPLE} CACHE PATH "Object code libraries")

# -L lets qemu find the target's dynamic loader and C library, -E the
# unpacked libraries (those that others need, too: libpng's libz is no
# direct need of a program, and a program's RUNPATH does not serve it).
# Absolute paths, because tests exec the emulator with a PATH of their own.
# Without qemu-user the daemon and library still build; the tests do not.
find_program(KX_QEMU_PATH ${KX_QEMU})
if(KX_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KX_QEMU_PATH} -L ${KX_TARGET_SYSROOT}
    -E LD_LIBRARY_PATH=${KX_TARGET_LIBS}/lib/${KX_TARGET_TRIPLE}:${KX_TARGET_LIBS}/usr/lib/${KX_TARGET_TRIPLE})
endif()

# Packages are named by Debian's architecture, not by the build machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KX_DEB_ARCH})
