# veltaai_module(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# Builds libveltaai_<name>.so with the project's include root and warnings.
function(veltaai_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(veltaai_${name} SHARED ${ARG_SOURCES})
  target_include_directories(veltaai_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(veltaai_${name} PUBLIC ${ARG_DEPS} PRIVATE veltaai_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# veltaai_test(<name> SOURCES ... DEPS ... [LABELS ...])
# One GoogleTest executable registered with CTest, test by test.
function(veltaai_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} veltaai_warnings GTest::gtest GTest::gmock GTest::gtest_main)
  # One variable per ENVIRONMENT entry: a list here would be split into separate properties.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "VELTAAI_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
