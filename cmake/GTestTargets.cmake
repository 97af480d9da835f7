# GoogleTest as the targets GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main.
# A cross build compiles it for the target from Debian's sources in /usr/src/googletest (package
# googletest); a native build uses the installed one.
if(CMAKE_CROSSCOMPILING)
  if(NOT TARGET GTest::gtest)
    set(VXM_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
    if(NOT EXISTS ${VXM_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
      message(FATAL_ERROR "no GoogleTest sources in ${VXM_GOOGLETEST_SOURCE_DIR} (Debian package googletest)")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(${VXM_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(lib gtest gtest_main gmock gmock_main)
      add_library(GTest::${lib} ALIAS ${lib})
    endforeach()
  endif()
else()
  find_package(GTest REQUIRED)
endif()
