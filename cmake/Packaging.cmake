# Debian packages, one per install component, made by CPack from one build:
#   scripts/package.sh   (configures a release build for /usr and runs cpack)
#
#   component    package
#   runtime      libvivazuzoz1        the shared library
#   development  libvivazuzoz-dev     header, .so link, pkg-config and CMake files
#   tools        vivazuzoz-tools      the vivazuzoz tool, its manual, completion, web files
#   vcam         vivazuzoz-vcam       the virtual camera and its wrapper
#   python       python3-vivazuzoz    the Python package
#   gstreamer    gstreamer1.0-vivazuzoz  the GStreamer plugin and its meta's header
#
# A component that nothing installs makes no package. Files installed without
# a component land in "Unspecified", which is never packaged; scripts/package.sh
# fails and lists them.

set(VIVAZUZOZ_PACKAGE_MAINTAINER "libVIVAZUZOZ maintainers <maintainers@users.noreply.c-seed-e0f77554.example>"
  CACHE STRING "Maintainer field of the Debian packages")

# The Debian version is the project's version and the revision of the newest
# packaging/changelog entry; the entry must name the project's version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog VIVAZUZOZ_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT VIVAZUZOZ_CHANGELOG_TOP MATCHES "^libvivazuzoz \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line is not 'libvivazuzoz (VERSION-REVISION) ...'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: the newest entry is for ${CMAKE_MATCH_1}, the project is "
    "${PROJECT_VERSION}; add an entry for ${PROJECT_VERSION}")
endif()
set(VIVAZUZOZ_DEBIAN_REVISION ${CMAKE_MATCH_2})

# Debian wants the changelog and the copyright in every package's doc folder.
set(VIVAZUZOZ_PACKAGE_DOCS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${VIVAZUZOZ_PACKAGE_DOCS}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog
    ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog
  COMMENT "Compressing the Debian changelog" VERBATIM)
add_custom_target(vivazuzoz_package_docs ALL DEPENDS ${VIVAZUZOZ_PACKAGE_DOCS})

set(VIVAZUZOZ_PACKAGES
  runtime     "libvivazuzoz${PROJECT_VERSION_MAJOR}"
  development "libvivazuzoz-dev"
  tools       "vivazuzoz-tools"
  vcam        "vivazuzoz-vcam"
  python      "python3-vivazuzoz"
  gstreamer   "gstreamer1.0-vivazuzoz")

get_cmake_property(VIVAZUZOZ_COMPONENTS COMPONENTS)
set(CPACK_COMPONENTS_ALL "")
list(LENGTH VIVAZUZOZ_PACKAGES n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET VIVAZUZOZ_PACKAGES ${i} component)
  list(GET VIVAZUZOZ_PACKAGES ${j} package)
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  if(component IN_LIST VIVAZUZOZ_COMPONENTS)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
    install(FILES ${VIVAZUZOZ_PACKAGE_DOCS} ${CMAKE_CURRENT_LIST_DIR}/../packaging/copyright
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endif()
endforeach()
# For scripts/package.sh, which checks the packages made against these.
string(REPLACE ";" " " VIVAZUZOZ_COMPONENT_LIST "${VIVAZUZOZ_COMPONENTS}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/components.txt "${VIVAZUZOZ_COMPONENT_LIST}\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libvivazuzoz)
set(CPACK_PACKAGE_VENDOR "libVIVAZUZOZ")
set(CPACK_PACKAGE_CONTACT ${VIVAZUZOZ_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description carries its own synopsis line; CPack prepends
# the summary unless it is its own default, so leave it at that.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VIVAZUZOZ_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE libvivazuzoz)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# A cross build's packages are for the target's architecture, not the host's
# (which is what CPack would ask dpkg for).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
# Dependencies on system libraries come from dpkg-shlibdeps; the library's
# own package publishes a shlibs file so the others can depend on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
# The arm64 cross build links GStreamer and GLib from the sysroot
# (cmake/toolchain-arm64.cmake), where dpkg-shlibdeps finds the libraries but
# no installed package that holds them: it leaves them out (with a warning),
# and the packages that link them name their Debian packages themselves, at
# the versions built against.
set(VIVAZUZOZ_SYSROOT_TOOLS_DEPENDS "")
if(CMAKE_CROSSCOMPILING AND VIVAZUZOZ_ARM64_SYSROOT AND VIVAZUZOZ_BUILD_GSTREAMER)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${VIVAZUZOZ_ARM64_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${VIVAZUZOZ_ARM64_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS "libglib2.0-0 (>= ${GST_RTSP_SERVER_gio-2.0_VERSION}), \
libgstreamer1.0-0 (>= ${GSTREAMER_gstreamer-1.0_VERSION}), \
libgstreamer-plugins-base1.0-0 (>= ${GSTREAMER_gstreamer-video-1.0_VERSION})")
  set(VIVAZUZOZ_SYSROOT_TOOLS_DEPENDS "${CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS}, \
libgstrtspserver-1.0-0 (>= ${GST_RTSP_SERVER_gstreamer-rtsp-server-1.0_VERSION}), ")
endif()
# The library's package lets dpkg run ldconfig once through a trigger; an
# empty postinst and postrm stop CPack from writing ones that call it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/../packaging/triggers
  ${CMAKE_CURRENT_LIST_DIR}/../packaging/postinst
  ${CMAKE_CURRENT_LIST_DIR}/../packaging/postrm)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
set(CPACK_COMPONENT_GSTREAMER_DEPENDS runtime)
# A plugin module has no soname: no shlibs file (the library's package has one).
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_VCAM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
# The Python package needs numpy and the Python version it was built for,
# which no linked library shows.
if("python" IN_LIST VIVAZUZOZ_COMPONENTS)
  if(NOT Python3_EXECUTABLE)
    set(Python3_EXECUTABLE /usr/bin/python3)
  endif()
  execute_process(COMMAND ${Python3_EXECUTABLE} -c "import sys; print('%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE VIVAZUZOZ_PYTHON_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "." ";" v "${VIVAZUZOZ_PYTHON_VERSION}")
  list(GET v 1 minor)
  math(EXPR next "${minor} + 1")
  list(GET v 0 major)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${VIVAZUZOZ_PYTHON_VERSION}~), python3 (<< ${major}.${next}), python3-numpy")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "bash-completion")
# `vivazuzoz rtsp` encodes with x264enc (ugly), packs RTP with rtph264pay and
# the RTSP server streams through rtpbin and udpsink (good) and serves TCP
# clients through appsink (base), and RTSPS through GLib's TLS backend
# (glib-networking): GStreamer and GLib load them at run time, so no
# linked library shows them (the same list as scripts/install-deps.sh's
# run_packages; scripts/check-runtime-deps.sh checks both).
if(VIVAZUZOZ_BUILD_GSTREAMER)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${VIVAZUZOZ_SYSROOT_TOOLS_DEPENDS}\
gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-ugly, glib-networking")
endif()
set(CPACK_DEBIAN_VCAM_PACKAGE_SUGGESTS "vivazuzoz-tools")

set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "USB thermal camera library for Linux
libVIVAZUZOZ finds, opens and drives USB thermal cameras: it pairs each
camera's V4L2 capture node with its command port, streams the image and
temperature planes to the application's callbacks and sends the camera's
settings commands.

This package contains the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "USB thermal camera library for Linux - development files
libVIVAZUZOZ finds, opens and drives USB thermal cameras.

This package contains the C header, the link to the shared library and the
pkg-config and CMake package files needed to build programs with it.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool for USB thermal cameras
vivazuzoz lists the USB thermal cameras attached, shows their settings and
changes them, grabs frames as PNG pictures and temperature tables, and
reports streams. It is built on libVIVAZUZOZ.")
set(CPACK_DEBIAN_VCAM_DESCRIPTION "virtual USB thermal cameras for testing and development
vivazuzoz-vcam runs any program with virtual USB thermal cameras attached:
an unchanged program sees cameras with a V4L2 capture node streaming a
synthetic thermal scene and a command port that answers every command, and
can be made to see faults and unplugs. No hardware or root access is needed.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "USB thermal camera library for Linux - Python 3 module
libVIVAZUZOZ finds, opens and drives USB thermal cameras.

This package contains the Python 3 module, which delivers frames as numpy
arrays.")
set(CPACK_DEBIAN_GSTREAMER_DESCRIPTION "GStreamer plugin for USB thermal cameras
The vivazuzoz plugin brings USB thermal cameras into GStreamer pipelines:
vivazuzozsrc, a live source of 16-bit frames (image or temperatures, the
other plane as metadata); thermalcolorize, which false-colours 16-bit
frames with the colour maps of the vivazuzoz tool; and a device provider
that lists the cameras. It is built on libVIVAZUZOZ.")
set(CPACK_DEBIAN_GSTREAMER_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-base, gstreamer1.0-tools")

include(CPack)
