#pragma once
// ID3DBlob: a byte buffer with a reference count.
#include <d3dcommon.h>

#include <string>
#include <vector>

namespace tesmira::platform::d3d11 {

ID3DBlob* makeBlob(const void* data, size_t bytes);
// Compiler messages end with a NUL, as on Windows.
ID3DBlob* makeTextBlob(const std::string& text);

}  // namespace tesmira::platform::d3d11
