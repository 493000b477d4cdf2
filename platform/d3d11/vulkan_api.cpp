#include "d3d11/vulkan_api.h"

#include <dlfcn.h>

namespace tesmira::platform::d3d11 {

const VulkanLoader* vulkanLoader() {
  // Opened once and never closed: drivers keep threads and atexit handlers of their own.
  static const VulkanLoader* loader = []() -> const VulkanLoader* {
    void* module = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!module) return nullptr;
    auto* l = new VulkanLoader;
    l->vkGetInstanceProcAddr = reinterpret_cast<PFN_vkGetInstanceProcAddr>(dlsym(module, "vkGetInstanceProcAddr"));
    if (!l->vkGetInstanceProcAddr) {
      delete l;
      return nullptr;
    }
    auto global = [&](const char* name) { return l->vkGetInstanceProcAddr(VK_NULL_HANDLE, name); };
    l->vkCreateInstance = reinterpret_cast<PFN_vkCreateInstance>(global("vkCreateInstance"));
    l->vkEnumerateInstanceLayerProperties =
        reinterpret_cast<PFN_vkEnumerateInstanceLayerProperties>(global("vkEnumerateInstanceLayerProperties"));
    l->vkEnumerateInstanceExtensionProperties =
        reinterpret_cast<PFN_vkEnumerateInstanceExtensionProperties>(global("vkEnumerateInstanceExtensionProperties"));
    if (!l->vkCreateInstance || !l->vkEnumerateInstanceExtensionProperties) {
      delete l;
      return nullptr;
    }
    return l;
  }();
  return loader;
}

bool loadInstanceApi(VkInstance instance, VulkanInstanceApi& api) {
  auto get = vulkanLoader()->vkGetInstanceProcAddr;
  bool ok = true;
#define TESMIRA_VK_LOAD(name)                                            \
  api.name = reinterpret_cast<PFN_##name>(get(instance, #name));         \
  ok = ok && api.name != nullptr;
  TESMIRA_VK_INSTANCE_FUNCTIONS(TESMIRA_VK_LOAD)
#undef TESMIRA_VK_LOAD
  api.vkCreateDebugUtilsMessengerEXT =
      reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(get(instance, "vkCreateDebugUtilsMessengerEXT"));
  api.vkDestroyDebugUtilsMessengerEXT =
      reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(get(instance, "vkDestroyDebugUtilsMessengerEXT"));
  return ok;
}

bool loadDeviceApi(const VulkanInstanceApi& instanceApi, VkDevice device, VulkanDeviceApi& api) {
  bool ok = true;
#define TESMIRA_VK_LOAD(name)                                                           \
  api.name = reinterpret_cast<PFN_##name>(instanceApi.vkGetDeviceProcAddr(device, #name)); \
  ok = ok && api.name != nullptr;
  TESMIRA_VK_DEVICE_FUNCTIONS(TESMIRA_VK_LOAD)
#undef TESMIRA_VK_LOAD
  return ok;
}

}  // namespace tesmira::platform::d3d11
