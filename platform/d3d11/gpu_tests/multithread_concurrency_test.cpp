// Two threads share one immediate context under ID3D11Multithread protection, as the
// camera capture thread shares the compositor's device: maps, copies and read-backs
// interleave without a lost or torn result.
#include <gmock/gmock.h>

#include <thread>

#include "platform/d3d11/gpu_tests/gpu_testing.h"

namespace tesmira::gputest {
namespace {

constexpr UINT kW = 13, kH = 9;

std::vector<uint8_t> filled(uint8_t value) { return std::vector<uint8_t>(kW * kH * 4, value); }

// Uploads through a dynamic texture and reads back through a fresh staging texture.
void uploadAndReadBack(ID3D11Device* device, ID3D11DeviceContext* context, int rounds, uint8_t base,
                       std::vector<std::string>& failures) {
  auto dynDesc = textureDesc(kW, kH, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE,
                             D3D11_CPU_ACCESS_WRITE);
  auto gpuDesc = textureDesc(kW, kH, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0);
  ComPtr<ID3D11Texture2D> dyn, onGpu;
  if (FAILED(device->CreateTexture2D(&dynDesc, nullptr, &dyn)) || FAILED(device->CreateTexture2D(&gpuDesc, nullptr, &onGpu))) {
    failures.push_back("create");
    return;
  }
  for (int i = 0; i < rounds; ++i) {
    uint8_t value = uint8_t(base + i);
    auto bytes = filled(value);
    D3D11_MAPPED_SUBRESOURCE m;
    if (context->Map(dyn.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &m) != S_OK) {
      failures.push_back("map for write");
      return;
    }
    writeRows(m, bytes.data(), kW * 4, kH);
    context->Unmap(dyn.Get(), 0);
    context->CopyResource(onGpu.Get(), dyn.Get());

    // The capture's read-back: a staging texture made on this thread, a region copy, a READ map.
    auto stagingDesc = textureDesc(kW, kH, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    ComPtr<ID3D11Texture2D> staging;
    if (FAILED(device->CreateTexture2D(&stagingDesc, nullptr, &staging))) {
      failures.push_back("create staging");
      return;
    }
    D3D11_BOX box{0, 0, 0, kW, kH, 1};
    context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, onGpu.Get(), 0, &box);
    if (context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &m) != S_OK) {
      failures.push_back("map for read");
      return;
    }
    for (UINT y = 0; y < kH; ++y) {
      const uint8_t* row = static_cast<const uint8_t*>(m.pData) + y * m.RowPitch;
      for (UINT x = 0; x < kW * 4; ++x) {
        if (row[x] != value) {
          failures.push_back("round " + std::to_string(i) + ": " + std::to_string(row[x]) + " for " + std::to_string(value));
          y = kH;
          break;
        }
      }
    }
    context->Unmap(staging.Get(), 0);
  }
}

TEST(D3D11MultithreadTest, TwoThreadsMapAndCopyThroughOneProtectedContext) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ASSERT_EQ(createDevice(&device, &context), S_OK);
  ComPtr<ID3D11Multithread> multithread;
  ASSERT_EQ(device->QueryInterface(IID_PPV_ARGS(&multithread)), S_OK);
  multithread->SetMultithreadProtected(TRUE);

  std::vector<std::string> mainFailures, captureFailures;
  std::thread capture([&] { uploadAndReadBack(device.Get(), context.Get(), 40, 100, captureFailures); });
  uploadAndReadBack(device.Get(), context.Get(), 40, 0, mainFailures);
  capture.join();
  EXPECT_THAT(mainFailures, ::testing::IsEmpty());
  EXPECT_THAT(captureFailures, ::testing::IsEmpty());
}

TEST(D3D11MultithreadTest, EnterHoldsTheContextAgainstTheOtherThread) {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ASSERT_EQ(createDevice(&device, &context), S_OK);
  ComPtr<ID3D11Multithread> multithread;
  ASSERT_EQ(context->QueryInterface(IID_PPV_ARGS(&multithread)), S_OK);
  multithread->SetMultithreadProtected(TRUE);

  std::atomic<bool> flushed{false};
  multithread->Enter();
  std::thread other([&] {
    context->Flush();  // waits for Leave
    flushed = true;
  });
  for (int i = 0; i < 50 && !flushed; ++i) std::this_thread::yield();
  EXPECT_FALSE(flushed);
  multithread->Leave();
  other.join();
  EXPECT_TRUE(flushed);
}

}  // namespace
}  // namespace tesmira::gputest
