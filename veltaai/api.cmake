# api: the client of the product's own service (configuration fetches, usage reports).
veltaai_module(api SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/api.cpp DEPS veltaai_core)
