# codetool: virtual environment, pip installs and persistent-namespace code execution.
veltaai_module(codetool SOURCES ${CMAKE_CURRENT_LIST_DIR}/codetool.cpp DEPS veltaai_core veltaai_python)
