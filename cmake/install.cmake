# Installation: headers, the library, a CMake package (find_package(recbase)
# gives the imported target recbase::recbase) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(RECBASE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/recbase)

install(FILES ${PROJECT_SOURCE_DIR}/include/recbase.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/recbase
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(TARGETS recbase EXPORT recbaseTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT recbaseTargets NAMESPACE recbase::
        DESTINATION ${RECBASE_CMAKE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/recbaseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/recbaseConfig.cmake
  INSTALL_DESTINATION ${RECBASE_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/recbaseConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/recbaseConfig.cmake
              ${PROJECT_BINARY_DIR}/recbaseConfigVersion.cmake
        DESTINATION ${RECBASE_CMAKE_DIR})

# pkg-config: a static library brings no dependencies of its own, so a C
# program linking it needs the C++ runtime (and libX11 with the output
# window) named (callers rarely pass --static, so they go in Libs rather
# than Libs.private).
if(RECBASE_SHARED)
  set(RECBASE_PC_EXTRA_LIBS "")
  set(RECBASE_PC_CFLAGS "")
else()
  set(RECBASE_PC_EXTRA_LIBS " -lstdc++")
  if(RECBASE_X11)
    set(RECBASE_PC_EXTRA_LIBS " -lX11${RECBASE_PC_EXTRA_LIBS}")
  endif()
  set(RECBASE_PC_CFLAGS " -DRECBASE_STATIC")
endif()
# The prefix is found from the .pc file's own place, so the file stays right
# when the install is made with "cmake --install --prefix" elsewhere.
file(RELATIVE_PATH RECBASE_PC_TO_PREFIX
     /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" RECBASE_PC_TO_PREFIX "${RECBASE_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/recbase.pc.in
               ${PROJECT_BINARY_DIR}/recbase.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/recbase.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
