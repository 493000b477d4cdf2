#include "tools/demo/demo_camera.h"

namespace tesmira::demo {

std::unique_ptr<CameraApp> makeCameraApp(std::string& missing) {
  missing = "the application side of the demo over the frame server stand-in (tools/demo/demo_camera.cpp)";
  return nullptr;
}

}  // namespace tesmira::demo
