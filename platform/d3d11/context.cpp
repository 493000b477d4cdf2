// The immediate context: Direct3D's implicit hazards become barriers, work is
// recorded into one command buffer at a time and handed to the queue on Flush, on
// a query poll and when a Map must wait.
#include <cmath>
#include <cstring>

#include "core/faults.h"
#include "d3d11/device.h"
#include "d3d11/texture_fill.h"
#include "tesmira/d3d11_testing.h"

namespace tesmira::platform::d3d11 {
namespace {

std::atomic<bool> gHoldQueue{false};

// A Direct3D call that fails with an injected error; a removal sticks to the device.
std::optional<HRESULT> injectedFault(Core& core, const char* site) {
  auto error = faults::take(site);
  if (!error) return std::nullopt;
  if (static_cast<HRESULT>(*error) == DXGI_ERROR_DEVICE_REMOVED) core.removed = true;
  return static_cast<HRESULT>(*error);
}

}  // namespace

void holdQueue(bool hold) { gHoldQueue = hold; }

Context::Context(Device& device, std::shared_ptr<Core> core) : device_(device), core_(std::move(core)) {}

Context::~Context() = default;

bool Context::init() {
  VkCommandPoolCreateInfo info{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
  info.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  info.queueFamilyIndex = core_->queueFamily;
  return core_->vk.vkCreateCommandPool(core_->device, &info, nullptr, &pool_) == VK_SUCCESS;
}

void Context::shutdown() {
  auto lock = core_->lockContext();
  auto drop = [](auto& slots) {
    for (auto*& s : slots) {
      if (s) s->Release();
      s = nullptr;
    }
  };
  drop(srvs_);
  drop(samplers_);
  drop(constantBuffers_);
  drop(uavs_);
  if (shader_) shader_->Release();
  shader_ = nullptr;
  auto& vk = core_->vk;
  if (batch_) {
    vk.vkEndCommandBuffer(batch_->cmd);
    spare_.push_back(*batch_);
    batch_.reset();
  }
  vk.vkDeviceWaitIdle(core_->device);
  for (auto* list : {&held_, &inFlight_}) {
    for (auto& b : *list) spare_.push_back(b);
    list->clear();
  }
  // Nothing runs any more: objects that outlive the device are destroyed at their release.
  core_->markCompleted(UINT64_MAX);
  for (auto& b : spare_) vk.vkDestroyFence(core_->device, b.fence, nullptr);
  spare_.clear();
  if (pool_) vk.vkDestroyCommandPool(core_->device, pool_, nullptr);
  pool_ = VK_NULL_HANDLE;
}

HRESULT Context::upload(Texture& t, const uint8_t* rows, UINT pitch) {
  std::unique_lock lock(core_->contextMutex);
  if (core_->removed) return DXGI_ERROR_DEVICE_REMOVED;
  const UINT tight = t.desc.Width * t.format->bytes;
  if (!rows || !t.image || t.usage != D3D11_USAGE_DEFAULT || pitch < tight) return E_INVALIDARG;
  if (!t.host.buffer && !core_->createHostBuffer(VkDeviceSize(t.rowPitch) * t.desc.Height, 0, t.host))
    return E_OUTOFMEMORY;
  // The previous upload may still be reading the host copy.
  waitFor(t.lastUse.load(std::memory_order_acquire));
  if (core_->removed) return DXGI_ERROR_DEVICE_REMOVED;
  for (UINT y = 0; y < t.desc.Height; ++y)
    std::memcpy(t.host.data + size_t(y) * t.rowPitch, rows + size_t(y) * pitch, tight);
  VkCommandBuffer cmd = recording();
  ensureInitialized(t, cmd);
  barrier(cmd);
  VkBufferImageCopy c{};
  c.bufferRowLength = t.rowPitch / t.format->bytes;
  c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  c.imageExtent = {t.desc.Width, t.desc.Height, 1};
  core_->vk.vkCmdCopyBufferToImage(cmd, t.host.buffer, t.image, VK_IMAGE_LAYOUT_GENERAL, 1, &c);
  use(t);
  return S_OK;
}

HRESULT fillTexture(ID3D11Texture2D* texture, const uint8_t* rows, UINT pitch) {
  auto* t = texture ? dynamic_cast<Texture*>(texture) : nullptr;
  if (!t) return E_INVALIDARG;
  ID3D11Device* device = nullptr;
  t->GetDevice(&device);
  if (!device) return DXGI_ERROR_DEVICE_REMOVED;
  ID3D11DeviceContext* context = nullptr;
  device->GetImmediateContext(&context);
  const HRESULT hr = static_cast<Context*>(context)->upload(*t, rows, pitch);
  context->Release();
  device->Release();
  return hr;
}

// ---- IUnknown and ID3D11Multithread ----

STDMETHODIMP Context::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ID3D11DeviceChild || riid == IID_ID3D11DeviceContext) {
    *object = static_cast<ID3D11DeviceContext*>(this);
  } else if (riid == IID_ID3D11Multithread) {
    *object = static_cast<ID3D11Multithread*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) Context::AddRef() { return device_.AddRef(); }
STDMETHODIMP_(ULONG) Context::Release() { return device_.Release(); }

STDMETHODIMP_(void) Context::GetDevice(ID3D11Device** device) {
  device_.AddRef();
  *device = &device_;
}

STDMETHODIMP_(void) Context::Enter() { core_->contextMutex.lock(); }
STDMETHODIMP_(void) Context::Leave() { core_->contextMutex.unlock(); }
STDMETHODIMP_(BOOL) Context::SetMultithreadProtected(BOOL protect) {
  return core_->multithreadProtected.exchange(protect != FALSE) ? TRUE : FALSE;
}
STDMETHODIMP_(BOOL) Context::GetMultithreadProtected() { return core_->multithreadProtected ? TRUE : FALSE; }

// ---- recording and the queue ----

VkCommandBuffer Context::recording() {
  if (batch_) return batch_->cmd;
  auto& vk = core_->vk;
  Batch b;
  if (!spare_.empty()) {
    b = spare_.back();
    spare_.pop_back();
  } else {
    VkCommandBufferAllocateInfo info{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    info.commandPool = pool_;
    info.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    info.commandBufferCount = 1;
    vk.vkAllocateCommandBuffers(core_->device, &info, &b.cmd);
    VkFenceCreateInfo fence{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    vk.vkCreateFence(core_->device, &fence, nullptr, &b.fence);
  }
  b.serial = nextSerial_++;
  VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vk.vkBeginCommandBuffer(b.cmd, &begin);
  batch_ = b;
  return b.cmd;
}

// Every command sees the writes of every earlier one, as Direct3D's tracking guarantees.
void Context::barrier(VkCommandBuffer cmd) {
  VkMemoryBarrier b{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
  b.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
  b.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
  core_->vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 1, &b,
                                 0, nullptr, 0, nullptr);
}

// Images live in the GENERAL layout; the first use defines the contents (initial data or zeros).
void Context::ensureInitialized(Texture& t, VkCommandBuffer cmd) {
  if (!t.image || t.initialized) return;
  auto& vk = core_->vk;
  VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
  b.srcAccessMask = 0;
  b.dstAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  b.newLayout = VK_IMAGE_LAYOUT_GENERAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = t.image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vk.vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                          nullptr, 1, &b);
  if (t.hasInitialData) {
    VkBufferImageCopy c{};
    c.bufferRowLength = t.rowPitch / t.format->bytes;
    c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    c.imageExtent = {t.desc.Width, t.desc.Height, 1};
    vk.vkCmdCopyBufferToImage(cmd, t.host.buffer, t.image, VK_IMAGE_LAYOUT_GENERAL, 1, &c);
  } else {
    VkClearColorValue zero{};
    VkImageSubresourceRange range{VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vk.vkCmdClearColorImage(cmd, t.image, VK_IMAGE_LAYOUT_GENERAL, &zero, 1, &range);
  }
  t.initialized = true;
}

void Context::flush() {
  if (!batch_) return;
  auto& vk = core_->vk;
  // Read-back maps read host memory after the fence.
  VkMemoryBarrier host{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
  host.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
  host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
  vk.vkCmdPipelineBarrier(batch_->cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &host, 0,
                          nullptr, 0, nullptr);
  vk.vkEndCommandBuffer(batch_->cmd);
  Batch b = *batch_;
  batch_.reset();
  if (gHoldQueue) {
    held_.push_back(b);
    return;
  }
  submitHeld();
  submit(b);
}

void Context::submit(Batch& b) {
  if (!core_->removed) {
    VkSubmitInfo info{VK_STRUCTURE_TYPE_SUBMIT_INFO};
    info.commandBufferCount = 1;
    info.pCommandBuffers = &b.cmd;
    if (core_->vk.vkQueueSubmit(core_->queue, 1, &info, b.fence) == VK_SUCCESS) {
      inFlight_.push_back(b);
      return;
    }
    core_->removed = true;
  }
  // A removed device runs nothing: the batch counts as done so nothing waits for it.
  spare_.push_back(b);
  core_->markCompleted(b.serial);
}

void Context::submitHeld() {
  while (!held_.empty()) {
    Batch b = held_.front();
    held_.pop_front();
    submit(b);
  }
}

void Context::retire() {
  auto& vk = core_->vk;
  while (!inFlight_.empty()) {
    Batch b = inFlight_.front();
    VkResult r = vk.vkGetFenceStatus(core_->device, b.fence);
    if (r == VK_NOT_READY) break;
    if (r != VK_SUCCESS) core_->removed = true;
    vk.vkResetFences(core_->device, 1, &b.fence);
    inFlight_.pop_front();
    spare_.push_back(b);
    core_->markCompleted(b.serial);
  }
}

void Context::waitFor(uint64_t serial) {
  if (serial <= core_->completed()) return;
  if (batch_ && batch_->serial <= serial) flush();
  submitHeld();
  while (serial > core_->completed() && !inFlight_.empty()) {
    VkResult r = core_->vk.vkWaitForFences(core_->device, 1, &inFlight_.front().fence, VK_TRUE, UINT64_MAX);
    if (r != VK_SUCCESS) core_->removed = true;
    retire();
    if (core_->removed && !inFlight_.empty()) {
      for (auto& b : inFlight_) spare_.push_back(b);
      inFlight_.clear();
      core_->markCompleted(nextSerial_);
    }
  }
}

// ---- bindings ----

template <class T, size_t N, class I>
static bool bindSlots(std::array<T*, N>& slots, UINT start, UINT count, I* const* items) {
  if (start > N || count > N - start) return false;  // Direct3D ignores such a call
  for (UINT i = 0; i < count; ++i) {
    T* item = items && items[i] ? dynamic_cast<T*>(items[i]) : nullptr;
    if (item) item->AddRef();
    if (slots[start + i]) slots[start + i]->Release();
    slots[start + i] = item;
  }
  return true;
}

STDMETHODIMP_(void) Context::CSSetShaderResources(UINT start, UINT count, ID3D11ShaderResourceView* const* views) {
  auto lock = core_->lockContext();
  if (!bindSlots(srvs_, start, count, views)) return;
  // A resource bound for unordered access cannot also be read: Direct3D leaves the slot empty.
  for (UINT i = start; i < start + count; ++i) {
    if (!srvs_[i]) continue;
    for (auto* u : uavs_) {
      if (u && u->resource == srvs_[i]->resource) {
        srvs_[i]->Release();
        srvs_[i] = nullptr;
        break;
      }
    }
  }
}

STDMETHODIMP_(void) Context::CSSetUnorderedAccessViews(UINT start, UINT count, ID3D11UnorderedAccessView* const* uavs,
                                                       const UINT*) {
  auto lock = core_->lockContext();
  if (!bindSlots(uavs_, start, count, uavs)) return;
  // Binding for unordered access unbinds the resource's shader-resource views.
  for (UINT i = start; i < start + count; ++i) {
    if (!uavs_[i]) continue;
    for (auto*& s : srvs_) {
      if (s && s->resource == uavs_[i]->resource) {
        s->Release();
        s = nullptr;
      }
    }
  }
}

STDMETHODIMP_(void) Context::CSSetShader(ID3D11ComputeShader* shader, ID3D11ClassInstance* const*, UINT) {
  auto lock = core_->lockContext();
  auto* s = shader ? dynamic_cast<ComputeShader*>(shader) : nullptr;
  if (s) s->AddRef();
  if (shader_) shader_->Release();
  shader_ = s;
}

STDMETHODIMP_(void) Context::CSSetSamplers(UINT start, UINT count, ID3D11SamplerState* const* samplers) {
  auto lock = core_->lockContext();
  bindSlots(samplers_, start, count, samplers);
}

STDMETHODIMP_(void) Context::CSSetConstantBuffers(UINT start, UINT count, ID3D11Buffer* const* buffers) {
  auto lock = core_->lockContext();
  bindSlots(constantBuffers_, start, count, buffers);
}

// ---- work ----

STDMETHODIMP_(void) Context::Dispatch(UINT x, UINT y, UINT z) {
  auto lock = core_->lockContext();
  if (!shader_ || core_->removed || x == 0 || y == 0 || z == 0) return;
  // More groups than Direct3D allows is an invalid call there and undefined in Vulkan: dropped.
  const UINT limit = D3D11_CS_DISPATCH_MAX_THREAD_GROUPS_PER_DIMENSION;
  if (x > limit || y > limit || z > limit) return;

  auto& fb = device_.fallbacks;
  const auto& bindings = shader_->shape.bindings;
  std::vector<VkWriteDescriptorSet> writes;
  std::vector<VkDescriptorImageInfo> images;
  std::vector<VkDescriptorBufferInfo> buffers;
  std::vector<ResourceBase*> used;
  std::vector<Texture*> textures;
  std::vector<SamplerState*> samplers;
  writes.reserve(bindings.size());
  images.reserve(bindings.size());
  buffers.reserve(bindings.size());
  for (const auto& b : bindings) {
    VkWriteDescriptorSet w{VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    w.dstBinding = b.binding;
    w.descriptorCount = 1;
    switch (b.kind) {
      case DescriptorKind::UniformBuffer: {
        UINT slot = b.binding - kConstantBufferBase;
        Buffer* buffer = slot < constantBuffers_.size() && constantBuffers_[slot] ? constantBuffers_[slot] : fb.constants;
        buffers.push_back({buffer->host.buffer, 0, buffer->desc.ByteWidth});
        w.descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
        w.pBufferInfo = &buffers.back();
        used.push_back(buffer);
        break;
      }
      case DescriptorKind::Sampler: {
        UINT slot = b.binding - kSamplerBase;
        SamplerState* s = slot < samplers_.size() && samplers_[slot] ? samplers_[slot] : fb.sampler;
        images.push_back({s->sampler, VK_NULL_HANDLE, VK_IMAGE_LAYOUT_UNDEFINED});
        w.descriptorType = VK_DESCRIPTOR_TYPE_SAMPLER;
        w.pImageInfo = &images.back();
        samplers.push_back(s);
        break;
      }
      case DescriptorKind::SampledImage: {
        UINT slot = b.binding - kShaderResourceBase;
        ShaderResourceView* v = slot < srvs_.size() ? srvs_[slot] : nullptr;
        if (!v || !v->texture) v = fb.srv;
        images.push_back({VK_NULL_HANDLE, v->view, VK_IMAGE_LAYOUT_GENERAL});
        w.descriptorType = VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
        w.pImageInfo = &images.back();
        textures.push_back(v->texture);
        break;
      }
      case DescriptorKind::StorageBuffer: {
        UINT slot = b.binding - kShaderResourceBase;
        ShaderResourceView* v = slot < srvs_.size() ? srvs_[slot] : nullptr;
        if (v && v->buffer) {
          buffers.push_back({v->buffer->host.buffer, v->offset, v->range});
          used.push_back(v->buffer);
        } else {
          buffers.push_back({fb.structured->host.buffer, 0, VK_WHOLE_SIZE});
          used.push_back(fb.structured);
        }
        w.descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        w.pBufferInfo = &buffers.back();
        break;
      }
      case DescriptorKind::StorageImage: {
        UINT slot = b.binding - kUnorderedAccessBase;
        UnorderedAccessView* v = slot < uavs_.size() && uavs_[slot] ? uavs_[slot] : fb.uav;
        images.push_back({VK_NULL_HANDLE, v->view, VK_IMAGE_LAYOUT_GENERAL});
        w.descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
        w.pImageInfo = &images.back();
        textures.push_back(v->texture);
        break;
      }
    }
    writes.push_back(w);
  }
  VkCommandBuffer cmd = recording();
  for (Texture* t : textures) ensureInitialized(*t, cmd);
  barrier(cmd);
  auto& vk = core_->vk;
  vk.vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, shader_->pipeline);
  if (!writes.empty())
    vk.vkCmdPushDescriptorSetKHR(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, shader_->layout, 0,
                                 static_cast<uint32_t>(writes.size()), writes.data());
  vk.vkCmdDispatch(cmd, x, y, z);
  for (ResourceBase* r : used) use(*r);
  for (Texture* t : textures) use(*t);
  for (SamplerState* s : samplers) s->lastUse = batch_->serial;
  shader_->lastUse = batch_->serial;
}

STDMETHODIMP Context::Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP type, UINT flags,
                          D3D11_MAPPED_SUBRESOURCE* mapped) {
  auto lock = core_->lockContext();
  if (mapped) *mapped = {};
  if (auto error = injectedFault(*core_, "ID3D11DeviceContext::Map")) return *error;
  if (core_->removed) return DXGI_ERROR_DEVICE_REMOVED;
  ResourceBase* r = resource ? resourceOf(resource) : nullptr;
  if (!r || !mapped || subresource != 0 || r->mapped) return E_INVALIDARG;
  auto* texture = dynamic_cast<Texture*>(resource);
  switch (type) {
    case D3D11_MAP_READ:
    case D3D11_MAP_WRITE:
    case D3D11_MAP_READ_WRITE: {
      bool read = type != D3D11_MAP_WRITE, write = type != D3D11_MAP_READ;
      if (r->usage != D3D11_USAGE_STAGING) return E_INVALIDARG;
      if ((read && !(r->cpuAccess & D3D11_CPU_ACCESS_READ)) || (write && !(r->cpuAccess & D3D11_CPU_ACCESS_WRITE)))
        return E_INVALIDARG;
      break;
    }
    case D3D11_MAP_WRITE_DISCARD:
      if (r->usage != D3D11_USAGE_DYNAMIC) return E_INVALIDARG;
      break;
    case D3D11_MAP_WRITE_NO_OVERWRITE:
      if (r->usage != D3D11_USAGE_DYNAMIC || texture) return E_INVALIDARG;
      break;
    default:
      return E_INVALIDARG;
  }
  // Direct3D's waits: the CPU never touches memory that recorded work still reads or writes.
  uint64_t last = r->lastUse.load(std::memory_order_acquire);
  if (type != D3D11_MAP_WRITE_NO_OVERWRITE && last > core_->completed()) {
    if (flags & D3D11_MAP_FLAG_DO_NOT_WAIT) {
      flush();
      retire();
      if (last > core_->completed()) return DXGI_ERROR_WAS_STILL_DRAWING;
    }
    waitFor(last);
    if (core_->removed) return DXGI_ERROR_DEVICE_REMOVED;
  }
  if (texture) {
    mapped->pData = texture->host.data;
    mapped->RowPitch = texture->rowPitch;
    mapped->DepthPitch = texture->rowPitch * texture->desc.Height;
  } else {
    auto* buffer = static_cast<Buffer*>(r);
    mapped->pData = buffer->host.data;
    mapped->RowPitch = mapped->DepthPitch = buffer->desc.ByteWidth;
  }
  r->mapped = true;
  return S_OK;
}

STDMETHODIMP_(void) Context::Unmap(ID3D11Resource* resource, UINT subresource) {
  auto lock = core_->lockContext();
  ResourceBase* r = resource ? resourceOf(resource) : nullptr;
  if (!r || !r->mapped || subresource != 0) return;
  r->mapped = false;
  auto* t = dynamic_cast<Texture*>(resource);
  if (!t || t->usage != D3D11_USAGE_DYNAMIC || core_->removed) return;
  VkCommandBuffer cmd = recording();
  ensureInitialized(*t, cmd);
  barrier(cmd);
  VkBufferImageCopy c{};
  c.bufferRowLength = t->rowPitch / t->format->bytes;
  c.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  c.imageExtent = {t->desc.Width, t->desc.Height, 1};
  core_->vk.vkCmdCopyBufferToImage(cmd, t->host.buffer, t->image, VK_IMAGE_LAYOUT_GENERAL, 1, &c);
  use(*t);
}

bool Context::copyTextureRegion(Texture& dst, UINT dx, UINT dy, Texture& src, UINT sx, UINT sy, UINT w, UINT h) {
  if (&dst == &src || dst.usage == D3D11_USAGE_IMMUTABLE || dst.desc.Format != src.desc.Format || core_->removed)
    return false;
  VkCommandBuffer cmd = recording();
  ensureInitialized(dst, cmd);
  ensureInitialized(src, cmd);
  barrier(cmd);
  auto& vk = core_->vk;
  const UINT bytes = src.format->bytes;
  const VkImageSubresourceLayers layers{VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  if (src.image && dst.image) {
    VkImageCopy c{layers, {int32_t(sx), int32_t(sy), 0}, layers, {int32_t(dx), int32_t(dy), 0}, {w, h, 1}};
    vk.vkCmdCopyImage(cmd, src.image, VK_IMAGE_LAYOUT_GENERAL, dst.image, VK_IMAGE_LAYOUT_GENERAL, 1, &c);
  } else if (src.image) {
    VkBufferImageCopy c{VkDeviceSize(dy) * dst.rowPitch + VkDeviceSize(dx) * bytes, dst.rowPitch / bytes, 0, layers,
                        {int32_t(sx), int32_t(sy), 0}, {w, h, 1}};
    vk.vkCmdCopyImageToBuffer(cmd, src.image, VK_IMAGE_LAYOUT_GENERAL, dst.host.buffer, 1, &c);
  } else if (dst.image) {
    VkBufferImageCopy c{VkDeviceSize(sy) * src.rowPitch + VkDeviceSize(sx) * bytes, src.rowPitch / bytes, 0, layers,
                        {int32_t(dx), int32_t(dy), 0}, {w, h, 1}};
    vk.vkCmdCopyBufferToImage(cmd, src.host.buffer, dst.image, VK_IMAGE_LAYOUT_GENERAL, 1, &c);
  } else {
    std::vector<VkBufferCopy> rows(h);
    for (UINT i = 0; i < h; ++i)
      rows[i] = {VkDeviceSize(sy + i) * src.rowPitch + VkDeviceSize(sx) * bytes,
                 VkDeviceSize(dy + i) * dst.rowPitch + VkDeviceSize(dx) * bytes, VkDeviceSize(w) * bytes};
    vk.vkCmdCopyBuffer(cmd, src.host.buffer, dst.host.buffer, h, rows.data());
  }
  use(src);
  use(dst);
  return true;
}

STDMETHODIMP_(void) Context::CopyResource(ID3D11Resource* dst, ID3D11Resource* src) {
  auto lock = core_->lockContext();
  auto* dt = dynamic_cast<Texture*>(dst);
  auto* st = dynamic_cast<Texture*>(src);
  if (dt && st) {
    if (dt->desc.Width == st->desc.Width && dt->desc.Height == st->desc.Height)
      copyTextureRegion(*dt, 0, 0, *st, 0, 0, st->desc.Width, st->desc.Height);
    return;
  }
  auto* db = dynamic_cast<Buffer*>(dst);
  auto* sb = dynamic_cast<Buffer*>(src);
  if (!db || !sb || db == sb || db->desc.ByteWidth != sb->desc.ByteWidth || db->usage == D3D11_USAGE_IMMUTABLE ||
      core_->removed)
    return;
  VkCommandBuffer cmd = recording();
  barrier(cmd);
  VkBufferCopy c{0, 0, sb->desc.ByteWidth};
  core_->vk.vkCmdCopyBuffer(cmd, sb->host.buffer, db->host.buffer, 1, &c);
  use(*sb);
  use(*db);
}

STDMETHODIMP_(void) Context::CopySubresourceRegion(ID3D11Resource* dst, UINT dstSubresource, UINT dstX, UINT dstY,
                                                   UINT dstZ, ID3D11Resource* src, UINT srcSubresource,
                                                   const D3D11_BOX* box) {
  auto lock = core_->lockContext();
  auto* dt = dynamic_cast<Texture*>(dst);
  auto* st = dynamic_cast<Texture*>(src);
  // A region outside either texture is invalid in Direct3D and undefined in Vulkan: dropped.
  if (!dt || !st || dstSubresource != 0 || srcSubresource != 0 || dstZ != 0) return;
  D3D11_BOX b{0, 0, 0, st->desc.Width, st->desc.Height, 1};
  if (box) {
    b = *box;
    if (b.left >= b.right || b.top >= b.bottom || b.front >= b.back) return;  // empty: nothing to copy
    if (b.right > st->desc.Width || b.bottom > st->desc.Height || b.front != 0 || b.back != 1) return;
  }
  UINT w = b.right - b.left, h = b.bottom - b.top;
  if (dstX > dt->desc.Width || w > dt->desc.Width - dstX || dstY > dt->desc.Height || h > dt->desc.Height - dstY)
    return;
  copyTextureRegion(*dt, dstX, dstY, *st, b.left, b.top, w, h);
}

// ---- queries ----

STDMETHODIMP_(void) Context::Begin(ID3D11Asynchronous*) {
  // Timestamps have no Begin; a disjoint query's span is all work up to its End.
}

STDMETHODIMP_(void) Context::End(ID3D11Asynchronous* async) {
  auto lock = core_->lockContext();
  auto* q = async ? dynamic_cast<Query*>(async) : nullptr;
  if (!q) return;
  VkCommandBuffer cmd = recording();
  if (q->pool) {
    core_->vk.vkCmdResetQueryPool(cmd, q->pool, 0, 1);
    core_->vk.vkCmdWriteTimestamp(cmd, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, q->pool, 0);
  }
  q->endSerial = batch_->serial;
  q->lastUse = batch_->serial;
}

STDMETHODIMP Context::GetData(ID3D11Asynchronous* async, void* data, UINT size, UINT flags) {
  auto lock = core_->lockContext();
  if (auto error = injectedFault(*core_, "ID3D11DeviceContext::GetData")) return *error;
  if (core_->removed) return DXGI_ERROR_DEVICE_REMOVED;
  auto* q = async ? dynamic_cast<Query*>(async) : nullptr;
  if (!q || (data && size != q->GetDataSize())) return E_INVALIDARG;
  if (q->endSerial == 0) return DXGI_ERROR_INVALID_CALL;
  if (q->endSerial > core_->completed()) {
    // Recorded work is handed over first, so polling always ends.
    if (!(flags & D3D11_ASYNC_GETDATA_DONOTFLUSH) && batch_ && batch_->serial <= q->endSerial) flush();
    if (!gHoldQueue) submitHeld();
    retire();
    if (core_->removed) return DXGI_ERROR_DEVICE_REMOVED;
    if (q->endSerial > core_->completed()) return S_FALSE;
  }
  if (!data) return S_OK;
  if (q->desc.Query == D3D11_QUERY_TIMESTAMP) {
    UINT64 ticks = 0;
    if (q->pool)
      core_->vk.vkGetQueryPoolResults(core_->device, q->pool, 0, 1, sizeof ticks, &ticks, sizeof ticks,
                                      VK_QUERY_RESULT_64_BIT);
    std::memcpy(data, &ticks, sizeof ticks);
  } else {
    D3D11_QUERY_DATA_TIMESTAMP_DISJOINT d{};
    double period = core_->properties.limits.timestampPeriod;  // nanoseconds per tick
    d.Frequency = period > 0 ? static_cast<UINT64>(std::llround(1e9 / period)) : 0;
    d.Disjoint = core_->timestampsValid ? FALSE : TRUE;
    std::memcpy(data, &d, sizeof d);
  }
  return S_OK;
}

STDMETHODIMP_(void) Context::Flush() {
  auto lock = core_->lockContext();
  flush();
  retire();
}

}  // namespace tesmira::platform::d3d11
