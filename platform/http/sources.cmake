# WinHTTP runs on libcurl; CNG hashing, GUIDs and the machine's extra TLS roots on OpenSSL.
find_package(CURL REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
target_link_libraries(tesmira_platform PRIVATE CURL::libcurl OpenSSL::SSL OpenSSL::Crypto)
