#pragma once
// The Vulkan entry points the layer calls, loaded from the loader at run time so a
// machine without Vulkan still runs every program that makes no device.
#define VK_NO_PROTOTYPES
#include <vulkan/vulkan.h>

namespace tesmira::platform::d3d11 {

#define TESMIRA_VK_INSTANCE_FUNCTIONS(X)          \
  X(vkDestroyInstance)                            \
  X(vkEnumeratePhysicalDevices)                   \
  X(vkGetPhysicalDeviceProperties)                \
  X(vkGetPhysicalDeviceFeatures2)                 \
  X(vkGetPhysicalDeviceQueueFamilyProperties)     \
  X(vkGetPhysicalDeviceMemoryProperties)          \
  X(vkGetPhysicalDeviceFormatProperties)          \
  X(vkEnumerateDeviceExtensionProperties)         \
  X(vkCreateDevice)                               \
  X(vkGetDeviceProcAddr)

#define TESMIRA_VK_DEVICE_FUNCTIONS(X) \
  X(vkDestroyDevice)                   \
  X(vkGetDeviceQueue)                  \
  X(vkDeviceWaitIdle)                  \
  X(vkAllocateMemory)                  \
  X(vkFreeMemory)                      \
  X(vkMapMemory)                       \
  X(vkCreateBuffer)                    \
  X(vkDestroyBuffer)                   \
  X(vkGetBufferMemoryRequirements)     \
  X(vkBindBufferMemory)                \
  X(vkCreateImage)                     \
  X(vkDestroyImage)                    \
  X(vkGetImageMemoryRequirements)      \
  X(vkBindImageMemory)                 \
  X(vkCreateImageView)                 \
  X(vkDestroyImageView)                \
  X(vkCreateSampler)                   \
  X(vkDestroySampler)                  \
  X(vkCreateShaderModule)              \
  X(vkDestroyShaderModule)             \
  X(vkCreateDescriptorSetLayout)       \
  X(vkDestroyDescriptorSetLayout)      \
  X(vkCreatePipelineLayout)            \
  X(vkDestroyPipelineLayout)           \
  X(vkCreateComputePipelines)          \
  X(vkDestroyPipeline)                 \
  X(vkCreateQueryPool)                 \
  X(vkDestroyQueryPool)                \
  X(vkGetQueryPoolResults)             \
  X(vkCreateCommandPool)               \
  X(vkDestroyCommandPool)              \
  X(vkAllocateCommandBuffers)          \
  X(vkResetCommandBuffer)              \
  X(vkBeginCommandBuffer)              \
  X(vkEndCommandBuffer)                \
  X(vkCreateFence)                     \
  X(vkDestroyFence)                    \
  X(vkResetFences)                     \
  X(vkGetFenceStatus)                  \
  X(vkWaitForFences)                   \
  X(vkQueueSubmit)                     \
  X(vkCmdPipelineBarrier)              \
  X(vkCmdBindPipeline)                 \
  X(vkCmdPushDescriptorSetKHR)         \
  X(vkCmdDispatch)                     \
  X(vkCmdCopyBuffer)                   \
  X(vkCmdCopyImage)                    \
  X(vkCmdCopyBufferToImage)            \
  X(vkCmdCopyImageToBuffer)            \
  X(vkCmdClearColorImage)              \
  X(vkCmdFillBuffer)                   \
  X(vkCmdResetQueryPool)               \
  X(vkCmdWriteTimestamp)

#define TESMIRA_VK_DECLARE(name) PFN_##name name = nullptr;

struct VulkanInstanceApi {
  TESMIRA_VK_INSTANCE_FUNCTIONS(TESMIRA_VK_DECLARE)
  PFN_vkCreateDebugUtilsMessengerEXT vkCreateDebugUtilsMessengerEXT = nullptr;
  PFN_vkDestroyDebugUtilsMessengerEXT vkDestroyDebugUtilsMessengerEXT = nullptr;
};

struct VulkanDeviceApi {
  TESMIRA_VK_DEVICE_FUNCTIONS(TESMIRA_VK_DECLARE)
};

// The loader's global entry points; null when libvulkan.so.1 cannot be opened.
struct VulkanLoader {
  PFN_vkGetInstanceProcAddr vkGetInstanceProcAddr = nullptr;
  PFN_vkCreateInstance vkCreateInstance = nullptr;
  PFN_vkEnumerateInstanceLayerProperties vkEnumerateInstanceLayerProperties = nullptr;
  PFN_vkEnumerateInstanceExtensionProperties vkEnumerateInstanceExtensionProperties = nullptr;
};
const VulkanLoader* vulkanLoader();

bool loadInstanceApi(VkInstance instance, VulkanInstanceApi& api);
bool loadDeviceApi(const VulkanInstanceApi& instanceApi, VkDevice device, VulkanDeviceApi& api);

}  // namespace tesmira::platform::d3d11
