# ONNX Runtime from the npm tarball that tools/setup/fetch-npm.sh extracts (no Debian package).
set(TESMIRA_ONNXRUNTIME_DIR "${CMAKE_SOURCE_DIR}/.cache/onnxruntime" CACHE PATH "Extracted ONNX Runtime (lib/, include/)")
if(NOT TARGET onnxruntime::onnxruntime)
  if(NOT EXISTS "${TESMIRA_ONNXRUNTIME_DIR}/lib/libonnxruntime.so.1"
     OR NOT EXISTS "${TESMIRA_ONNXRUNTIME_DIR}/include/onnxruntime_cxx_api.h")
    message(FATAL_ERROR "ONNX Runtime not found in ${TESMIRA_ONNXRUNTIME_DIR}; run tools/setup/install-deps.sh")
  endif()
  add_library(onnxruntime::onnxruntime SHARED IMPORTED GLOBAL)
  set_target_properties(onnxruntime::onnxruntime PROPERTIES
    IMPORTED_LOCATION "${TESMIRA_ONNXRUNTIME_DIR}/lib/libonnxruntime.so.1"
    IMPORTED_SONAME "libonnxruntime.so.1"
    # SYSTEM: the runtime's headers are not held to our warnings.
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${TESMIRA_ONNXRUNTIME_DIR}/include"
    INTERFACE_INCLUDE_DIRECTORIES "${TESMIRA_ONNXRUNTIME_DIR}/include")
endif()
