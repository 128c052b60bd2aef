# agent: the host's entry points: chat model and agent creation, and the run of one question.
veltaai_module(agent SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/agent.cpp
  DEPS veltaai_api veltaai_settings veltaai_codetool veltaai_querygraph veltaai_custom_sql veltaai_llm veltaai_core)
