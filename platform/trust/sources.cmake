# WinVerifyTrust and CryptoAPI on OpenSSL.
find_package(OpenSSL 3.0 REQUIRED)
target_link_libraries(tesmira_platform PRIVATE OpenSSL::SSL OpenSSL::Crypto)
