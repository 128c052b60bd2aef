# querygraph_prompts: the prompt catalogue (text constants only).
veltaai_module(querygraph_prompts SOURCES ${CMAKE_CURRENT_LIST_DIR}/querygraph_prompts.cpp)
