# Install rules: headers, libraries, a CMake package and a pkg-config file,
# and a Debian package through CPack.
include(CMakePackageConfigHelpers)

set(TOVRICK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tovrick)
set(installed_targets)
foreach(target IN ITEMS tovrick tovrick_static)
  if(TARGET ${target})
    list(APPEND installed_targets ${target})
  endif()
endforeach()

install(TARGETS ${installed_targets} EXPORT tovrickTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tovrick.h ${PROJECT_SOURCE_DIR}/include/tovrick.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT tovrickTargets NAMESPACE tovrick:: DESTINATION ${TOVRICK_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tovrickConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tovrickConfig.cmake
                              INSTALL_DESTINATION ${TOVRICK_CMAKE_DIR})
# Before 1.0 a minor version may change the interface: 0.8.x satisfies a
# request for 0.8, nothing else does.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tovrickConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tovrickConfig.cmake
              ${PROJECT_BINARY_DIR}/tovrickConfigVersion.cmake
        DESTINATION ${TOVRICK_CMAKE_DIR} COMPONENT development)

# The .pc file finds its prefix from its own place, so an install moved
# with `cmake --install --prefix` or DESTDIR still describes itself.
file(RELATIVE_PATH TOVRICK_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tovrick.pc.in ${PROJECT_BINARY_DIR}/tovrick.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tovrick.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

set(CPACK_PACKAGE_NAME libtovrick)
set(CPACK_PACKAGE_VENDOR "libtovrick developers")
set(CPACK_PACKAGE_CONTACT "libtovrick developers <dev@libtovrick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
