# The archive engine's benchmark (see bench/README.md).
kelvane_executable(engine_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineBench.cpp DEPS kelvane_archive kelvane_linux_core)
