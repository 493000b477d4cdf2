# The camera capture's benchmark; included by the producer's CMakeLists after
# tesmira_producer_core exists.
tesmira_add_benchmark(capture_bench ${CMAKE_CURRENT_LIST_DIR}/bench/capture_bench.cpp LIBS tesmira_producer_core)
