# Writes the kernels' HLSL into a C++ source as text.
#   cmake -DDIR=<shaders folder> -DOUT=<file.cpp> -P embed_shaders.cmake
set(kernels delta:delta composite:composite residentPaste:resident_paste nv12:nv12
    copyCameraFrame:copy_camera_frame cas:cas tone:tone perspective:perspective)
file(READ ${DIR}/crop_change.hlsli crop_change)
set(text "// Generated from producer/engine/shaders/*.hlsl at build time.\n")
string(APPEND text "#include \"producer/engine/compositor_shaders.h\"\n\nnamespace tesmira::compositor_shaders {\n")
foreach(entry ${kernels})
  string(REPLACE ":" ";" parts ${entry})
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ ${DIR}/${file}.hlsl source)
  # The kernels that paste start with the crop change they share.
  if(name STREQUAL "residentPaste")
    string(PREPEND source "${crop_change}")
  endif()
  if(source MATCHES "\\)hlsl\"")
    message(FATAL_ERROR "${file}.hlsl holds the raw string's delimiter")
  endif()
  string(APPEND text "\nextern const std::string_view ${name};\nconst std::string_view ${name} = R\"hlsl(${source})hlsl\";\n")
  if(name STREQUAL "nv12")
    # The packing kernel's paste build.
    string(APPEND text "\nextern const std::string_view nv12Paste;\nconst std::string_view nv12Paste = R\"hlsl(#define PASTE 1\n${crop_change}${source})hlsl\";\n")
  endif()
endforeach()
string(APPEND text "\n}  // namespace tesmira::compositor_shaders\n")
file(WRITE ${OUT}.tmp "${text}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
