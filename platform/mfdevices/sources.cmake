# Camera devices: file cameras decode with OpenCV, the list files are JSON.
find_package(OpenCV 4.6 REQUIRED COMPONENTS core imgproc imgcodecs videoio)
find_package(nlohmann_json 3.11 REQUIRED)
target_link_libraries(tesmira_platform PRIVATE ${OpenCV_LIBS} nlohmann_json::nlohmann_json)
# The file camera tests write their small fixture videos with OpenCV.
if(TARGET tesmira_platform AND NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
  cmake_language(DEFER CALL target_link_libraries platform_mfdevices_tests PRIVATE ${OpenCV_LIBS})
endif()
