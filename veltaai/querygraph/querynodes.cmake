# querynodes: the nodes of the query graph and the conditions that route between them,
# one source file per group of nodes under querynodes/.
file(GLOB querynodes_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/querynodes/*.cpp)
veltaai_module(querynodes SOURCES ${querynodes_sources} DEPS veltaai_core veltaai_graph)
# Analysis code runs in the Python kernel; prompts come from the catalogue.
target_link_libraries(veltaai_querynodes PUBLIC veltaai_python veltaai_llm veltaai_querygraph_prompts)
# The SQL nodes work on the database handle and its tools.
target_link_libraries(veltaai_querynodes PUBLIC veltaai_custom_sql)
