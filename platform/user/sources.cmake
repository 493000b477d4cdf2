# USER (windows, controls, the message loop) on GTK 3 is a library of its own, as
# user32 is: only the programs with a window load GTK.
get_target_property(_user_platform_sources tesmira_platform SOURCES)
list(FILTER _user_platform_sources EXCLUDE REGEX "/user/")
set_property(TARGET tesmira_platform PROPERTY SOURCES ${_user_platform_sources})

find_package(PkgConfig REQUIRED)
pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
find_package(nlohmann_json 3.11 REQUIRED)
file(GLOB user_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_library(tesmira_user SHARED ${user_sources})
tesmira_target_defaults(tesmira_user)
target_include_directories(tesmira_user PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(tesmira_user PUBLIC tesmira_platform PRIVATE PkgConfig::GTK3 nlohmann_json::nlohmann_json)

# On a display only: labelled "window", run under xvfb-run.
tesmira_add_window_tests(NAME platform_user_window_tests DIR ${CMAKE_CURRENT_LIST_DIR}/window_tests LIBS tesmira_user)
