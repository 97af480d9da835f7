# Debian packages through CPack, one per install component (cmake/Install.cmake):
#   libvxmosal1     the shared library and its SONAME link
#   libvxmosal-dev  headers, the libvxmosal.so link, the CMake package and vxmosal.pc
#   vxmosal-tools   vxmdiag, vxm-getprop, vxm-setprop, vxmbox with its share files
#   vxmopend        the open daemon and its systemd unit
# `cpack` in a build tree configured for /usr writes them; scripts/package.sh does it for amd64 and armhf.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxmosal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The vxmosal developers")
set(CPACK_PACKAGE_CONTACT "vxmosal developers <vxmosal@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev)
if(VXM_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools daemon)
endif()
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vxmosal.example.org/")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
# Dependencies on the system's libraries come from dpkg-shlibdeps; the packages of this build find
# libvxmosal.so.1 in the build tree, and depend on libvxmosal1 by component.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvxmosal1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# A shlibs file (libvxmosal 1 libvxmosal1 (>= 1.0.0-1)) for the packages built against it, and
# the loader's cache refreshed by trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/libvxmosal1/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION "operating-system abstraction layer (shared library)
libvxmosal gives the middleware of an Android-based network box one C interface
to threads, mutexes, semaphores, events, message queues, ticks and timers,
guarded shell commands, processes, properties, statistics, sockets and the
management of its network cards.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvxmosal-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "operating-system abstraction layer (development files)
The headers of libvxmosal, the libvxmosal.so link, its CMake package
(vxmosal::vxmosal) and its pkg-config file vxmosal.pc.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vxmosal-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS iproute2)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "operating-system abstraction layer (tools)
vxmdiag prints a report of the box through libvxmosal, as text or JSON;
vxm-getprop and vxm-setprop read and set its system properties; vxmbox runs a
program inside a simulated box.")

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME vxmopend)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "open daemon of libvxmosal
vxmopend runs the privileged commands that libvxmosal's channel sends it over
/tmp/vxmopend and hands back a descriptor on each command's output or input.")

# Each package carries the copyright file and the changelog in share/doc/PACKAGE.
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
endforeach()

include(CPack)
