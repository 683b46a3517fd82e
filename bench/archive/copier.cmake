# The copier benchmark: verified copies through the ResourceCopier against
# `cp` + `sha256sum` of the same files, in the same run.
kelvane_executable(copier_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/CopierBench.cpp DEPS kelvane_archive kelvane_linux_core)
