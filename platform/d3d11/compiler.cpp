// D3DCompile on shaderc's HLSL front end. The code blob is SPIR-V whose storage
// images carry no format, so Direct3D's rule holds that a unordered-access view of
// any format can take a kernel's writes.
#include <d3dcompiler.h>
#include <shaderc/shaderc.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "core/faults.h"
#include "d3d11/blob.h"
#include "d3d11/spirv.h"
#include "tesmira/d3d11_testing.h"

namespace tesmira::platform::d3d11 {
namespace {

class Blob final : public ID3DBlob {
 public:
  explicit Blob(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ID3D10Blob) {
      *object = static_cast<ID3DBlob*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP_(LPVOID) GetBufferPointer() override { return bytes_.data(); }
  STDMETHODIMP_(SIZE_T) GetBufferSize() override { return bytes_.size(); }

 private:
  ~Blob() = default;
  std::atomic<ULONG> refs_{1};
  std::vector<uint8_t> bytes_;
};

shaderc_compile_options_t makeOptions(LPCSTR entryPoint) {
  shaderc_compile_options_t options = shaderc_compile_options_initialize();
  shaderc_compile_options_set_source_language(options, shaderc_source_language_hlsl);
  shaderc_compile_options_set_target_env(options, shaderc_target_env_vulkan, shaderc_env_version_vulkan_1_1);
  shaderc_compile_options_set_optimization_level(options, shaderc_optimization_level_performance);
  shaderc_compile_options_set_hlsl_io_mapping(options, true);
  // Direct3D's constant-buffer packing, so host structs match the kernels' offsets.
  shaderc_compile_options_set_hlsl_offsets(options, true);
  // Direct3D's min, max and saturate return the number beside a NaN (saturate(NaN) = 0).
  shaderc_compile_options_set_nan_clamp(options, true);
  shaderc_compile_options_set_binding_base(options, shaderc_uniform_kind_buffer, kConstantBufferBase);
  shaderc_compile_options_set_binding_base(options, shaderc_uniform_kind_sampler, kSamplerBase);
  shaderc_compile_options_set_binding_base(options, shaderc_uniform_kind_texture, kShaderResourceBase);
  shaderc_compile_options_set_binding_base(options, shaderc_uniform_kind_storage_buffer, kShaderResourceBase);
  shaderc_compile_options_set_binding_base(options, shaderc_uniform_kind_image, kUnorderedAccessBase);
  shaderc_compile_options_set_binding_base(options, shaderc_uniform_kind_unordered_access_view, kUnorderedAccessBase);
  return options;
}

HRESULT fail(ID3DBlob** errorMsgs, const std::string& text) {
  if (errorMsgs) *errorMsgs = makeTextBlob(text);
  return E_FAIL;
}

}  // namespace

ID3DBlob* makeBlob(const void* data, size_t bytes) {
  const auto* p = static_cast<const uint8_t*>(data);
  return new Blob(std::vector<uint8_t>(p, p + bytes));
}

ID3DBlob* makeTextBlob(const std::string& text) { return makeBlob(text.c_str(), text.size() + 1); }

bool codeReadsStorageImage(const void* code, size_t bytes) {
  ShaderInterface shader;
  std::string error;
  return reflectModule(static_cast<const uint32_t*>(code), bytes / 4, shader, error) && shader.readsStorageImage;
}

}  // namespace tesmira::platform::d3d11

using namespace tesmira::platform::d3d11;

extern "C" HRESULT WINAPI D3DCompile(LPCVOID srcData, SIZE_T srcDataSize, LPCSTR sourceName,
                                     const D3D_SHADER_MACRO* defines, ID3DInclude* include, LPCSTR entryPoint,
                                     LPCSTR target, UINT flags1, UINT flags2, ID3DBlob** code, ID3DBlob** errorMsgs) {
  if (code) *code = nullptr;
  if (errorMsgs) *errorMsgs = nullptr;
  if (!srcData || !entryPoint || !target || !code) return E_INVALIDARG;
  if ((defines && defines[0].Name) || include) return E_NOTIMPL;
  if (auto injected = tesmira::platform::faults::take("D3DCompile")) return static_cast<HRESULT>(*injected);
  if (std::strcmp(target, "cs_5_0") != 0)
    return fail(errorMsgs, std::string("error X3501: target '") + target + "' is not supported; only cs_5_0 is\n");

  shaderc_compiler_t compiler = shaderc_compiler_initialize();
  shaderc_compile_options_t options = makeOptions(entryPoint);
  shaderc_compilation_result_t result =
      shaderc_compile_into_spv(compiler, static_cast<const char*>(srcData), srcDataSize, shaderc_compute_shader,
                               sourceName && *sourceName ? sourceName : "source", entryPoint, options);
  HRESULT hr = S_OK;
  if (shaderc_result_get_compilation_status(result) != shaderc_compilation_status_success) {
    hr = fail(errorMsgs, shaderc_result_get_error_message(result));
  } else {
    const auto* bytes = reinterpret_cast<const uint32_t*>(shaderc_result_get_bytes(result));
    std::vector<uint32_t> words(bytes, bytes + shaderc_result_get_length(result) / 4);
    std::string error;
    if (!rewriteStorageImageFormats(words, error)) {
      hr = fail(errorMsgs, error + "\n");
    } else {
      *code = makeBlob(words.data(), words.size() * 4);
      std::string warnings = shaderc_result_get_num_warnings(result) ? shaderc_result_get_error_message(result) : "";
      if (errorMsgs && !warnings.empty()) *errorMsgs = makeTextBlob(warnings);
    }
  }
  shaderc_result_release(result);
  shaderc_compile_options_release(options);
  shaderc_compiler_release(compiler);
  return hr;
}
