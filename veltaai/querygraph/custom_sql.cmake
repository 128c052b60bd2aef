# custom_sql: the query graph's database handle and its three tools.
veltaai_module(custom_sql
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/custom_sql.cpp
  DEPS veltaai_core veltaai_sql veltaai_llm)
