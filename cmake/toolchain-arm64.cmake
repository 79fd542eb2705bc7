# Cross build for arm64 (aarch64) on a Debian 12 x86-64 host, with Debian's
# cross compiler (crossbuild-essential-arm64) and the arm64 development
# packages installed beside the host's own (multiarch, dpkg --add-architecture
# arm64; scripts/install-deps.sh --arm64 installs all of it):
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# Programs built here run under qemu-user (qemu-user-static): CTest and every
# build step that runs a built program prefix it with the emulator. Programs
# that start other arm64 programs (the virtual camera's wrapper, the tool's
# tests) need the kernel to hand arm64 programs to qemu by itself
# (binfmt_misc); scripts/test-arm64.sh sees to that.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VIVAZUZOZ_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${VIVAZUZOZ_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VIVAZUZOZ_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VIVAZUZOZ_CROSS_TRIPLET})

# The arm64 libraries live in /usr/lib/aarch64-linux-gnu, the headers in
# /usr/include (shared) and /usr/include/aarch64-linux-gnu. Programs (cmake's
# helpers, help2man) are the host's; libraries, headers and package files
# only the target's, never the host's /usr/lib/x86_64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)

# The development packages that cannot be installed beside the host's (Poco,
# libuvc, GStreamer and GLib) are unpacked into a sysroot of their own by the
# same script.
if(DEFINED ENV{VIVAZUZOZ_ARM64_SYSROOT})
  set(VIVAZUZOZ_ARM64_SYSROOT $ENV{VIVAZUZOZ_ARM64_SYSROOT})
else()
  get_filename_component(VIVAZUZOZ_ARM64_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build-arm64-sysroot ABSOLUTE)
endif()
if(NOT EXISTS ${VIVAZUZOZ_ARM64_SYSROOT}/usr/lib/${VIVAZUZOZ_CROSS_TRIPLET})
  message(FATAL_ERROR "No arm64 sysroot in ${VIVAZUZOZ_ARM64_SYSROOT}: run scripts/install-deps.sh --arm64")
endif()
list(APPEND CMAKE_PREFIX_PATH ${VIVAZUZOZ_ARM64_SYSROOT}/usr)
# The sysroot's arm64 Python, for the Python package (its extension is built
# for that interpreter and its tests run on it, under the emulator).
file(GLOB VIVAZUZOZ_ARM64_PYTHON ${VIVAZUZOZ_ARM64_SYSROOT}/usr/bin/python3.[0-9]*)
list(FILTER VIVAZUZOZ_ARM64_PYTHON INCLUDE REGEX "/python3\\.[0-9]+$")
if(VIVAZUZOZ_ARM64_PYTHON)
  list(GET VIVAZUZOZ_ARM64_PYTHON 0 VIVAZUZOZ_ARM64_PYTHON)
  get_filename_component(name ${VIVAZUZOZ_ARM64_PYTHON} NAME)
  set(Python3_EXECUTABLE ${VIVAZUZOZ_ARM64_PYTHON} CACHE FILEPATH "arm64 Python interpreter (in the sysroot)")
  set(Python3_INCLUDE_DIR ${VIVAZUZOZ_ARM64_SYSROOT}/usr/include/${name} CACHE PATH "arm64 Python headers")
endif()

# pkg-config reads only the arm64 .pc files (and the architecture-free ones),
# unless the caller chose its folders itself.
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(ENV{PKG_CONFIG_LIBDIR}
    "${VIVAZUZOZ_ARM64_SYSROOT}/usr/lib/${VIVAZUZOZ_CROSS_TRIPLET}/pkgconfig:/usr/lib/${VIVAZUZOZ_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# GStreamer and GLib and what they load are only in the sysroot: the linker
# finds the libraries those need in turn there. On every link line, whatever
# linker flags the caller gives (scripts/package.sh gives Debian's).
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_LIBRARIES_INIT
    "-Wl,-rpath-link,${VIVAZUZOZ_ARM64_SYSROOT}/usr/lib/${VIVAZUZOZ_CROSS_TRIPLET} -Wl,-rpath-link,${VIVAZUZOZ_ARM64_SYSROOT}/lib/${VIVAZUZOZ_CROSS_TRIPLET}")
endforeach()

# The emulator runs programs with the sysroot as its prefix (QEMU_LD_PREFIX,
# which programs they start inherit): every file an arm64 program opens is
# looked for in the sysroot first, then on the machine, so the arm64 loader
# finds the sysroot's libraries and GStreamer its plugins. Build steps and
# tests that start arm64 programs through binfmt_misc need the same variable
# in their environment; scripts/test-arm64.sh sets it.
find_program(VIVAZUZOZ_QEMU NAMES qemu-aarch64-static qemu-aarch64)
if(VIVAZUZOZ_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=${VIVAZUZOZ_ARM64_SYSROOT} ${VIVAZUZOZ_QEMU})
endif()
