// D3DCompile on shaderc: targets, messages, the blob CreateComputeShader takes.
#include <gmock/gmock.h>

#include <fstream>
#include <sstream>

#include "platform/d3d11/gpu_tests/gpu_testing.h"

namespace tesmira::gputest {
namespace {

using ::testing::HasSubstr;

constexpr std::string_view kFill = R"(
RWTexture2D<unorm float4> dst : register(u0);
cbuffer P : register(b0) { int2 dim; float4 colour; };
[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  if ((int)id.x >= dim.x || (int)id.y >= dim.y) return;
  dst[id.xy] = colour;
}
)";

TEST(D3DCompileTest, CompilesAComputeKernelThatTheDeviceTakes) {
  HRESULT hr = E_FAIL;
  std::string messages;
  auto code = compile(kFill, "cs_5_0", &messages, &hr);
  ASSERT_EQ(hr, S_OK) << messages;
  ASSERT_TRUE(code);
  EXPECT_EQ(code->GetBufferSize() % 4, 0u);
  EXPECT_FALSE(platform::d3d11::codeReadsStorageImage(code->GetBufferPointer(), code->GetBufferSize()));
  ComPtr<ID3D11ComputeShader> shader;
  EXPECT_EQ(gpu().device->CreateComputeShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &shader), S_OK);
}

TEST(D3DCompileTest, ASyntaxErrorFailsWithItsLineInTheErrorBlob) {
  const std::string source = "RWTexture2D<float4> dst : register(u0);\n[numthreads(8, 8, 1)]\nvoid main() {\n  dst[uint2(0, 0)] = ;\n}\n";
  ComPtr<ID3DBlob> code, errors;
  HRESULT hr = D3DCompile(source.data(), source.size(), nullptr, nullptr, nullptr, "main", "cs_5_0",
                          D3DCOMPILE_ENABLE_STRICTNESS, 0, &code, &errors);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_FALSE(code);
  ASSERT_TRUE(errors);
  std::string text(static_cast<const char*>(errors->GetBufferPointer()), errors->GetBufferSize());
  EXPECT_THAT(text, HasSubstr(":4:"));
  EXPECT_EQ(text.back(), '\0');  // Windows' error blobs end with a NUL
}

TEST(D3DCompileTest, OnlyTheComputeTargetIsAccepted) {
  for (const char* target : {"ps_5_0", "vs_5_0", "cs_4_0"}) {
    HRESULT hr = S_OK;
    std::string messages;
    auto code = compile(kFill, target, &messages, &hr);
    EXPECT_EQ(hr, E_FAIL) << target;
    EXPECT_FALSE(code) << target;
    EXPECT_THAT(messages, HasSubstr(target));
  }
}

TEST(D3DCompileTest, AKernelThatReadsAFourChannelUnorderedAccessViewIsRefused) {
  constexpr std::string_view source = R"(
RWTexture2D<float4> img : register(u0);
[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) { img[id.xy] = img[id.xy] * 0.5; }
)";
  HRESULT hr = S_OK;
  std::string messages;
  EXPECT_FALSE(compile(source, "cs_5_0", &messages, &hr));
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_THAT(messages, HasSubstr("unordered-access loads"));
}

// Debian's shared libshaderc crashes: the compiler is linked into the platform library.
TEST(D3DCompileTest, NeedsNoSharedShaderc) {
  ASSERT_TRUE(compile(kFill));
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  EXPECT_THAT(text.str(), ::testing::Not(HasSubstr("libshaderc")));
  EXPECT_THAT(text.str(), ::testing::Not(HasSubstr("libglslang")));
}

TEST(D3DCompileTest, CreateComputeShaderRefusesOtherBytes) {
  const uint32_t notCode[] = {0x43425844, 1, 2, 3, 4, 5};  // a DXBC header
  ComPtr<ID3D11ComputeShader> shader;
  EXPECT_EQ(gpu().device->CreateComputeShader(notCode, sizeof notCode, nullptr, &shader), E_INVALIDARG);
  EXPECT_EQ(gpu().device->CreateComputeShader(notCode, 3, nullptr, &shader), E_INVALIDARG);
  EXPECT_FALSE(shader);
}

}  // namespace
}  // namespace tesmira::gputest
