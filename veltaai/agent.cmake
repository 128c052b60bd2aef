# agent: the host's entry points (chat model creation from the service's configuration).
veltaai_module(agent SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/agent.cpp DEPS veltaai_api veltaai_llm veltaai_core)
