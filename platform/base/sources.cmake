# A loadable module for the loader tests, named like a Windows DLL next to the test binary.
if(NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
  add_library(tesmira_test_module MODULE ${CMAKE_CURRENT_LIST_DIR}/tests/module/test_module.cpp)
  set_target_properties(tesmira_test_module PROPERTIES PREFIX "" SUFFIX ".dll"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  cmake_language(DEFER CALL add_dependencies platform_base_tests tesmira_test_module)
endif()
