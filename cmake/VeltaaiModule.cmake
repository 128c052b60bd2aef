# Headers are included as "veltaai/<module>.h". The include root holds only the package's own
# folder (a link to it), so a library's users never see tests/ or bench/ on their include path.
set(VELTAAI_INCLUDE_ROOT ${PROJECT_BINARY_DIR}/include)
file(MAKE_DIRECTORY ${VELTAAI_INCLUDE_ROOT})
if(NOT EXISTS ${VELTAAI_INCLUDE_ROOT}/veltaai)
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/veltaai ${VELTAAI_INCLUDE_ROOT}/veltaai SYMBOLIC)
endif()

# veltaai_module(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# Builds libveltaai_<name>.so (target veltaai_<name>, alias and exported name veltaai::<name>)
# with the project's include root and warnings, versioned, and installed with the package.
function(veltaai_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(veltaai_${name} SHARED ${ARG_SOURCES})
  add_library(veltaai::${name} ALIAS veltaai_${name})
  target_include_directories(veltaai_${name} PUBLIC
    $<BUILD_INTERFACE:${VELTAAI_INCLUDE_ROOT}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(veltaai_${name} PUBLIC ${ARG_DEPS} PRIVATE veltaai_warnings ${ARG_PRIVATE_DEPS})
  # Until 1.0 every minor release may change the ABI, so the soname carries major.minor.
  set_target_properties(veltaai_${name} PROPERTIES
    EXPORT_NAME ${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
    INSTALL_RPATH "$ORIGIN")
  install(TARGETS veltaai_${name} EXPORT veltaaiTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
endfunction()

# veltaai_test(<name> SOURCES ... DEPS ... [LABELS ...])
# One GoogleTest executable registered with CTest, test by test.
function(veltaai_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} veltaai_warnings GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "VELTAAI_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
