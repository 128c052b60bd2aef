# custom_sql: the query graph's database handle and its three tools, with the ranking of its
# tables for a question and the fitting of schemas into a prompt's budget.
find_package(SQLite3 REQUIRED)

veltaai_module(custom_sql
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/custom_sql.cpp ${CMAKE_CURRENT_LIST_DIR}/table_ranking.cpp
    ${CMAKE_CURRENT_LIST_DIR}/schema_budget.cpp
  DEPS veltaai_core veltaai_sql veltaai_llm
  PRIVATE_DEPS SQLite::SQLite3)
