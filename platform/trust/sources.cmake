# WinVerifyTrust and CryptoAPI on OpenSSL.
find_package(OpenSSL 3.0 REQUIRED)
target_link_libraries(tesmira_platform PRIVATE OpenSSL::SSL OpenSSL::Crypto)

# The library's glob takes every .cpp below platform/, so the benchmark is taken out of it.
get_target_property(_trust_platform_sources tesmira_platform SOURCES)
list(FILTER _trust_platform_sources EXCLUDE REGEX "/trust/bench/")
set_property(TARGET tesmira_platform PROPERTY SOURCES ${_trust_platform_sources})
tesmira_add_benchmark(trust_bench ${CMAKE_CURRENT_LIST_DIR}/bench/authenticode_bench.cpp LIBS tesmira_platform)
if(TARGET trust_bench)
  target_include_directories(trust_bench PRIVATE ${CMAKE_SOURCE_DIR})
endif()
