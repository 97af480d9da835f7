# What `cmake --install` puts under the prefix: the library with its SONAME links, the public
# headers, a CMake package (vxmosal::vxmosal) with its version file, vxmosal.pc, the tools and the
# daemon's systemd unit. Every file belongs to one component, one Debian package each
# (cmake/Packaging.cmake): lib, dev, tools, daemon.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VXM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vxmosal)

install(TARGETS vxmosal EXPORT vxmosalTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vxmosal DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(EXPORT vxmosalTargets NAMESPACE vxmosal:: DESTINATION ${VXM_CMAKE_DIR} COMPONENT dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vxmosalConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vxmosalConfig.cmake INSTALL_DESTINATION ${VXM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vxmosalConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vxmosalConfig.cmake ${PROJECT_BINARY_DIR}/vxmosalConfigVersion.cmake
  DESTINATION ${VXM_CMAKE_DIR} COMPONENT dev)

# pkg-config: paths below ${prefix} stay relative to it, so an install into another prefix works.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VXM_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VXM_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vxmosal.pc.in ${PROJECT_BINARY_DIR}/vxmosal.pc.in.prefix @ONLY)
# prefix= is set at install time, so that --prefix at `cmake --install` is honoured.
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/vxmosal.pc.in.prefix\" pc)
  string(REGEX REPLACE \"^prefix=[^\\n]*\" \"prefix=\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/vxmosal.pc\" \"\${pc}\")
" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/vxmosal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(VXM_BUILD_TOOLS)
  install(TARGETS vxmdiag vxm-getprop vxm-setprop vxmbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(TARGETS vxmopend RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
  # vxmbox finds its stand-in tools, its sample box and vxmopend from its own place under the prefix.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/vxmbox/share/sample.box DESTINATION ${CMAKE_INSTALL_DATADIR}/vxmosal
          COMPONENT tools)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/vxmbox/share/vxmbox DESTINATION ${CMAKE_INSTALL_DATADIR}/vxmosal
          USE_SOURCE_PERMISSIONS COMPONENT tools)
  # A library directory the loader searches anyway needs no search path in vxmdiag.
  list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_libdir)
  if(system_libdir EQUAL -1)
    set_target_properties(vxmdiag PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  # The unit names the daemon where the install puts it (like prefix= of vxmosal.pc).
  set(VXM_VXMOPEND_PATH @VXM_VXMOPEND_PATH@)
  configure_file(${PROJECT_SOURCE_DIR}/tools/vxmopend/vxmopend.service.in
    ${PROJECT_BINARY_DIR}/vxmopend.service.in.prefix @ONLY)
  install(CODE "
    set(VXM_VXMOPEND_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/vxmopend\")
    configure_file(\"${PROJECT_BINARY_DIR}/vxmopend.service.in.prefix\" \"${PROJECT_BINARY_DIR}/vxmopend.service\" @ONLY)
  " COMPONENT daemon)
  install(FILES ${PROJECT_BINARY_DIR}/vxmopend.service DESTINATION lib/systemd/system COMPONENT daemon)
endif()
