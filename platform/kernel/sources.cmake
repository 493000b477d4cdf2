# Benchmarks of the kernel objects: event wake-up across processes and frame channel mapping.
# The library's glob takes every .cpp below platform/, so the benchmark is taken out of it.
get_target_property(_kernel_platform_sources tesmira_platform SOURCES)
list(FILTER _kernel_platform_sources EXCLUDE REGEX "/kernel/bench/")
set_property(TARGET tesmira_platform PROPERTY SOURCES ${_kernel_platform_sources})
tesmira_add_benchmark(kernel_bench ${CMAKE_CURRENT_LIST_DIR}/bench/kernel_bench.cpp LIBS tesmira_platform)
