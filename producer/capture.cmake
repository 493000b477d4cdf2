# The camera capture's benchmark (OpenCV's video writer makes its file camera's
# clip). Included by the producer's CMakeLists.
find_package(OpenCV 4.6 REQUIRED COMPONENTS videoio)
tesmira_add_benchmark(capture_bench ${CMAKE_CURRENT_LIST_DIR}/bench/capture_bench.cpp
                      LIBS tesmira_producer_core opencv_videoio)
