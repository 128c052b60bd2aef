# agent: the host's entry points: chat model and agent creation, the run of one question, and
# the answer as one JSON document.
veltaai_module(agent SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/agent.cpp ${CMAKE_CURRENT_SOURCE_DIR}/answer_document.cpp
  DEPS veltaai_api veltaai_settings veltaai_codetool veltaai_querygraph veltaai_custom_sql veltaai_llm veltaai_core)
