# querygraph: the state record of a question's run and the graph of nodes over it.
veltaai_module(querygraph
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/querygraph.cpp
  DEPS veltaai_graph veltaai_querynodes)
