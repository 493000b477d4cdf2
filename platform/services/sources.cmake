# The service manager keeps its records as JSON under the machine root.
find_package(nlohmann_json 3.11 REQUIRED)
target_link_libraries(tesmira_platform PRIVATE nlohmann_json::nlohmann_json)
