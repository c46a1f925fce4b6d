# Install rules: the header, the shared library with its SONAME, a CMake
# package (find_package(velkor_index)) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS velkor_index EXPORT velkor_index_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/velkor_index.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velkor_index)
install(EXPORT velkor_index_targets NAMESPACE velkor_index:: DESTINATION ${VELKOR_CMAKE_DIR})
configure_package_config_file(cmake/velkor_indexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/velkor_indexConfig.cmake INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velkor_indexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkor_indexConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/velkor_indexConfigVersion.cmake DESTINATION ${VELKOR_CMAKE_DIR})

file(RELATIVE_PATH VELKOR_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VELKOR_PC_TO_PREFIX "${VELKOR_PC_TO_PREFIX}")
configure_file(cmake/velkor_index.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velkor_index.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkor_index.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
