# Direct3D 11 on Vulkan. Only Vulkan's headers are used at build time: the loader is
# opened at run time, so a machine without it runs every program that makes no device.
find_path(VULKAN_HEADERS_DIR vulkan/vulkan.h REQUIRED)
target_include_directories(tesmira_platform PRIVATE ${VULKAN_HEADERS_DIR})

# D3DCompile on shaderc, linked statically: Debian's shared libshaderc crashes. The
# static libraries' symbols stay inside the platform library (--exclude-libs), so the
# validation layer's own SPIRV-Tools never binds to ours.
set(_shaderc_static_libs shaderc_combined glslang SPIRV MachineIndependent OSDependent GenericCodeGen OGLCompiler
    SPIRV-Tools-opt SPIRV-Tools)
set(_shaderc_paths)
foreach(lib ${_shaderc_static_libs})
  find_library(_shaderc_${lib} NAMES lib${lib}.a REQUIRED)
  list(APPEND _shaderc_paths ${_shaderc_${lib}})
endforeach()
find_path(SHADERC_INCLUDE_DIR shaderc/shaderc.h REQUIRED)
target_include_directories(tesmira_platform PRIVATE ${SHADERC_INCLUDE_DIR})
target_link_libraries(tesmira_platform PRIVATE -Wl,--start-group ${_shaderc_paths} -Wl,--end-group)
target_link_options(tesmira_platform PRIVATE -Wl,--exclude-libs,ALL)

# The layer's tests live in gpu_tests/, kept out of the library and out of the
# per-case test registration: each test binary runs as one process so that it makes
# one device and builds each kernel once (slow on the CPU rasteriser).
get_target_property(_d3d11_platform_sources tesmira_platform SOURCES)
list(FILTER _d3d11_platform_sources EXCLUDE REGEX "/d3d11/gpu_tests/")
set_property(TARGET tesmira_platform PROPERTY SOURCES ${_d3d11_platform_sources})

# tesmira_add_gpu_tests(NAME <name> DIR <folder> LIBS <libs...>)
# *_test.cpp in DIR become NAME (label unit; in the normal flavour also run once
# under the Khronos validation layer), *_concurrency_test.cpp become NAME_concurrency.
function(tesmira_add_gpu_tests)
  cmake_parse_arguments(T "" "NAME;DIR" "LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${T_DIR}/*_test.cpp)
  file(GLOB conc CONFIGURE_DEPENDS ${T_DIR}/*_concurrency_test.cpp)
  set(plain ${all})
  if(conc)
    list(REMOVE_ITEM plain ${conc})
  endif()
  if(plain AND NOT TESMIRA_ONLY_CONCURRENCY_TESTS)
    _tesmira_gpu_test_exe(${T_NAME} unit "${plain}" "${T_LIBS}")
  endif()
  if(conc)
    _tesmira_gpu_test_exe(${T_NAME}_concurrency concurrency "${conc}" "${T_LIBS}")
  endif()
endfunction()

function(_tesmira_gpu_test_exe name label sources libs)
  add_executable(${name} ${sources})
  tesmira_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${libs} tesmira_test_support GTest::gtest GTest::gmock Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT 600 ENVIRONMENT "${TESMIRA_SANITIZER_TEST_ENV}")
  if(label STREQUAL "unit" AND TESMIRA_SANITIZE STREQUAL "none")
    add_test(NAME ${name}_validation COMMAND ${name})
    set_tests_properties(${name}_validation PROPERTIES LABELS unit TIMEOUT 600 ENVIRONMENT "TESMIRA_VK_VALIDATION=1")
  endif()
endfunction()

tesmira_add_gpu_tests(NAME platform_d3d11_tests DIR ${CMAKE_CURRENT_LIST_DIR}/gpu_tests LIBS tesmira_platform)
