# querynodes: the nodes of the query graph and the conditions that route between them,
# one source file per group of nodes under querynodes/.
set(querynodes_dir ${CMAKE_CURRENT_LIST_DIR}/querynodes)
veltaai_module(querynodes
  SOURCES ${querynodes_dir}/table_nodes.cpp ${querynodes_dir}/schema_nodes.cpp ${querynodes_dir}/sql_nodes.cpp
    ${querynodes_dir}/response_node.cpp ${querynodes_dir}/pandas_nodes.cpp ${querynodes_dir}/pandas_executor.cpp
    ${querynodes_dir}/routing.cpp
  DEPS veltaai_core veltaai_graph)
# Analysis code runs in the Python kernel; prompts come from the catalogue.
target_link_libraries(veltaai_querynodes PUBLIC veltaai_python veltaai_llm veltaai_querygraph_prompts)
# The SQL nodes work on the database handle and its tools.
target_link_libraries(veltaai_querynodes PUBLIC veltaai_custom_sql)
