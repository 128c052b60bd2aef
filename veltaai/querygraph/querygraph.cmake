# querygraph: the state record of a question's run and the graph of nodes over it, with its
# chat models and the relevant-table picker.
find_package(PkgConfig REQUIRED)
pkg_check_modules(STB REQUIRED IMPORTED_TARGET stb)

veltaai_module(querygraph
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/querygraph.cpp
  DEPS veltaai_graph veltaai_querynodes veltaai_base veltaai_settings veltaai_custom_sql veltaai_llm
  PRIVATE_DEPS PkgConfig::STB)
