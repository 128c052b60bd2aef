# Installation: headers, libraries, the catalogue and the `veltaai` program under the prefix; a
# CMake package (find_package(veltaai CONFIG) with targets veltaai::<module>), a pkg-config file,
# and a Debian package built by CPack (cpack -G DEB).
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/veltaai/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veltaai
  COMPONENT development FILES_MATCHING PATTERN "*.h")

set(VELTAAI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/veltaai)
install(EXPORT veltaaiTargets NAMESPACE veltaai:: DESTINATION ${VELTAAI_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/veltaaiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/veltaaiConfig.cmake INSTALL_DESTINATION ${VELTAAI_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/veltaaiConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/veltaaiConfig.cmake ${PROJECT_BINARY_DIR}/veltaaiConfigVersion.cmake
  DESTINATION ${VELTAAI_CMAKE_DIR} COMPONENT development)

# Every module, leaves first, so that a single "-l" list links whatever the host uses.
set(VELTAAI_PC_LIBS "")
foreach(module agent querygraph base querynodes custom_sql querygraph_prompts dbtool master codetool api settings
               llm python sql graph core)
  string(APPEND VELTAAI_PC_LIBS " -lveltaai_${module}")
endforeach()
file(RELATIVE_PATH VELTAAI_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/veltaai.pc.in ${PROJECT_BINARY_DIR}/veltaai.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/veltaai.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME veltaai)
  set(CPACK_PACKAGE_VENDOR "veltaai")
  set(CPACK_PACKAGE_CONTACT "veltaai developers <dev@velta.ai>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Library dependencies are read off the binaries; what runs beside them is named here: the
  # analysis interpreter with its packages, and the sandbox it runs in.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, python3-jinja2, python3-pandas, python3-matplotlib, python3-numpy, python3-venv, bubblewrap")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-scipy, python3-sklearn, python3-statsmodels, python3-pip")
  include(CPack)
endif()
