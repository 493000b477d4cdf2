#pragma once
// HLSL source text of the compositor's compute kernels (producer/engine/shaders/), carried
// in the program; each compiles with entry point "main" and target "cs_5_0". nv12Paste and
// nv12Perspective are nv12.hlsl built with PASTE and with PERSPECTIVE defined.
#include <string_view>

namespace tesmira::compositor_shaders {

extern const std::string_view delta;
extern const std::string_view composite;
extern const std::string_view residentPaste;
extern const std::string_view nv12;
extern const std::string_view nv12Paste;
extern const std::string_view nv12Perspective;
extern const std::string_view copyCameraFrame;
extern const std::string_view cas;
extern const std::string_view tone;
extern const std::string_view perspective;

}  // namespace tesmira::compositor_shaders
