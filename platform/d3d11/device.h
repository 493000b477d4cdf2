#pragma once
// Direct3D 11 on Vulkan: the objects behind the interfaces and the state they share.
#include <d3d11.h>
#include <d3d11_4.h>

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "d3d11/spirv.h"
#include "d3d11/vulkan_api.h"

namespace tesmira::platform::d3d11 {

class Device;

// A host-visible, coherent, persistently mapped Vulkan buffer.
struct HostBuffer {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  uint8_t* data = nullptr;
  VkDeviceSize size = 0;
};

// The Vulkan instance and device, shared by the Direct3D device and every object it made,
// so an object may outlive the device's last reference.
struct Core {
  VulkanInstanceApi vki;
  VulkanDeviceApi vk;
  VkInstance instance = VK_NULL_HANDLE;  // the process's; never destroyed with the device
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  uint32_t queueFamily = 0;
  VkPhysicalDeviceProperties properties{};
  VkPhysicalDeviceMemoryProperties memory{};
  bool timestampsValid = false;

  // ID3D11Multithread: one state for the device and its immediate context.
  std::recursive_mutex contextMutex;
  std::atomic<bool> multithreadProtected{false};
  std::atomic<bool> removed{false};
  std::atomic<Device*> owner{nullptr};

  ~Core();

  // Takes the device lock for an immediate-context call when protection is on.
  std::unique_lock<std::recursive_mutex> lockContext() {
    if (!multithreadProtected.load(std::memory_order_acquire)) return {};
    return std::unique_lock(contextMutex);
  }

  // Runs fn once the batch numbered `serial` has finished on the GPU (at once when it has).
  void retireLater(uint64_t serial, std::function<void()> fn);
  void markCompleted(uint64_t serial);
  uint64_t completed() const { return completed_.load(std::memory_order_acquire); }

  bool allocate(const VkMemoryRequirements& requirements, bool hostVisible, VkDeviceMemory& out);
  bool createHostBuffer(VkDeviceSize size, VkBufferUsageFlags usage, HostBuffer& out);
  void destroyHostBuffer(HostBuffer& buffer);

 private:
  std::mutex retireMutex_;
  std::atomic<uint64_t> completed_{0};
  std::vector<std::pair<uint64_t, std::function<void()>>> deferred_;
};

// Reference counting and QueryInterface for one interface chain.
template <class I>
class Unknown : public I {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Unknown() = default;
  // Answers riid when it is one of iids, with this object as I.
  HRESULT answer(REFIID riid, void** object, std::initializer_list<const IID*> iids) {
    if (!object) return E_POINTER;
    for (const IID* iid : iids) {
      if (riid == *iid) {
        *object = static_cast<I*>(this);
        AddRef();
        return S_OK;
      }
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// A device child: answers GetDevice while the device lives.
template <class I>
class Child : public Unknown<I> {
 public:
  explicit Child(std::shared_ptr<Core> core) : core_(std::move(core)) {}
  STDMETHODIMP_(void) GetDevice(ID3D11Device** device) override;
  Core& core() { return *core_; }

 protected:
  std::shared_ptr<Core> core_;
};

// What textures and buffers share: the batch that last used them.
class ResourceBase {
 public:
  virtual ~ResourceBase() = default;
  std::atomic<uint64_t> lastUse{0};
  D3D11_USAGE usage = D3D11_USAGE_DEFAULT;
  UINT bindFlags = 0;
  UINT cpuAccess = 0;
  bool mapped = false;
};

struct FormatInfo {
  DXGI_FORMAT format;
  VkFormat vkFormat;
  UINT bytes;
  bool opaqueAlpha;  // read with alpha 1 (B8G8R8X8)
};
const FormatInfo* formatInfo(DXGI_FORMAT format);

class Texture final : public Child<ID3D11Texture2D>, public ResourceBase {
 public:
  Texture(std::shared_ptr<Core> core, const D3D11_TEXTURE2D_DESC& desc) : Child(std::move(core)), desc(desc) {}
  ~Texture() override;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object, {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11Resource, &IID_ID3D11Texture2D});
  }
  STDMETHODIMP_(void) GetType(D3D11_RESOURCE_DIMENSION* d) override { *d = D3D11_RESOURCE_DIMENSION_TEXTURE2D; }
  STDMETHODIMP_(void) GetDesc(D3D11_TEXTURE2D_DESC* d) override { *d = desc; }

  D3D11_TEXTURE2D_DESC desc;
  const FormatInfo* format = nullptr;
  VkImage image = VK_NULL_HANDLE;  // none for STAGING
  VkDeviceMemory imageMemory = VK_NULL_HANDLE;
  HostBuffer host;  // STAGING storage, DYNAMIC uploads, initial data
  UINT rowPitch = 0;
  bool initialized = false;  // layout set and contents defined (immediate context only)
  bool hasInitialData = false;
};

class Buffer final : public Child<ID3D11Buffer>, public ResourceBase {
 public:
  Buffer(std::shared_ptr<Core> core, const D3D11_BUFFER_DESC& desc) : Child(std::move(core)), desc(desc) {}
  ~Buffer() override;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object, {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11Resource, &IID_ID3D11Buffer});
  }
  STDMETHODIMP_(void) GetType(D3D11_RESOURCE_DIMENSION* d) override { *d = D3D11_RESOURCE_DIMENSION_BUFFER; }
  STDMETHODIMP_(void) GetDesc(D3D11_BUFFER_DESC* d) override { *d = desc; }

  D3D11_BUFFER_DESC desc;
  HostBuffer host;
};

// The resource a view or binding names, as the layer's own object.
ResourceBase* resourceOf(ID3D11Resource* resource);

template <class I, class Desc>
class View : public Child<I> {
 public:
  View(std::shared_ptr<Core> core, ID3D11Resource* resource, const Desc& desc)
      : Child<I>(std::move(core)), resource(resource), desc(desc) {
    resource->AddRef();
    texture = dynamic_cast<Texture*>(resource);
    buffer = dynamic_cast<Buffer*>(resource);
  }
  ~View() override;
  STDMETHODIMP_(void) GetResource(ID3D11Resource** out) override {
    resource->AddRef();
    *out = resource;
  }
  STDMETHODIMP_(void) GetDesc(Desc* out) override { *out = desc; }
  ResourceBase* base() { return texture ? static_cast<ResourceBase*>(texture) : buffer; }

  ID3D11Resource* resource;
  Desc desc;
  Texture* texture = nullptr;
  Buffer* buffer = nullptr;
  VkImageView view = VK_NULL_HANDLE;
  VkDeviceSize offset = 0, range = 0;  // structured buffer views
};

class ShaderResourceView final : public View<ID3D11ShaderResourceView, D3D11_SHADER_RESOURCE_VIEW_DESC> {
 public:
  using View::View;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object,
                  {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11View, &IID_ID3D11ShaderResourceView});
  }
};

class UnorderedAccessView final : public View<ID3D11UnorderedAccessView, D3D11_UNORDERED_ACCESS_VIEW_DESC> {
 public:
  using View::View;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object,
                  {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11View, &IID_ID3D11UnorderedAccessView});
  }
};

class SamplerState final : public Child<ID3D11SamplerState> {
 public:
  SamplerState(std::shared_ptr<Core> core, const D3D11_SAMPLER_DESC& desc) : Child(std::move(core)), desc(desc) {}
  ~SamplerState() override;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object, {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11SamplerState});
  }
  STDMETHODIMP_(void) GetDesc(D3D11_SAMPLER_DESC* d) override { *d = desc; }
  D3D11_SAMPLER_DESC desc;
  VkSampler sampler = VK_NULL_HANDLE;
  std::atomic<uint64_t> lastUse{0};
};

class ComputeShader final : public Child<ID3D11ComputeShader> {
 public:
  using Child::Child;
  ~ComputeShader() override;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object, {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11ComputeShader});
  }
  ShaderInterface shape;
  VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
  VkPipelineLayout layout = VK_NULL_HANDLE;
  VkPipeline pipeline = VK_NULL_HANDLE;
  std::atomic<uint64_t> lastUse{0};
};

class Query final : public Child<ID3D11Query> {
 public:
  Query(std::shared_ptr<Core> core, const D3D11_QUERY_DESC& desc) : Child(std::move(core)), desc(desc) {}
  ~Query() override;
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    return answer(riid, object, {&IID_IUnknown, &IID_ID3D11DeviceChild, &IID_ID3D11Asynchronous, &IID_ID3D11Query});
  }
  STDMETHODIMP_(UINT) GetDataSize() override {
    return desc.Query == D3D11_QUERY_TIMESTAMP ? sizeof(UINT64) : sizeof(D3D11_QUERY_DATA_TIMESTAMP_DISJOINT);
  }
  STDMETHODIMP_(void) GetDesc(D3D11_QUERY_DESC* d) override { *d = desc; }
  D3D11_QUERY_DESC desc;
  VkQueryPool pool = VK_NULL_HANDLE;
  uint64_t endSerial = 0;  // 0: never ended
  std::atomic<uint64_t> lastUse{0};
};

// The immediate context: bindings, command recording and the queue.
class Context final : public ID3D11DeviceContext, public ID3D11Multithread {
 public:
  Context(Device& device, std::shared_ptr<Core> core);
  ~Context();
  bool init();
  void shutdown();  // waits for the GPU and drops every binding
  // Writes a DEFAULT texture's contents from rows of `pitch` bytes, holding the device
  // lock whatever the multithread protection (a reader thread fills camera textures).
  HRESULT upload(Texture& texture, const uint8_t* rows, UINT pitch);

  // IUnknown: one reference count with the device.
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP_(void) GetDevice(ID3D11Device** device) override;

  STDMETHODIMP_(void) CSSetShaderResources(UINT start, UINT count, ID3D11ShaderResourceView* const* views) override;
  STDMETHODIMP_(void) CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView* const* uavs,
                                                const UINT* initialCounts) override;
  STDMETHODIMP_(void) CSSetShader(ID3D11ComputeShader* shader, ID3D11ClassInstance* const* instances,
                                  UINT count) override;
  STDMETHODIMP_(void) CSSetSamplers(UINT start, UINT count, ID3D11SamplerState* const* samplers) override;
  STDMETHODIMP_(void) CSSetConstantBuffers(UINT start, UINT count, ID3D11Buffer* const* buffers) override;
  STDMETHODIMP_(void) Dispatch(UINT x, UINT y, UINT z) override;
  STDMETHODIMP Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP type, UINT flags,
                   D3D11_MAPPED_SUBRESOURCE* mapped) override;
  STDMETHODIMP_(void) Unmap(ID3D11Resource* resource, UINT subresource) override;
  STDMETHODIMP_(void) CopySubresourceRegion(ID3D11Resource* dst, UINT dstSubresource, UINT dstX, UINT dstY, UINT dstZ,
                                            ID3D11Resource* src, UINT srcSubresource, const D3D11_BOX* box) override;
  STDMETHODIMP_(void) CopyResource(ID3D11Resource* dst, ID3D11Resource* src) override;
  STDMETHODIMP_(void) Begin(ID3D11Asynchronous* async) override;
  STDMETHODIMP_(void) End(ID3D11Asynchronous* async) override;
  STDMETHODIMP GetData(ID3D11Asynchronous* async, void* data, UINT size, UINT flags) override;
  STDMETHODIMP_(void) Flush() override;

  STDMETHODIMP_(void) Enter() override;
  STDMETHODIMP_(void) Leave() override;
  STDMETHODIMP_(BOOL) SetMultithreadProtected(BOOL protect) override;
  STDMETHODIMP_(BOOL) GetMultithreadProtected() override;

 private:
  struct Batch {
    uint64_t serial = 0;
    VkCommandBuffer cmd = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
  };
  VkCommandBuffer recording();
  void barrier(VkCommandBuffer cmd);
  void ensureInitialized(Texture& texture, VkCommandBuffer cmd);
  void use(ResourceBase& resource) { resource.lastUse.store(batch_->serial, std::memory_order_release); }
  void flush();
  void submit(Batch& batch);
  void submitHeld();
  void retire();
  void waitFor(uint64_t serial);
  bool copyTextureRegion(Texture& dst, UINT dx, UINT dy, Texture& src, UINT sx, UINT sy, UINT w, UINT h);
  template <class T, size_t N>
  void bind(std::array<T*, N>& slots, UINT start, UINT count, T* const* items);

  Device& device_;
  std::shared_ptr<Core> core_;
  VkCommandPool pool_ = VK_NULL_HANDLE;
  std::optional<Batch> batch_;
  std::deque<Batch> held_, inFlight_;
  std::vector<Batch> spare_;
  uint64_t nextSerial_ = 1;

  ComputeShader* shader_ = nullptr;
  std::array<ShaderResourceView*, D3D11_COMMONSHADER_INPUT_RESOURCE_SLOT_COUNT> srvs_{};
  std::array<SamplerState*, D3D11_COMMONSHADER_SAMPLER_SLOT_COUNT> samplers_{};
  std::array<Buffer*, D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT> constantBuffers_{};
  std::array<UnorderedAccessView*, D3D11_1_UAV_SLOT_COUNT> uavs_{};
};

class Device final : public ID3D11Device, public IDXGIDevice, public ID3D11Multithread {
 public:
  explicit Device(std::shared_ptr<Core> core, D3D_FEATURE_LEVEL level);
  ~Device();
  bool init();

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP CreateBuffer(const D3D11_BUFFER_DESC* desc, const D3D11_SUBRESOURCE_DATA* data,
                            ID3D11Buffer** buffer) override;
  STDMETHODIMP CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* data,
                               ID3D11Texture2D** texture) override;
  STDMETHODIMP CreateShaderResourceView(ID3D11Resource* resource, const D3D11_SHADER_RESOURCE_VIEW_DESC* desc,
                                        ID3D11ShaderResourceView** view) override;
  STDMETHODIMP CreateUnorderedAccessView(ID3D11Resource* resource, const D3D11_UNORDERED_ACCESS_VIEW_DESC* desc,
                                         ID3D11UnorderedAccessView** view) override;
  STDMETHODIMP CreateComputeShader(const void* code, SIZE_T length, ID3D11ClassLinkage* linkage,
                                   ID3D11ComputeShader** shader) override;
  STDMETHODIMP CreateSamplerState(const D3D11_SAMPLER_DESC* desc, ID3D11SamplerState** sampler) override;
  STDMETHODIMP CreateQuery(const D3D11_QUERY_DESC* desc, ID3D11Query** query) override;
  STDMETHODIMP_(D3D_FEATURE_LEVEL) GetFeatureLevel() override { return level_; }
  STDMETHODIMP GetDeviceRemovedReason() override;
  STDMETHODIMP_(void) GetImmediateContext(ID3D11DeviceContext** context) override;

  STDMETHODIMP GetParent(REFIID riid, void** parent) override;
  STDMETHODIMP GetAdapter(IDXGIAdapter** adapter) override;

  STDMETHODIMP_(void) Enter() override;
  STDMETHODIMP_(void) Leave() override;
  STDMETHODIMP_(BOOL) SetMultithreadProtected(BOOL protect) override;
  STDMETHODIMP_(BOOL) GetMultithreadProtected() override;

  // Stand-ins for slots a kernel declares and the program left empty.
  struct Fallbacks {
    ID3D11Texture2D* texture = nullptr;
    ShaderResourceView* srv = nullptr;
    UnorderedAccessView* uav = nullptr;
    Buffer* constants = nullptr;
    Buffer* structured = nullptr;
    SamplerState* sampler = nullptr;
  } fallbacks;

 private:
  std::atomic<ULONG> refs_{1};
  std::shared_ptr<Core> core_;
  D3D_FEATURE_LEVEL level_;
  Context context_;
};

}  // namespace tesmira::platform::d3d11
