# settings: the configuration records of the two chat model deployments.
veltaai_module(settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings.cpp DEPS veltaai_core)
