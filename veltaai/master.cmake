# master: guarded start-up entry points over codetool.
veltaai_module(master SOURCES ${CMAKE_CURRENT_LIST_DIR}/master.cpp DEPS veltaai_codetool)
