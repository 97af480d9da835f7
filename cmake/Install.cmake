# What `cmake --install` puts under the prefix: the library with its SONAME links, the public
# headers, a CMake package (vxmosal::vxmosal) with its version file, vxmosal.pc, the tools and the
# daemon's systemd unit.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VXM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vxmosal)

install(TARGETS vxmosal EXPORT vxmosalTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vxmosal DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT vxmosalTargets NAMESPACE vxmosal:: DESTINATION ${VXM_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vxmosalConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vxmosalConfig.cmake INSTALL_DESTINATION ${VXM_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vxmosalConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vxmosalConfig.cmake ${PROJECT_BINARY_DIR}/vxmosalConfigVersion.cmake
  DESTINATION ${VXM_CMAKE_DIR})

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
")
install(FILES ${PROJECT_BINARY_DIR}/vxmosal.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(VXM_BUILD_TOOLS)
  install(TARGETS vxmdiag vxm-getprop vxm-setprop RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS vxmopend RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  # vxmbox finds its stand-in tools, its sample box and vxmopend from its own place under the prefix.
  install(TARGETS vxmbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/vxmbox/share/sample.box DESTINATION ${CMAKE_INSTALL_DATADIR}/vxmosal)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/vxmbox/share/vxmbox DESTINATION ${CMAKE_INSTALL_DATADIR}/vxmosal
          USE_SOURCE_PERMISSIONS)
  set_target_properties(vxmdiag PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  # The unit names the daemon where the configured prefix puts it.
  set(VXM_VXMOPEND_PATH ${CMAKE_INSTALL_FULL_SBINDIR}/vxmopend)
  configure_file(${PROJECT_SOURCE_DIR}/tools/vxmopend/vxmopend.service.in
    ${PROJECT_BINARY_DIR}/vxmopend.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/vxmopend.service DESTINATION lib/systemd/system)
endif()
