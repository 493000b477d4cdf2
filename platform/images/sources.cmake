# PNG images on libpng (images/), and a cv::imread on top of it (images/imread/) for the
# programs that read only PNG images: OpenCV's own reader is loaded for anything else.
find_package(PNG REQUIRED)
find_package(OpenCV 4.6 REQUIRED COMPONENTS core imgcodecs)
get_target_property(_images_platform_sources tesmira_platform SOURCES)
list(FILTER _images_platform_sources EXCLUDE REGEX "/images/imread/")
set_property(TARGET tesmira_platform PROPERTY SOURCES ${_images_platform_sources})
target_link_libraries(tesmira_platform PRIVATE PNG::PNG opencv_core)

add_library(tesmira_imread SHARED ${CMAKE_CURRENT_LIST_DIR}/imread/imread.cpp)
tesmira_target_defaults(tesmira_imread)
target_include_directories(tesmira_imread PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_compile_definitions(tesmira_imread PRIVATE
  TESMIRA_OPENCV_IMGCODECS_SONAME="$<TARGET_SONAME_FILE_NAME:opencv_imgcodecs>")
target_link_libraries(tesmira_imread PUBLIC opencv_core PRIVATE tesmira_platform ${CMAKE_DL_LIBS})

# The tests compare with OpenCV's own reader.
if(NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
  cmake_language(DEFER CALL target_link_libraries platform_images_tests PRIVATE opencv_imgcodecs)
endif()

# The cv::imread of the programs that link it: this test binary links no OpenCV image reader.
tesmira_add_tests(NAME platform_imread_tests DIR ${CMAKE_CURRENT_LIST_DIR}/imread/tests LIBS tesmira_imread tesmira_platform)
if(TARGET platform_imread_tests)
  target_link_libraries(platform_imread_tests PRIVATE PNG::PNG)
endif()
