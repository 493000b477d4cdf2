# Camera devices: the list files are JSON. File cameras decode with FFmpeg and MJPEG frames
# with libjpeg in a module of their own (decoders/), loaded when a camera needs it.
find_package(OpenCV 4.6 REQUIRED COMPONENTS core imgproc imgcodecs videoio)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(JPEG REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
get_target_property(_mfdevices_platform_sources tesmira_platform SOURCES)
list(FILTER _mfdevices_platform_sources EXCLUDE REGEX "/mfdevices/decoders/")
set_property(TARGET tesmira_platform PROPERTY SOURCES ${_mfdevices_platform_sources})
target_link_libraries(tesmira_platform PRIVATE opencv_core opencv_imgproc nlohmann_json::nlohmann_json)

add_library(tesmira_camera_decoders MODULE ${CMAKE_CURRENT_LIST_DIR}/decoders/file_camera.cpp
            ${CMAKE_CURRENT_LIST_DIR}/decoders/ffmpeg_video.cpp ${CMAKE_CURRENT_LIST_DIR}/decoders/mjpeg.cpp)
tesmira_target_defaults(tesmira_camera_decoders)
# Beside the layer's library, where it looks for it.
set_target_properties(tesmira_camera_decoders PROPERTIES PREFIX "lib" OUTPUT_NAME tesmira_camera_decoders
  LIBRARY_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:tesmira_platform>)
target_include_directories(tesmira_camera_decoders PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(tesmira_camera_decoders PRIVATE tesmira_platform opencv_core opencv_imgproc PkgConfig::FFMPEG
                      JPEG::JPEG nlohmann_json::nlohmann_json)

# The file camera tests write their small fixture videos with OpenCV.
if(TARGET tesmira_platform AND NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
  cmake_language(DEFER CALL target_link_libraries platform_mfdevices_tests PRIVATE ${OpenCV_LIBS})
  cmake_language(DEFER CALL add_dependencies platform_mfdevices_tests tesmira_camera_decoders)
endif()
