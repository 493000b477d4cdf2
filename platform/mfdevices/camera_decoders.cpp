#include "mfdevices/camera_decoders.h"

#include <dlfcn.h>

#include <filesystem>

namespace tesmira::platform::cameras {
namespace {

const CameraDecoders* loadDecoders() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&cameraDecoders), &self) == 0 || !self.dli_fname) return nullptr;
  const std::filesystem::path module = std::filesystem::path(self.dli_fname).parent_path() / kCameraDecodersModule;
  // Kept loaded for the process's lifetime: its devices may outlive any owner.
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return nullptr;
  using Entry = const CameraDecoders* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(handle, kCameraDecodersEntry));
  return entry ? entry() : nullptr;
}

}  // namespace

const CameraDecoders* cameraDecoders() {
  static const CameraDecoders* const decoders = loadDecoders();
  return decoders;
}

}  // namespace tesmira::platform::cameras
