# dbtool: database utilities for host programs (settings, connection test, queries, schemas).
veltaai_module(dbtool SOURCES ${CMAKE_CURRENT_LIST_DIR}/dbtool.cpp DEPS veltaai_core veltaai_sql)
