// D3D11CreateDevice and the device's creation methods on a Vulkan device.
#include "d3d11/device.h"

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>

#include "core/faults.h"
#include "tesmira/d3d11_testing.h"

namespace tesmira::platform::d3d11 {
namespace {

std::mutex gChoiceMutex;
std::string gChoice;  // empty: from the environment

std::atomic<uint64_t> gValidationMessages{0};
std::mutex gValidationMutex;
std::string gFirstValidationMessage;

std::string adapterChoice() {
  std::lock_guard lock(gChoiceMutex);
  if (!gChoice.empty()) return gChoice;
  const char* env = std::getenv("TESMIRA_D3D11_ADAPTER");
  return env && *env ? env : "auto";
}

VKAPI_ATTR VkBool32 VKAPI_CALL onValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                   VkDebugUtilsMessageTypeFlagsEXT,
                                                   const VkDebugUtilsMessengerCallbackDataEXT* data, void*) {
  if (severity < VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT) return VK_FALSE;
  std::string text = data && data->pMessage ? data->pMessage : "";
  std::fprintf(stderr, "vulkan validation: %s\n", text.c_str());
  std::lock_guard lock(gValidationMutex);
  if (gValidationMessages.fetch_add(1) == 0) gFirstValidationMessage = text;
  return VK_FALSE;
}

// Set while the device makes its own stand-in objects, which a test's faults must not hit.
thread_local bool tMakingFallbacks = false;

std::optional<HRESULT> injected(const char* site) {
  if (tMakingFallbacks) return std::nullopt;
  if (auto error = faults::take(site)) return static_cast<HRESULT>(*error);
  return std::nullopt;
}

bool hasExtension(const std::vector<VkExtensionProperties>& list, const char* name) {
  for (const auto& e : list)
    if (std::strcmp(e.extensionName, name) == 0) return true;
  return false;
}

class Adapter final : public Unknown<IDXGIAdapter> {
 public:
  explicit Adapter(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object, {&IID_IUnknown, &IID_IDXGIObject, &IID_IDXGIAdapter});
  }
  STDMETHODIMP GetParent(REFIID, void** parent) override {
    if (parent) *parent = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP GetDesc(DXGI_ADAPTER_DESC* desc) override {
    if (!desc) return E_INVALIDARG;
    *desc = {};
    const char* name = core_->properties.deviceName;
    for (size_t i = 0; i < 127 && name[i]; ++i) desc->Description[i] = static_cast<unsigned char>(name[i]);
    desc->VendorId = core_->properties.vendorID;
    desc->DeviceId = core_->properties.deviceID;
    for (uint32_t i = 0; i < core_->memory.memoryHeapCount; ++i) {
      const auto& heap = core_->memory.memoryHeaps[i];
      bool local = heap.flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT;
      bool cpu = core_->properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
      (local && !cpu ? desc->DedicatedVideoMemory : desc->SharedSystemMemory) += heap.size;
    }
    return S_OK;
  }

 private:
  std::shared_ptr<Core> core_;
};

// What a physical device must offer: compute queue, push descriptors, format-less storage writes.
struct Candidate {
  VkPhysicalDevice device;
  VkPhysicalDeviceProperties properties;
  uint32_t queueFamily;
  uint32_t timestampBits;
  bool imageRobustness;
  bool robustBufferAccess;
};

std::optional<Candidate> examine(const VulkanInstanceApi& vki, VkPhysicalDevice device) {
  Candidate c{device, {}, 0, 0, false, false};
  vki.vkGetPhysicalDeviceProperties(device, &c.properties);
  if (c.properties.apiVersion < VK_API_VERSION_1_1) return std::nullopt;
  uint32_t count = 0;
  vki.vkEnumerateDeviceExtensionProperties(device, nullptr, &count, nullptr);
  std::vector<VkExtensionProperties> extensions(count);
  vki.vkEnumerateDeviceExtensionProperties(device, nullptr, &count, extensions.data());
  if (!hasExtension(extensions, VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME)) return std::nullopt;

  VkPhysicalDeviceImageRobustnessFeaturesEXT robustness{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_IMAGE_ROBUSTNESS_FEATURES_EXT};
  VkPhysicalDeviceFeatures2 features{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  bool robustnessExtension = hasExtension(extensions, VK_EXT_IMAGE_ROBUSTNESS_EXTENSION_NAME);
  if (robustnessExtension) features.pNext = &robustness;
  vki.vkGetPhysicalDeviceFeatures2(device, &features);
  if (!features.features.shaderStorageImageWriteWithoutFormat) return std::nullopt;
  c.imageRobustness = robustnessExtension && robustness.robustImageAccess;
  c.robustBufferAccess = features.features.robustBufferAccess;

  vki.vkGetPhysicalDeviceQueueFamilyProperties(device, &count, nullptr);
  std::vector<VkQueueFamilyProperties> families(count);
  vki.vkGetPhysicalDeviceQueueFamilyProperties(device, &count, families.data());
  for (uint32_t i = 0; i < count; ++i) {
    if (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT) {
      c.queueFamily = i;
      c.timestampBits = families[i].timestampValidBits;
      VkFormatProperties rgba{};
      vki.vkGetPhysicalDeviceFormatProperties(device, VK_FORMAT_R8G8B8A8_UNORM, &rgba);
      if (!(rgba.optimalTilingFeatures & VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT)) return std::nullopt;
      return c;
    }
  }
  return std::nullopt;
}

std::optional<Candidate> pick(const VulkanInstanceApi& vki, VkInstance instance, const std::string& choice) {
  if (choice == "none") return std::nullopt;
  uint32_t count = 0;
  if (vki.vkEnumeratePhysicalDevices(instance, &count, nullptr) != VK_SUCCESS) return std::nullopt;
  std::vector<VkPhysicalDevice> devices(count);
  vki.vkEnumeratePhysicalDevices(instance, &count, devices.data());
  std::optional<Candidate> gpu, cpu;
  for (VkPhysicalDevice d : devices) {
    auto c = examine(vki, d);
    if (!c) continue;
    bool isCpu = c->properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
    if (isCpu && !cpu) cpu = c;
    if (!isCpu && (!gpu || c->properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU)) gpu = c;
  }
  if (choice == "cpu") return cpu;
  if (choice == "gpu") return gpu;
  return gpu ? gpu : cpu;
}

struct ProcessInstance {
  VkInstance instance = VK_NULL_HANDLE;
  VulkanInstanceApi vki;
};

// One Vulkan instance for the process's life, as a Direct3D runtime keeps its driver loaded:
// destroying it would unload the driver modules, and a leak inside one would then be
// reported against no module at exit. Null while none can be made (tried again next time).
const ProcessInstance* processInstance(const VulkanLoader& loader) {
  static std::mutex mutex;
  static const ProcessInstance* kept = nullptr;
  std::lock_guard lock(mutex);
  if (kept) return kept;

  const char* validation = std::getenv("TESMIRA_VK_VALIDATION");
  bool validate = validation && std::strcmp(validation, "1") == 0;
  std::vector<const char*> layers, extensions;
  if (validate) {
    layers.push_back("VK_LAYER_KHRONOS_validation");
    extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  }
  VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
  app.pApplicationName = "tesmira";
  app.apiVersion = VK_API_VERSION_1_1;
  VkValidationFeatureEnableEXT enables[] = {VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT};
  VkValidationFeaturesEXT features{VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT};
  features.enabledValidationFeatureCount = 1;
  features.pEnabledValidationFeatures = enables;
  VkInstanceCreateInfo info{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
  info.pNext = validate ? &features : nullptr;
  info.pApplicationInfo = &app;
  info.enabledLayerCount = static_cast<uint32_t>(layers.size());
  info.ppEnabledLayerNames = layers.data();
  info.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
  info.ppEnabledExtensionNames = extensions.data();
  auto made = std::make_unique<ProcessInstance>();
  if (loader.vkCreateInstance(&info, nullptr, &made->instance) != VK_SUCCESS) return nullptr;
  if (!loadInstanceApi(made->instance, made->vki)) {
    if (made->vki.vkDestroyInstance) made->vki.vkDestroyInstance(made->instance, nullptr);
    return nullptr;
  }
  if (validate && made->vki.vkCreateDebugUtilsMessengerEXT) {
    VkDebugUtilsMessengerCreateInfoEXT m{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
    m.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
    // Not the performance advice: images stay in the GENERAL layout on purpose.
    m.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT;
    m.pfnUserCallback = onValidationMessage;
    VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
    made->vki.vkCreateDebugUtilsMessengerEXT(made->instance, &m, nullptr, &messenger);
  }
  kept = made.release();
  return kept;
}

// Builds the Vulkan device on the process's instance; null when no usable device exists.
std::shared_ptr<Core> createCore() {
  const VulkanLoader* loader = vulkanLoader();
  std::string choice = adapterChoice();
  if (!loader || choice == "none") return nullptr;
  const ProcessInstance* instance = processInstance(*loader);
  if (!instance) return nullptr;
  auto core = std::make_shared<Core>();
  core->instance = instance->instance;
  core->vki = instance->vki;

  auto candidate = pick(core->vki, core->instance, choice);
  if (!candidate) return nullptr;
  core->physical = candidate->device;
  core->properties = candidate->properties;
  core->queueFamily = candidate->queueFamily;
  core->timestampsValid = candidate->timestampBits > 0 && candidate->properties.limits.timestampPeriod > 0;
  core->vki.vkGetPhysicalDeviceMemoryProperties(core->physical, &core->memory);

  float priority = 1.0f;
  VkDeviceQueueCreateInfo queue{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
  queue.queueFamilyIndex = core->queueFamily;
  queue.queueCount = 1;
  queue.pQueuePriorities = &priority;
  // Out-of-bounds unordered-access writes are dropped, as in Direct3D.
  VkPhysicalDeviceImageRobustnessFeaturesEXT robustness{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_IMAGE_ROBUSTNESS_FEATURES_EXT};
  robustness.robustImageAccess = VK_TRUE;
  VkPhysicalDeviceFeatures2 enabled{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  enabled.features.shaderStorageImageWriteWithoutFormat = VK_TRUE;
  enabled.features.robustBufferAccess = candidate->robustBufferAccess;
  std::vector<const char*> deviceExtensions{VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
  if (candidate->imageRobustness) {
    enabled.pNext = &robustness;
    deviceExtensions.push_back(VK_EXT_IMAGE_ROBUSTNESS_EXTENSION_NAME);
  }
  VkDeviceCreateInfo deviceInfo{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
  deviceInfo.pNext = &enabled;
  deviceInfo.queueCreateInfoCount = 1;
  deviceInfo.pQueueCreateInfos = &queue;
  deviceInfo.enabledExtensionCount = static_cast<uint32_t>(deviceExtensions.size());
  deviceInfo.ppEnabledExtensionNames = deviceExtensions.data();
  if (core->vki.vkCreateDevice(core->physical, &deviceInfo, nullptr, &core->device) != VK_SUCCESS) {
    core->device = VK_NULL_HANDLE;
    return nullptr;
  }
  if (!loadDeviceApi(core->vki, core->device, core->vk)) return nullptr;
  core->vk.vkGetDeviceQueue(core->device, core->queueFamily, 0, &core->queue);
  return core;
}

const FormatInfo kFormats[] = {
    {DXGI_FORMAT_R8G8B8A8_UNORM, VK_FORMAT_R8G8B8A8_UNORM, 4, false},
    {DXGI_FORMAT_B8G8R8A8_UNORM, VK_FORMAT_B8G8R8A8_UNORM, 4, false},
    {DXGI_FORMAT_B8G8R8X8_UNORM, VK_FORMAT_B8G8R8A8_UNORM, 4, true},
    {DXGI_FORMAT_R32G32B32A32_FLOAT, VK_FORMAT_R32G32B32A32_SFLOAT, 16, false},
    {DXGI_FORMAT_R32_FLOAT, VK_FORMAT_R32_SFLOAT, 4, false},
};

constexpr UINT kRowAlignment = 256;

}  // namespace

const FormatInfo* formatInfo(DXGI_FORMAT format) {
  for (const auto& f : kFormats)
    if (f.format == format) return &f;
  return nullptr;
}

ResourceBase* resourceOf(ID3D11Resource* resource) { return dynamic_cast<ResourceBase*>(resource); }

// ---- Core ----

Core::~Core() {
  if (device && vk.vkDeviceWaitIdle && vk.vkDestroyDevice) {
    vk.vkDeviceWaitIdle(device);
    markCompleted(UINT64_MAX);
    vk.vkDestroyDevice(device, nullptr);
  }
}

void Core::retireLater(uint64_t serial, std::function<void()> fn) {
  {
    std::lock_guard lock(retireMutex_);
    if (serial > completed_.load(std::memory_order_acquire)) {
      deferred_.emplace_back(serial, std::move(fn));
      return;
    }
  }
  fn();
}

void Core::markCompleted(uint64_t serial) {
  std::vector<std::function<void()>> due;
  {
    std::lock_guard lock(retireMutex_);
    if (serial > completed_.load(std::memory_order_relaxed)) completed_.store(serial, std::memory_order_release);
    for (auto it = deferred_.begin(); it != deferred_.end();) {
      if (it->first <= serial) {
        due.push_back(std::move(it->second));
        it = deferred_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& fn : due) fn();
}

bool Core::allocate(const VkMemoryRequirements& requirements, bool hostVisible, VkDeviceMemory& out) {
  VkMemoryPropertyFlags want = hostVisible ? VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT
                                           : VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
      if (!(requirements.memoryTypeBits & (1u << i))) continue;
      VkMemoryPropertyFlags flags = memory.memoryTypes[i].propertyFlags;
      if ((flags & want) != want) continue;
      // Read-back memory is best cached; take it when there is such a type.
      if (pass == 0 && hostVisible && !(flags & VK_MEMORY_PROPERTY_HOST_CACHED_BIT)) continue;
      VkMemoryAllocateInfo info{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
      info.allocationSize = requirements.size;
      info.memoryTypeIndex = i;
      return vk.vkAllocateMemory(device, &info, nullptr, &out) == VK_SUCCESS;
    }
  }
  return false;
}

bool Core::createHostBuffer(VkDeviceSize size, VkBufferUsageFlags usage, HostBuffer& out) {
  VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  info.size = size;
  info.usage = usage | VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (vk.vkCreateBuffer(device, &info, nullptr, &out.buffer) != VK_SUCCESS) return false;
  out.size = size;
  VkMemoryRequirements requirements;
  vk.vkGetBufferMemoryRequirements(device, out.buffer, &requirements);
  void* mapped = nullptr;
  if (!allocate(requirements, true, out.memory) || vk.vkBindBufferMemory(device, out.buffer, out.memory, 0) != VK_SUCCESS ||
      vk.vkMapMemory(device, out.memory, 0, VK_WHOLE_SIZE, 0, &mapped) != VK_SUCCESS) {
    destroyHostBuffer(out);
    return false;
  }
  out.data = static_cast<uint8_t*>(mapped);
  std::memset(out.data, 0, size);
  return true;
}

void Core::destroyHostBuffer(HostBuffer& b) {
  if (b.buffer) vk.vkDestroyBuffer(device, b.buffer, nullptr);
  if (b.memory) vk.vkFreeMemory(device, b.memory, nullptr);  // unmaps as well
  b = {};
}

// ---- objects ----

template <class I>
void Child<I>::GetDevice(ID3D11Device** device) {
  Device* owner = core_->owner.load(std::memory_order_acquire);
  if (owner) owner->AddRef();
  *device = owner;
}
template class Child<ID3D11Texture2D>;
template class Child<ID3D11Buffer>;
template class Child<ID3D11ShaderResourceView>;
template class Child<ID3D11UnorderedAccessView>;
template class Child<ID3D11SamplerState>;
template class Child<ID3D11ComputeShader>;
template class Child<ID3D11Query>;

Texture::~Texture() {
  Core* c = core_.get();
  VkImage i = image;
  VkDeviceMemory m = imageMemory;
  HostBuffer h = host;
  c->retireLater(lastUse.load(), [c, i, m, h]() mutable {
    if (i) c->vk.vkDestroyImage(c->device, i, nullptr);
    if (m) c->vk.vkFreeMemory(c->device, m, nullptr);
    c->destroyHostBuffer(h);
  });
}

Buffer::~Buffer() {
  Core* c = core_.get();
  HostBuffer h = host;
  c->retireLater(lastUse.load(), [c, h]() mutable { c->destroyHostBuffer(h); });
}

template <class I, class Desc>
View<I, Desc>::~View() {
  Core* c = &this->core();
  VkImageView v = view;
  c->retireLater(base()->lastUse.load(), [c, v] {
    if (v) c->vk.vkDestroyImageView(c->device, v, nullptr);
  });
  resource->Release();
}
template class View<ID3D11ShaderResourceView, D3D11_SHADER_RESOURCE_VIEW_DESC>;
template class View<ID3D11UnorderedAccessView, D3D11_UNORDERED_ACCESS_VIEW_DESC>;

SamplerState::~SamplerState() {
  Core* c = core_.get();
  VkSampler s = sampler;
  c->retireLater(lastUse.load(), [c, s] {
    if (s) c->vk.vkDestroySampler(c->device, s, nullptr);
  });
}

ComputeShader::~ComputeShader() {
  Core* c = core_.get();
  VkPipeline p = pipeline;
  VkPipelineLayout l = layout;
  VkDescriptorSetLayout s = setLayout;
  c->retireLater(lastUse.load(), [c, p, l, s] {
    if (p) c->vk.vkDestroyPipeline(c->device, p, nullptr);
    if (l) c->vk.vkDestroyPipelineLayout(c->device, l, nullptr);
    if (s) c->vk.vkDestroyDescriptorSetLayout(c->device, s, nullptr);
  });
}

Query::~Query() {
  Core* c = core_.get();
  VkQueryPool p = pool;
  c->retireLater(lastUse.load(), [c, p] {
    if (p) c->vk.vkDestroyQueryPool(c->device, p, nullptr);
  });
}

// ---- Device ----

Device::Device(std::shared_ptr<Core> core, D3D_FEATURE_LEVEL level)
    : core_(std::move(core)), level_(level), context_(*this, core_) {
  core_->owner.store(this, std::memory_order_release);
}

bool Device::init() {
  if (!context_.init()) return false;
  D3D11_TEXTURE2D_DESC t{1, 1, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                         D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS, 0, 0};
  D3D11_BUFFER_DESC constants{65536, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
  D3D11_BUFFER_DESC structured{256, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE,
                               D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 4};
  D3D11_SAMPLER_DESC s{D3D11_FILTER_MIN_MAG_MIP_LINEAR, D3D11_TEXTURE_ADDRESS_CLAMP, D3D11_TEXTURE_ADDRESS_CLAMP,
                       D3D11_TEXTURE_ADDRESS_CLAMP, 0, 0, D3D11_COMPARISON_NEVER, {0, 0, 0, 0}, 0, D3D11_FLOAT32_MAX};
  ID3D11ShaderResourceView* srv = nullptr;
  ID3D11UnorderedAccessView* uav = nullptr;
  ID3D11Buffer* c = nullptr;
  ID3D11Buffer* b = nullptr;
  ID3D11SamplerState* sampler = nullptr;
  tMakingFallbacks = true;
  bool ok = SUCCEEDED(CreateTexture2D(&t, nullptr, &fallbacks.texture)) &&
            SUCCEEDED(CreateShaderResourceView(fallbacks.texture, nullptr, &srv)) &&
            SUCCEEDED(CreateUnorderedAccessView(fallbacks.texture, nullptr, &uav)) &&
            SUCCEEDED(CreateBuffer(&constants, nullptr, &c)) && SUCCEEDED(CreateBuffer(&structured, nullptr, &b)) &&
            SUCCEEDED(CreateSamplerState(&s, &sampler));
  tMakingFallbacks = false;
  fallbacks.srv = static_cast<ShaderResourceView*>(srv);
  fallbacks.uav = static_cast<UnorderedAccessView*>(uav);
  fallbacks.constants = static_cast<Buffer*>(c);
  fallbacks.structured = static_cast<Buffer*>(b);
  fallbacks.sampler = static_cast<SamplerState*>(sampler);
  return ok;
}

Device::~Device() {
  context_.shutdown();
  if (fallbacks.srv) fallbacks.srv->Release();
  if (fallbacks.uav) fallbacks.uav->Release();
  if (fallbacks.texture) fallbacks.texture->Release();
  if (fallbacks.constants) fallbacks.constants->Release();
  if (fallbacks.structured) fallbacks.structured->Release();
  if (fallbacks.sampler) fallbacks.sampler->Release();
  core_->owner.store(nullptr, std::memory_order_release);
}

STDMETHODIMP_(ULONG) Device::Release() {
  ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP Device::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ID3D11Device) {
    *object = static_cast<ID3D11Device*>(this);
  } else if (riid == IID_IDXGIObject || riid == IID_IDXGIDevice) {
    *object = static_cast<IDXGIDevice*>(this);
  } else if (riid == IID_ID3D11Multithread) {
    *object = static_cast<ID3D11Multithread*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP Device::GetDeviceRemovedReason() { return core_->removed ? DXGI_ERROR_DEVICE_REMOVED : S_OK; }

STDMETHODIMP_(void) Device::GetImmediateContext(ID3D11DeviceContext** context) {
  AddRef();
  *context = &context_;
}

STDMETHODIMP Device::GetParent(REFIID riid, void** parent) {
  if (!parent) return E_INVALIDARG;
  if (riid == IID_IDXGIAdapter || riid == IID_IDXGIObject || riid == IID_IUnknown) {
    *parent = static_cast<IDXGIAdapter*>(new Adapter(core_));
    return S_OK;
  }
  *parent = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP Device::GetAdapter(IDXGIAdapter** adapter) {
  if (!adapter) return E_INVALIDARG;
  *adapter = new Adapter(core_);
  return S_OK;
}

STDMETHODIMP_(void) Device::Enter() { context_.Enter(); }
STDMETHODIMP_(void) Device::Leave() { context_.Leave(); }
STDMETHODIMP_(BOOL) Device::SetMultithreadProtected(BOOL protect) { return context_.SetMultithreadProtected(protect); }
STDMETHODIMP_(BOOL) Device::GetMultithreadProtected() { return context_.GetMultithreadProtected(); }

namespace {

// How every Create* begins: the out pointer is cleared before anything is checked, so a
// refused call never leaves the caller's old value behind; then a missing argument is
// refused, then a fault injected at the call's site is returned.
template <class I>
std::optional<HRESULT> refuseEarly(I** out, bool argumentsGiven, const char* site) {
  if (out) *out = nullptr;
  if (!argumentsGiven) return E_INVALIDARG;
  return injected(site);
}

// How every Create* ends: the object goes to the caller once its Vulkan side was made,
// and is released otherwise.
template <class T, class I>
HRESULT handOut(T* made, bool ok, I** out, HRESULT failure = E_OUTOFMEMORY) {
  if (!ok) {
    made->Release();
    return failure;
  }
  *out = made;
  return S_OK;
}

// The usage rules textures and buffers share. A dynamic texture must be bound as well.
HRESULT checkUsage(D3D11_USAGE usage, UINT bindFlags, UINT cpuAccess, bool withData, bool dynamicNeedsBind) {
  const bool uav = bindFlags & D3D11_BIND_UNORDERED_ACCESS;
  switch (usage) {
    case D3D11_USAGE_DEFAULT:
      return cpuAccess ? E_INVALIDARG : S_OK;
    case D3D11_USAGE_IMMUTABLE:
      return !withData || cpuAccess || uav ? E_INVALIDARG : S_OK;
    case D3D11_USAGE_DYNAMIC:
      return cpuAccess != D3D11_CPU_ACCESS_WRITE || uav || (dynamicNeedsBind && !bindFlags) ? E_INVALIDARG : S_OK;
    case D3D11_USAGE_STAGING:
      return bindFlags || !cpuAccess ? E_INVALIDARG : S_OK;
    default:
      return E_INVALIDARG;
  }
}

// What Direct3D refuses in a texture description (E_INVALIDARG) and what this layer does
// not make (E_NOTIMPL). Whether the device can write the format from a kernel is asked apart.
HRESULT checkTextureDesc(const D3D11_TEXTURE2D_DESC& desc, const D3D11_SUBRESOURCE_DATA* data) {
  const FormatInfo* format = formatInfo(desc.Format);
  if (!format || desc.Width == 0 || desc.Height == 0 || desc.Width > 16384 || desc.Height > 16384) return E_INVALIDARG;
  if (desc.MipLevels != 1 || desc.ArraySize != 1 || desc.SampleDesc.Count != 1 || desc.MiscFlags) return E_NOTIMPL;
  const UINT supportedBinds = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
  if (desc.BindFlags & ~supportedBinds) return E_INVALIDARG;
  if (desc.CPUAccessFlags & ~(D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE)) return E_INVALIDARG;
  if (HRESULT hr = checkUsage(desc.Usage, desc.BindFlags, desc.CPUAccessFlags, data, true); hr != S_OK) return hr;
  if (data && (!data->pSysMem || data->SysMemPitch < desc.Width * format->bytes)) return E_INVALIDARG;
  if ((desc.BindFlags & D3D11_BIND_UNORDERED_ACCESS) && format->opaqueAlpha) return E_INVALIDARG;
  return S_OK;
}

bool canStore(const Core& core, VkFormat format) {
  VkFormatProperties p{};
  core.vki.vkGetPhysicalDeviceFormatProperties(core.physical, format, &p);
  return p.optimalTilingFeatures & VK_FORMAT_FEATURE_STORAGE_IMAGE_BIT;
}

// The Vulkan side of a texture whose description passed: an image unless STAGING (host
// memory only), and the host buffer that STAGING, DYNAMIC and initial data go through.
bool allocateTexture(Texture& t, const FormatInfo& format, const D3D11_SUBRESOURCE_DATA* data) {
  Core& core = t.core();
  const D3D11_TEXTURE2D_DESC& desc = t.desc;
  t.format = &format;
  t.usage = desc.Usage;
  t.bindFlags = desc.BindFlags;
  t.cpuAccess = desc.CPUAccessFlags;
  const UINT tightPitch = desc.Width * format.bytes;
  t.rowPitch = (tightPitch + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  auto& vk = core.vk;
  if (desc.Usage != D3D11_USAGE_STAGING) {
    VkImageCreateInfo info{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    info.imageType = VK_IMAGE_TYPE_2D;
    info.format = format.vkFormat;
    info.extent = {desc.Width, desc.Height, 1};
    info.mipLevels = 1;
    info.arrayLayers = 1;
    info.samples = VK_SAMPLE_COUNT_1_BIT;
    info.tiling = VK_IMAGE_TILING_OPTIMAL;
    info.usage = VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
    if (desc.BindFlags & D3D11_BIND_UNORDERED_ACCESS) info.usage |= VK_IMAGE_USAGE_STORAGE_BIT;
    info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (vk.vkCreateImage(core.device, &info, nullptr, &t.image) != VK_SUCCESS) return false;
    VkMemoryRequirements requirements;
    vk.vkGetImageMemoryRequirements(core.device, t.image, &requirements);
    if (!core.allocate(requirements, false, t.imageMemory) ||
        vk.vkBindImageMemory(core.device, t.image, t.imageMemory, 0) != VK_SUCCESS)
      return false;
  }
  const bool needsHost = desc.Usage == D3D11_USAGE_STAGING || desc.Usage == D3D11_USAGE_DYNAMIC || data;
  if (needsHost && !core.createHostBuffer(VkDeviceSize(t.rowPitch) * desc.Height, 0, t.host)) return false;
  if (data) {
    const auto* rows = static_cast<const uint8_t*>(data->pSysMem);
    for (UINT y = 0; y < desc.Height; ++y)
      std::memcpy(t.host.data + size_t(y) * t.rowPitch, rows + size_t(y) * data->SysMemPitch, tightPitch);
    t.hasInitialData = true;
  }
  return true;
}

HRESULT checkBufferDesc(const D3D11_BUFFER_DESC& desc, const D3D11_SUBRESOURCE_DATA* data) {
  const UINT supportedBinds = D3D11_BIND_CONSTANT_BUFFER | D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;
  if (desc.ByteWidth == 0 || (desc.BindFlags & ~supportedBinds)) return E_INVALIDARG;
  const bool constant = desc.BindFlags & D3D11_BIND_CONSTANT_BUFFER;
  const bool structured = desc.MiscFlags & D3D11_RESOURCE_MISC_BUFFER_STRUCTURED;
  if (constant && (desc.BindFlags != D3D11_BIND_CONSTANT_BUFFER || desc.ByteWidth % 16 || desc.ByteWidth > 65536))
    return E_INVALIDARG;
  if (desc.MiscFlags & ~D3D11_RESOURCE_MISC_BUFFER_STRUCTURED) return E_NOTIMPL;
  if (structured &&
      (desc.StructureByteStride == 0 || desc.StructureByteStride % 4 || desc.ByteWidth % desc.StructureByteStride))
    return E_INVALIDARG;
  if ((desc.BindFlags & D3D11_BIND_SHADER_RESOURCE) && !structured) return E_NOTIMPL;
  if (HRESULT hr = checkUsage(desc.Usage, desc.BindFlags, desc.CPUAccessFlags, data, false); hr != S_OK) return hr;
  if (data && !data->pSysMem) return E_INVALIDARG;
  return S_OK;
}

bool allocateBuffer(Buffer& b, const D3D11_SUBRESOURCE_DATA* data) {
  const D3D11_BUFFER_DESC& desc = b.desc;
  b.usage = desc.Usage;
  b.bindFlags = desc.BindFlags;
  b.cpuAccess = desc.CPUAccessFlags;
  VkBufferUsageFlags usage = 0;
  if (desc.BindFlags & D3D11_BIND_CONSTANT_BUFFER) usage |= VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT;
  if (desc.BindFlags & (D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS))
    usage |= VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
  if (!b.core().createHostBuffer(desc.ByteWidth, usage, b.host)) return false;
  if (data) std::memcpy(b.host.data, data->pSysMem, desc.ByteWidth);
  return true;
}

// A view of the texture's one level. Storage views take no swizzle, so only a sampled
// view reads an alpha-less format's alpha as 1.
bool makeImageView(Core& core, const Texture& t, bool sampled, VkImageView& view) {
  VkImageViewCreateInfo info{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
  info.image = t.image;
  info.viewType = VK_IMAGE_VIEW_TYPE_2D;
  info.format = t.format->vkFormat;
  if (sampled && t.format->opaqueAlpha) info.components.a = VK_COMPONENT_SWIZZLE_ONE;
  info.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  return core.vk.vkCreateImageView(core.device, &info, nullptr, &view) == VK_SUCCESS;
}

}  // namespace

STDMETHODIMP Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* data,
                                     ID3D11Texture2D** out) {
  if (auto refused = refuseEarly(out, desc, "ID3D11Device::CreateTexture2D")) return *refused;
  if (HRESULT hr = checkTextureDesc(*desc, data); hr != S_OK) return hr;
  const FormatInfo* format = formatInfo(desc->Format);
  if ((desc->BindFlags & D3D11_BIND_UNORDERED_ACCESS) && !canStore(*core_, format->vkFormat)) return E_INVALIDARG;
  if (!out) return S_FALSE;
  auto* t = new Texture(core_, *desc);
  return handOut(t, allocateTexture(*t, *format, data), out);
}

STDMETHODIMP Device::CreateBuffer(const D3D11_BUFFER_DESC* desc, const D3D11_SUBRESOURCE_DATA* data,
                                  ID3D11Buffer** out) {
  if (auto refused = refuseEarly(out, desc, "ID3D11Device::CreateBuffer")) return *refused;
  if (HRESULT hr = checkBufferDesc(*desc, data); hr != S_OK) return hr;
  if (!out) return S_FALSE;
  auto* b = new Buffer(core_, *desc);
  return handOut(b, allocateBuffer(*b, data), out);
}

STDMETHODIMP Device::CreateShaderResourceView(ID3D11Resource* resource, const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
                                              ID3D11ShaderResourceView** out) {
  if (auto refused = refuseEarly(out, resource, "ID3D11Device::CreateShaderResourceView")) return *refused;
  auto* base = resourceOf(resource);
  if (!base || !(base->bindFlags & D3D11_BIND_SHADER_RESOURCE)) return E_INVALIDARG;
  if (auto* t = dynamic_cast<Texture*>(resource)) {
    D3D11_SHADER_RESOURCE_VIEW_DESC d{};
    d.Format = t->desc.Format;
    d.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
    d.Texture2D = {0, 1};
    if (desc && (desc->ViewDimension != D3D11_SRV_DIMENSION_TEXTURE2D || desc->Format != t->desc.Format ||
                 desc->Texture2D.MostDetailedMip != 0 || (desc->Texture2D.MipLevels != 1 && desc->Texture2D.MipLevels != UINT(-1))))
      return E_INVALIDARG;
    if (!out) return S_FALSE;
    auto* v = new ShaderResourceView(core_, resource, d);
    return handOut(v, makeImageView(*core_, *t, true, v->view), out);
  }
  auto* b = dynamic_cast<Buffer*>(resource);
  // A structured buffer needs its view described: format UNKNOWN, dimension BUFFER.
  if (!b || !desc || desc->Format != DXGI_FORMAT_UNKNOWN || desc->ViewDimension != D3D11_SRV_DIMENSION_BUFFER)
    return E_INVALIDARG;
  UINT stride = b->desc.StructureByteStride;
  UINT elements = b->desc.ByteWidth / stride;
  if (desc->Buffer.NumElements == 0 || desc->Buffer.FirstElement > elements ||
      desc->Buffer.NumElements > elements - desc->Buffer.FirstElement)
    return E_INVALIDARG;
  if (!out) return S_FALSE;
  auto* v = new ShaderResourceView(core_, resource, *desc);
  v->offset = VkDeviceSize(desc->Buffer.FirstElement) * stride;
  v->range = VkDeviceSize(desc->Buffer.NumElements) * stride;
  return handOut(v, true, out);
}

STDMETHODIMP Device::CreateUnorderedAccessView(ID3D11Resource* resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
                                               ID3D11UnorderedAccessView** out) {
  if (auto refused = refuseEarly(out, resource, "ID3D11Device::CreateUnorderedAccessView")) return *refused;
  auto* t = dynamic_cast<Texture*>(resource);
  if (!t) return resourceOf(resource) ? E_NOTIMPL : E_INVALIDARG;
  if (!(t->bindFlags & D3D11_BIND_UNORDERED_ACCESS)) return E_INVALIDARG;
  if (desc && (desc->ViewDimension != D3D11_UAV_DIMENSION_TEXTURE2D || desc->Format != t->desc.Format ||
               desc->Texture2D.MipSlice != 0))
    return E_INVALIDARG;
  if (!out) return S_FALSE;
  D3D11_UNORDERED_ACCESS_VIEW_DESC d{};
  d.Format = t->desc.Format;
  d.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2D;
  auto* v = new UnorderedAccessView(core_, resource, d);
  return handOut(v, makeImageView(*core_, *t, false, v->view), out);
}

STDMETHODIMP Device::CreateComputeShader(const void* code, SIZE_T length, ID3D11ClassLinkage* linkage,
                                         ID3D11ComputeShader** out) {
  const bool given = code && length != 0 && length % 4 == 0 && !linkage;
  if (auto refused = refuseEarly(out, given, "ID3D11Device::CreateComputeShader")) return *refused;
  ShaderInterface shape;
  std::string reason;
  if (!reflectModule(static_cast<const uint32_t*>(code), length / 4, shape, reason)) return E_INVALIDARG;
  for (const auto& b : shape.bindings)
    if (b.binding >= kUnorderedAccessEnd) return E_INVALIDARG;
  if (!out) return S_FALSE;
  auto* s = new ComputeShader(core_);
  s->shape = shape;
  auto& vk = core_->vk;
  std::vector<VkDescriptorSetLayoutBinding> bindings;
  for (const auto& b : shape.bindings) {
    static const VkDescriptorType types[] = {VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE, VK_DESCRIPTOR_TYPE_STORAGE_IMAGE,
                                             VK_DESCRIPTOR_TYPE_SAMPLER, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER,
                                             VK_DESCRIPTOR_TYPE_STORAGE_BUFFER};
    bindings.push_back({b.binding, types[static_cast<int>(b.kind)], 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr});
  }
  VkDescriptorSetLayoutCreateInfo setInfo{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
  setInfo.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
  setInfo.bindingCount = static_cast<uint32_t>(bindings.size());
  setInfo.pBindings = bindings.data();
  VkShaderModule module = VK_NULL_HANDLE;
  VkShaderModuleCreateInfo moduleInfo{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
  moduleInfo.codeSize = length;
  moduleInfo.pCode = static_cast<const uint32_t*>(code);
  bool ok = vk.vkCreateDescriptorSetLayout(core_->device, &setInfo, nullptr, &s->setLayout) == VK_SUCCESS;
  if (ok) {
    VkPipelineLayoutCreateInfo layoutInfo{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    layoutInfo.setLayoutCount = 1;
    layoutInfo.pSetLayouts = &s->setLayout;
    ok = vk.vkCreatePipelineLayout(core_->device, &layoutInfo, nullptr, &s->layout) == VK_SUCCESS;
  }
  ok = ok && vk.vkCreateShaderModule(core_->device, &moduleInfo, nullptr, &module) == VK_SUCCESS;
  if (ok) {
    VkComputePipelineCreateInfo info{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    info.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO};
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module;
    info.stage.pName = "main";
    info.layout = s->layout;
    ok = vk.vkCreateComputePipelines(core_->device, VK_NULL_HANDLE, 1, &info, nullptr, &s->pipeline) == VK_SUCCESS;
  }
  if (module) vk.vkDestroyShaderModule(core_->device, module, nullptr);
  return handOut(s, ok, out, E_INVALIDARG);
}

STDMETHODIMP Device::CreateSamplerState(const D3D11_SAMPLER_DESC* desc, ID3D11SamplerState** out) {
  if (auto refused = refuseEarly(out, desc, "ID3D11Device::CreateSamplerState")) return *refused;
  auto address = [](D3D11_TEXTURE_ADDRESS_MODE m, VkSamplerAddressMode& v) {
    switch (m) {
      case D3D11_TEXTURE_ADDRESS_WRAP: v = VK_SAMPLER_ADDRESS_MODE_REPEAT; return true;
      case D3D11_TEXTURE_ADDRESS_MIRROR: v = VK_SAMPLER_ADDRESS_MODE_MIRRORED_REPEAT; return true;
      case D3D11_TEXTURE_ADDRESS_CLAMP: v = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE; return true;
      case D3D11_TEXTURE_ADDRESS_BORDER: v = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_BORDER; return true;
      default: return false;
    }
  };
  VkSamplerCreateInfo info{VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO};
  if (desc->Filter == D3D11_FILTER_MIN_MAG_MIP_LINEAR) {
    info.magFilter = info.minFilter = VK_FILTER_LINEAR;
    info.mipmapMode = VK_SAMPLER_MIPMAP_MODE_LINEAR;
  } else if (desc->Filter == D3D11_FILTER_MIN_MAG_MIP_POINT) {
    info.magFilter = info.minFilter = VK_FILTER_NEAREST;
    info.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
  } else {
    return E_NOTIMPL;
  }
  if (!address(desc->AddressU, info.addressModeU) || !address(desc->AddressV, info.addressModeV) ||
      !address(desc->AddressW, info.addressModeW) || desc->MinLOD > desc->MaxLOD || desc->MaxAnisotropy > 16)
    return E_INVALIDARG;
  info.mipLodBias = desc->MipLODBias;
  info.minLod = desc->MinLOD;
  info.maxLod = desc->MaxLOD;
  info.borderColor = VK_BORDER_COLOR_FLOAT_TRANSPARENT_BLACK;
  if (!out) return S_FALSE;
  auto* s = new SamplerState(core_, *desc);
  return handOut(s, core_->vk.vkCreateSampler(core_->device, &info, nullptr, &s->sampler) == VK_SUCCESS, out);
}

STDMETHODIMP Device::CreateQuery(const D3D11_QUERY_DESC* desc, ID3D11Query** out) {
  if (auto refused = refuseEarly(out, desc, "ID3D11Device::CreateQuery")) return *refused;
  if (desc->Query != D3D11_QUERY_TIMESTAMP && desc->Query != D3D11_QUERY_TIMESTAMP_DISJOINT) return E_NOTIMPL;
  if (desc->MiscFlags) return E_INVALIDARG;
  if (!out) return S_FALSE;
  auto* q = new Query(core_, *desc);
  bool ok = true;
  // A device without timestamps gives the query no pool; its disjoint query says so.
  if (desc->Query == D3D11_QUERY_TIMESTAMP && core_->timestampsValid) {
    VkQueryPoolCreateInfo info{VK_STRUCTURE_TYPE_QUERY_POOL_CREATE_INFO};
    info.queryType = VK_QUERY_TYPE_TIMESTAMP;
    info.queryCount = 1;
    ok = core_->vk.vkCreateQueryPool(core_->device, &info, nullptr, &q->pool) == VK_SUCCESS;
  }
  return handOut(q, ok, out);
}

// ---- test hooks ----

void setAdapterChoice(const std::string& choice) {
  std::lock_guard lock(gChoiceMutex);
  gChoice = choice;
}

uint64_t validationMessageCount() { return gValidationMessages.load(); }

std::string firstValidationMessage() {
  std::lock_guard lock(gValidationMutex);
  return gFirstValidationMessage;
}

}  // namespace tesmira::platform::d3d11

using namespace tesmira::platform::d3d11;

extern "C" HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software,
                                            UINT flags, const D3D_FEATURE_LEVEL* featureLevels, UINT numLevels,
                                            UINT sdkVersion, ID3D11Device** device, D3D_FEATURE_LEVEL* obtainedLevel,
                                            ID3D11DeviceContext** immediateContext) {
  if (device) *device = nullptr;
  if (immediateContext) *immediateContext = nullptr;
  if (sdkVersion != D3D11_SDK_VERSION || adapter || software) return E_INVALIDARG;
  if (driverType != D3D_DRIVER_TYPE_HARDWARE) return DXGI_ERROR_UNSUPPORTED;
  if (featureLevels && numLevels == 0) return E_INVALIDARG;
  static const D3D_FEATURE_LEVEL kDefault[] = {D3D_FEATURE_LEVEL_11_0};
  if (!featureLevels) {
    featureLevels = kDefault;
    numLevels = 1;
  }
  std::optional<D3D_FEATURE_LEVEL> level;
  for (UINT i = 0; i < numLevels && !level; ++i)
    if (featureLevels[i] == D3D_FEATURE_LEVEL_11_1 || featureLevels[i] == D3D_FEATURE_LEVEL_11_0) level = featureLevels[i];
  if (!level) return DXGI_ERROR_UNSUPPORTED;
  if (auto error = tesmira::platform::faults::take("D3D11CreateDevice")) return static_cast<HRESULT>(*error);
  auto core = createCore();
  if (!core) return DXGI_ERROR_UNSUPPORTED;
  auto* d = new Device(core, *level);
  if (!d->init()) {
    d->Release();
    return DXGI_ERROR_UNSUPPORTED;
  }
  if (obtainedLevel) *obtainedLevel = *level;
  if (immediateContext) d->GetImmediateContext(immediateContext);
  if (device)
    *device = d;
  else
    d->Release();
  return S_OK;
}
