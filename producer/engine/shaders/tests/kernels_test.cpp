// The compositor's eight kernels against their C++ references, on small and odd sizes
// (partial thread groups), the 320x512 crop and the 40x64 field.
#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>

#include "platform/d3d11/gpu_tests/gpu_testing.h"
#include "producer/engine/compositor_constants.h"
#include "producer/engine/compositor_shaders.h"
#include "producer/engine/shaders/tests/kernel_reference.h"

namespace tesmira::gputest {
namespace {

namespace shaders = compositor_shaders;
using reference::Image;
using reference::Texel;

constexpr UINT kBoth = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_UNORDERED_ACCESS;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// An image of exact unorm levels, as an 8-bit texture holds them.
Image randomImage(int w, int h, uint32_t seed) {
  auto bytes = randomBytes(size_t(w) * h * 4, seed);
  return reference::fromRgba8(bytes.data(), w, h);
}

ComPtr<ID3D11Texture2D> unormTexture(const Image& image, UINT bind = kBoth) {
  auto bytes = reference::unormBytes(image);
  return texture(image.width, image.height, DXGI_FORMAT_R8G8B8A8_UNORM, bind, bytes.data());
}

ComPtr<ID3D11Texture2D> floatTexture(const Image& image) {
  return texture(image.width, image.height, DXGI_FORMAT_R32G32B32A32_FLOAT, D3D11_BIND_SHADER_RESOURCE,
                 image.texels.data());
}

// Every byte within `tolerance` levels of the reference; names the first texel that is not.
::testing::AssertionResult within(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected, int width,
                                  int tolerance) {
  if (actual.size() != expected.size()) return ::testing::AssertionFailure() << "sizes differ";
  int worst = 0;
  size_t worstAt = 0;
  for (size_t i = 0; i < actual.size(); ++i) {
    int d = std::abs(int(actual[i]) - int(expected[i]));
    if (d > worst) worst = d, worstAt = i;
  }
  if (worst <= tolerance) return ::testing::AssertionSuccess();
  size_t texel = worstAt / 4;
  return ::testing::AssertionFailure() << "texel (" << texel % width << ", " << texel / width << ") channel "
                                       << worstAt % 4 << ": " << int(actual[worstAt]) << " against "
                                       << int(expected[worstAt]) << " (tolerance " << tolerance << ")";
}

template <class P>
std::vector<uint8_t> run(std::string_view source, std::vector<ID3D11ShaderResourceView*> srvs, const P& params,
                         ID3D11Texture2D* out, UINT width, UINT height) {
  auto constants = constantBuffer(&params, sizeof params);
  auto sampler = linearClampSampler();
  auto target = uav(out);
  dispatch(kernel(source), {srvs, sampler.Get(), constants.Get(), target.Get()}, width, height);
  return readBack(out);
}

// ---- copyCameraFrame ----

TEST(CompositorKernelsTest, CopyCameraFrameIsExactForEachCameraFormatWithAndWithoutMirror) {
  const int w = 13, h = 9;
  auto camera = randomBytes(w * h * 4, 7);
  for (DXGI_FORMAT format : {DXGI_FORMAT_R8G8B8A8_UNORM, DXGI_FORMAT_B8G8R8A8_UNORM, DXGI_FORMAT_B8G8R8X8_UNORM}) {
    for (int mirror : {0, 1}) {
      auto src = texture(w, h, format, D3D11_BIND_SHADER_RESOURCE, camera.data());
      auto frame = unormTexture(Image(w, h));
      auto view = srv(src.Get());
      FrameCopyParams p{{w, h}, mirror, 0};
      auto actual = run(shaders::copyCameraFrame, {view.Get()}, p, frame.Get(), w, h);
      Image seen = format == DXGI_FORMAT_R8G8B8A8_UNORM
                       ? reference::fromRgba8(camera.data(), w, h)
                       : reference::fromBgra8(camera.data(), w, h, format == DXGI_FORMAT_B8G8R8X8_UNORM);
      EXPECT_TRUE(within(actual, reference::unormBytes(reference::copyCameraFrame(seen, p)), w, 0))
          << "format " << format << " mirror " << mirror;
      // The camera's red, green, blue land as blue, green, red: byte order B, G, R, 255.
      const uint8_t* first = &camera[(mirror ? w - 1 : 0) * 4];
      uint8_t red = format == DXGI_FORMAT_R8G8B8A8_UNORM ? first[0] : first[2];
      uint8_t blue = format == DXGI_FORMAT_R8G8B8A8_UNORM ? first[2] : first[0];
      EXPECT_EQ(actual[0], blue);
      EXPECT_EQ(actual[2], red);
      EXPECT_EQ(actual[3], 255);
    }
  }
}

// ---- cas ----

std::vector<uint8_t> runCas(const Image& src, float sharpness) {
  auto in = unormTexture(src);
  auto out = unormTexture(Image(src.width, src.height));
  auto view = srv(in.Get());
  CasParams p{{src.width, src.height}, sharpness, 0};
  return run(shaders::cas, {view.Get()}, p, out.Get(), src.width, src.height);
}

TEST(CompositorKernelsTest, CasMatchesItsReference) {
  const int w = 13, h = 9;
  Image src = randomImage(w, h, 11);
  for (float sharpness : {0.3f, 1.0f}) {
    CasParams p{{w, h}, sharpness, 0};
    EXPECT_TRUE(within(runCas(src, sharpness), reference::unormBytes(reference::cas(src, p)), w, 1)) << sharpness;
  }
}

TEST(CompositorKernelsTest, CasLeavesAFlatAreaAndABlackPatchUnchanged) {
  const int w = 13, h = 9;
  Image flat(w, h, {60 / 255.0f, 120 / 255.0f, 200 / 255.0f, 1});
  EXPECT_TRUE(within(runCas(flat, 1.0f), reference::unormBytes(flat), w, 0));

  // Where a channel's soft maximum is 0 the kernel computes 0 x 1/0; saturate(NaN) = 0 keeps black black.
  Image patch = randomImage(w, h, 12);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 7; ++x) patch.at(x, y) = {0, 0, 0, 1};
  auto actual = runCas(patch, 1.0f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 6; ++x)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(actual[(y * w + x) * 4 + c], 0) << x << "," << y;
  Image black(w, h, {0, 0, 0, 1});
  EXPECT_TRUE(within(runCas(black, 0.5f), reference::unormBytes(black), w, 0));
}

// ---- tone ----

Image identityAtlas() {
  Image lut(256, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 256; ++x) lut.at(x, y) = {17.0f * (x % 16) / 255.0f, 17.0f * y / 255.0f, 17.0f * (x / 16) / 255.0f, 1};
  return lut;
}

std::vector<uint8_t> runTone(const Image& src, const Image& lut) {
  auto in = unormTexture(src);
  auto atlasBytes = reference::unormBytes(lut);
  auto atlasDesc = textureDesc(256, 16, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_IMMUTABLE, D3D11_BIND_SHADER_RESOURCE, 0);
  D3D11_SUBRESOURCE_DATA data{atlasBytes.data(), 1024, 0};
  ComPtr<ID3D11Texture2D> atlas;
  EXPECT_EQ(gpu().device->CreateTexture2D(&atlasDesc, &data, &atlas), S_OK);
  auto out = unormTexture(Image(src.width, src.height));
  auto a = srv(in.Get()), b = srv(atlas.Get());
  ToneParams p{{src.width, src.height}, {0, 0}};
  return run(shaders::tone, {a.Get(), b.Get()}, p, out.Get(), src.width, src.height);
}

TEST(CompositorKernelsTest, ToneMatchesItsReferenceAndAnIdentityAtlasKeepsColours) {
  const int w = 13, h = 9;
  Image src = randomImage(w, h, 21);
  Image graded = randomImage(256, 16, 22);
  ToneParams p{{w, h}, {0, 0}};
  EXPECT_TRUE(within(runTone(src, graded), reference::unormBytes(reference::tone(src, graded, p)), w, 1));
  auto identity = runTone(src, identityAtlas());
  auto expected = reference::unormBytes(src);
  for (size_t i = 3; i < expected.size(); i += 4) expected[i] = 255;
  EXPECT_TRUE(within(identity, expected, w, 1));
}

// ---- perspective ----

// The 96x54 field as the perspective kernels read it.
ComPtr<ID3D11ShaderResourceView> fieldBuffer(const std::vector<std::array<float, 2>>& field) {
  D3D11_BUFFER_DESC desc{5184 * 8, D3D11_USAGE_DYNAMIC, D3D11_BIND_SHADER_RESOURCE, D3D11_CPU_ACCESS_WRITE,
                         D3D11_RESOURCE_MISC_BUFFER_STRUCTURED, 8};
  ComPtr<ID3D11Buffer> buffer;
  EXPECT_EQ(gpu().device->CreateBuffer(&desc, nullptr, &buffer), S_OK);
  D3D11_MAPPED_SUBRESOURCE m;
  EXPECT_EQ(gpu().context->Map(buffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &m), S_OK);
  std::memcpy(m.pData, field.data(), 5184 * 8);
  gpu().context->Unmap(buffer.Get(), 0);
  D3D11_SHADER_RESOURCE_VIEW_DESC v{};
  v.Format = DXGI_FORMAT_UNKNOWN;
  v.ViewDimension = D3D11_SRV_DIMENSION_BUFFER;
  v.Buffer.NumElements = 5184;
  ComPtr<ID3D11ShaderResourceView> fieldView;
  EXPECT_EQ(gpu().device->CreateShaderResourceView(buffer.Get(), &v, &fieldView), S_OK);
  return fieldView;
}

std::vector<uint8_t> runPerspective(const Image& src, const std::vector<std::array<float, 2>>& field) {
  auto fieldView = fieldBuffer(field);
  auto in = unormTexture(src);
  auto out = unormTexture(Image(src.width, src.height));
  auto a = srv(in.Get());
  PerspectiveParams p{{96, 54}, {src.width, src.height}};
  return run(shaders::perspective, {a.Get(), fieldView.Get()}, p, out.Get(), src.width, src.height);
}

TEST(CompositorKernelsTest, PerspectiveReproducesItsInputWithAZeroFieldAndFollowsAField) {
  const int w = 13, h = 9;
  Image src = randomImage(w, h, 31);
  auto expected = reference::unormBytes(src);
  for (size_t i = 3; i < expected.size(); i += 4) expected[i] = 255;
  EXPECT_TRUE(within(runPerspective(src, std::vector<std::array<float, 2>>(5184, {0, 0})), expected, w, 0));

  std::vector<std::array<float, 2>> field(5184);
  std::mt19937 rng(32);
  std::uniform_real_distribution<float> offset(-3.0f, 3.0f);
  for (auto& o : field) o = {offset(rng), offset(rng)};
  const int fw = 40, fh = 30;
  Image big = randomImage(fw, fh, 33);
  PerspectiveParams p{{96, 54}, {fw, fh}};
  EXPECT_TRUE(within(runPerspective(big, field), reference::unormBytes(reference::perspective(big, field, p)), fw, 1));
}

// ---- nv12 ----

// The share of bytes two packings agree on exactly: a pass that rounds as the other
// stores leaves only the device's rounding ties apart.
double exactShare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  size_t same = 0;
  for (size_t i = 0; i < a.size(); ++i) same += a[i] == b[i];
  return double(same) / double(a.size());
}

// The plain pass over the whole frame; with a paste, the paste build over its blocks after it.
std::vector<uint8_t> runNv12(const Image& src, const Nv12Params* paste = nullptr,
                             std::vector<ID3D11ShaderResourceView*> crops = {}) {
  const int w = src.width, h = src.height;
  auto in = unormTexture(src);
  auto packed = texture(w / 4, h + h / 2, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_UNORDERED_ACCESS);
  auto a = srv(in.Get());
  // The plain pass leaves the paste's blocks to the paste build, as the compositor runs them.
  Nv12Params plain = paste ? *paste : Nv12Params{{w, h}, {0, 0}};
  plain.blockMin[0] = plain.blockMin[1] = 0;
  // The helper counts threads in groups of 8x8; the kernel's own grid is one thread per 4x2 block.
  auto bytes = run(shaders::nv12, {a.Get()}, plain, packed.Get(), nv12GroupsX(w) * 8, nv12GroupsY(h) * 8);
  if (!paste) return bytes;
  std::vector<ID3D11ShaderResourceView*> views{a.Get()};
  views.insert(views.end(), crops.begin(), crops.end());
  const int blocksX = (paste->roiMax[0] + 3) / 4 - paste->blockMin[0];
  const int blocksY = (paste->roiMax[1] + 1) / 2 - paste->blockMin[1];
  return run(shaders::nv12Paste, views, *paste, packed.Get(), nv12GroupsX(blocksX * 4) * 8, blocksY * 8);
}

TEST(CompositorKernelsTest, Nv12MatchesItsReferenceOnOddAndEvenSizes) {
  for (auto [w, h] : {std::pair{13, 9}, std::pair{52, 18}}) {
    Image src = randomImage(w, h, 41 + w);
    Nv12Params p{{w, h}, {0, 0}};
    EXPECT_TRUE(within(runNv12(src), reference::unormBytes(reference::nv12(src, p)), w / 4, 1)) << w << "x" << h;
  }
}

TEST(CompositorKernelsTest, Nv12KeepsTheFormulasFractions) {
  const int w = 8, h = 2;
  Image src(w, h);
  for (int x = 0; x < w; ++x) {
    float level = x < 4 ? 1.0f : 0.0f;  // white, then black
    src.at(x, 0) = src.at(x, 1) = {level, level, level, 1};
  }
  auto bytes = runNv12(src);  // 2 texels wide: Y rows 0-1, then one chroma row
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[row * 8 + i], 236) << "white luma 235.640625";
    for (int i = 4; i < 8; ++i) EXPECT_TRUE(bytes[row * 8 + i] == 16 || bytes[row * 8 + i] == 17) << "black luma 16.5";
  }
  for (int i = 16; i < 24; ++i) EXPECT_TRUE(bytes[i] == 128 || bytes[i] == 129) << "grey chroma 128.5, byte " << i;

  Image grey(w, h, {0.5f, 0.5f, 0.5f, 1});
  auto g = runNv12(grey);
  for (int i = 16; i < 24; ++i) EXPECT_TRUE(g[i] == 128 || g[i] == 129) << i;
}

// ---- composite ----

struct CropInputs {
  Image crop = randomImage(320, 512, 51);
  Image field{40, 64};
  std::vector<float> mask = std::vector<float>(320 * 512);
  CropInputs() {
    std::mt19937 rng(52);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto& t : field.texels) t = {unit(rng), unit(rng), unit(rng), unit(rng)};
    for (auto& m : mask) m = unit(rng);
  }
};

std::vector<uint8_t> runComposite(const CropInputs& in, const CompositeParams& p) {
  auto crop = unormTexture(in.crop, D3D11_BIND_SHADER_RESOURCE);
  auto field = floatTexture(in.field);
  auto mask = texture(320, 512, DXGI_FORMAT_R32_FLOAT, D3D11_BIND_SHADER_RESOURCE, in.mask.data());
  auto out = unormTexture(Image(320, 512));
  auto a = srv(crop.Get()), b = srv(field.Get()), c = srv(mask.Get());
  return run(shaders::composite, {a.Get(), b.Get(), c.Get()}, p, out.Get(), 320, 512);
}

TEST(CompositorKernelsTest, CompositeMatchesItsReferenceWithAndWithoutTheMask) {
  CropInputs in;
  for (int bypass : {0, 1}) {
    CompositeParams p{0.7f, bypass, {320, 512}, {40, 64}, {0, 0}};
    EXPECT_TRUE(within(runComposite(in, p), reference::unormBytes(reference::composite(in.crop, in.field, in.mask, p)),
                       320, 1))
        << "bypass " << bypass;
  }
}

TEST(CompositorKernelsTest, CompositeWithGainZeroIsTheCropAndAHalfFieldMovesTowards08) {
  CropInputs in;
  auto crop = reference::unormBytes(in.crop);
  for (size_t i = 3; i < crop.size(); i += 4) crop[i] = 255;
  EXPECT_TRUE(within(runComposite(in, {0.0f, 0, {320, 512}, {40, 64}, {0, 0}}), crop, 320, 0));

  for (auto& t : in.field.texels) t = {0.5f, 0.5f, 0.5f, 0.5f};
  auto moved = runComposite(in, {1.0f, 1, {320, 512}, {40, 64}, {0, 0}});
  Image expected = in.crop;
  for (auto& t : expected.texels) {
    for (int c = 0; c < 3; ++c) t[c] += 0.625f * (0.8f - t[c]);
    t[3] = 1;
  }
  EXPECT_TRUE(within(moved, reference::unormBytes(expected), 320, 1));
}

// ---- delta and residentPaste ----

// A frame whose crop footprint covers only part of it: crop u = 4·fx − 40, v = 8·fy − 48.
constexpr int kFrameW = 125, kFrameH = 77;
const Params kParams{{4.0f, 0.0f}, {0.0f, 8.0f}, {-40.0f, -48.0f}, {2, 3}, {kFrameW - 1, kFrameH - 2}, {320, 512}, {0, 0}, {}};

TEST(CompositorKernelsTest, DeltaAddsTheDifferenceInsideTheCropAndKeepsTheCameraPixelOutside) {
  Image frame = randomImage(kFrameW, kFrameH, 61);
  Image deltaImage(320, 512);
  std::mt19937 rng(62);
  std::uniform_real_distribution<float> diff(-60.0f, 60.0f);
  for (auto& t : deltaImage.texels) t = {diff(rng), diff(rng), diff(rng), 0};
  auto frameTex = unormTexture(frame, D3D11_BIND_SHADER_RESOURCE);
  auto deltaTex = floatTexture(deltaImage);
  auto out = unormTexture(frame);
  auto a = srv(frameTex.Get()), b = srv(deltaTex.Get());
  auto actual = run(shaders::delta, {a.Get(), b.Get()}, kParams, out.Get(), kParams.roiMax[0] - kParams.roiMin[0],
                    kParams.roiMax[1] - kParams.roiMin[1]);
  Image expected = frame;
  reference::delta(frame, deltaImage, kParams, expected);
  EXPECT_TRUE(within(actual, reference::unormBytes(expected), kFrameW, 1));
  // Outside the crop's footprint (and the region) the camera pixel stays, exactly.
  auto camera = reference::unormBytes(frame);
  int outside = 0;
  for (int y = 0; y < kFrameH; ++y) {
    for (int x = 0; x < kFrameW; ++x) {
      float u = 4.0f * x - 40.0f, v = 8.0f * y - 48.0f;
      if (u >= 0 && v >= 0 && u <= 319 && v <= 511 && x >= 2 && y >= 3 && x < kFrameW - 1 && y < kFrameH - 2) continue;
      ++outside;
      ASSERT_EQ(std::memcmp(&actual[(y * kFrameW + x) * 4], &camera[(y * kFrameW + x) * 4], 4), 0) << x << "," << y;
    }
  }
  EXPECT_GT(outside, 0);
}

// A random frame, crop and retouched crop (the crop moved by up to `change` levels) as
// the paste kernels read them.
struct PasteInputs {
  Image frame, crop, finalCrop;
  ComPtr<ID3D11Texture2D> frameTex, finalTex, cropTex;
  ComPtr<ID3D11ShaderResourceView> frameView, finalView, cropView;
  PasteInputs(int w, int h, unsigned seed, int change)
      : frame(randomImage(w, h, seed)), crop(randomImage(320, 512, seed + 1)), finalCrop(crop) {
    std::mt19937 rng(seed + 2);
    for (auto& t : finalCrop.texels)
      for (int c = 0; c < 3; ++c)
        t[c] = std::clamp(t[c] + float(int(rng() % (2 * change + 1)) - change) / 255.0f, 0.0f, 1.0f);
    frameTex = unormTexture(frame, D3D11_BIND_SHADER_RESOURCE);
    finalTex = unormTexture(finalCrop, D3D11_BIND_SHADER_RESOURCE);
    cropTex = unormTexture(crop, D3D11_BIND_SHADER_RESOURCE);
    frameView = srv(frameTex.Get());
    finalView = srv(finalTex.Get());
    cropView = srv(cropTex.Get());
  }
  // residentPaste into a copy of the frame, read back.
  std::vector<uint8_t> residentPaste(const Params& p = kParams) const {
    auto out = unormTexture(frame);
    return run(shaders::residentPaste, {frameView.Get(), finalView.Get(), cropView.Get()}, p, out.Get(),
               p.roiMax[0] - p.roiMin[0], p.roiMax[1] - p.roiMin[1]);
  }
};

TEST(CompositorKernelsTest, ResidentPasteCarriesTheRetouchAndKeepsTheCameraPixelOutside) {
  const PasteInputs in(kFrameW, kFrameH, 71, 20);
  auto actual = in.residentPaste();
  Image expected = in.frame;
  // Unorm textures hold the crops as bytes: the reference reads the same levels.
  Image finalLevels = reference::fromRgba8(reference::unormBytes(in.finalCrop).data(), 320, 512);
  reference::residentPaste(in.frame, finalLevels, in.crop, kParams, expected);
  EXPECT_TRUE(within(actual, reference::unormBytes(expected), kFrameW, 1));
  auto camera = reference::unormBytes(in.frame);
  EXPECT_EQ(std::memcmp(actual.data(), camera.data(), kFrameW * 4), 0);  // row 0 is outside the region
}

// A road without global effects packs the paste on the way: the same bytes as
// residentPaste into out, then packing out.
TEST(CompositorKernelsTest, Nv12WithARegionPacksWhatResidentPasteThenNv12Give) {
  const int w = 124, h = 78;  // the region's frame, cut to a packable size
  const PasteInputs in(w, h, 81, 30);
  // The whole footprint, and a region inside the frame with blocks only partly in it at a
  // sub-pixel alignment (the pasted levels then fall between 8-bit steps).
  const Params inner{{3.3f, 0.2f}, {-0.1f, 7.7f}, {-37.4f, -45.1f}, {29, 21}, {83, 50}, {320, 512}, {0, 0}, {}};
  for (const Params& region : {kParams, inner}) {
    const auto pastedBytes = in.residentPaste(region);
    const auto twoPasses = runNv12(reference::fromRgba8(pastedBytes.data(), w, h));
    const Nv12Params p = nv12PasteParams(w, h, region);
    const auto onePass = runNv12(in.frame, &p, {in.finalView.Get(), in.cropView.Get()});
    EXPECT_TRUE(within(onePass, twoPasses, w / 4, 1)) << region.roiMin[0];
    EXPECT_GE(exactShare(onePass, twoPasses), 0.99) << region.roiMin[0];
    // The change is there: packing the camera frame alone gives other bytes.
    EXPECT_NE(runNv12(in.frame), twoPasses);
  }
}

// With perspective the last global effect, the packing pass warps on the way: the same
// bytes as the perspective pass, then packing its result.
TEST(CompositorKernelsTest, Nv12WithPerspectivePacksWhatPerspectiveThenNv12Give) {
  const int w = 124, h = 78;
  const Image src = randomImage(w, h, 91);
  std::vector<std::array<float, 2>> offsets(5184);
  std::mt19937 rng(92);
  std::uniform_real_distribution<float> offset(-4.0f, 4.0f);
  for (auto& o : offsets) o = {offset(rng), offset(rng)};
  const auto warpedBytes = runPerspective(src, offsets);
  const auto twoPasses = runNv12(reference::fromRgba8(warpedBytes.data(), w, h));

  auto fieldView = fieldBuffer(offsets);
  auto in = unormTexture(src);
  auto packed = texture(w / 4, h + h / 2, DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_BIND_UNORDERED_ACCESS);
  auto a = srv(in.Get());
  Nv12Params p{{w, h}, {0, 0}};
  p.gridSize[0] = 96;
  p.gridSize[1] = 54;
  const auto onePass = run(shaders::nv12Perspective, {a.Get(), fieldView.Get()}, p, packed.Get(),
                           nv12GroupsX(w) * 8, nv12GroupsY(h) * 8);
  EXPECT_TRUE(within(onePass, twoPasses, w / 4, 1));
  EXPECT_GE(exactShare(onePass, twoPasses), 0.99);
  EXPECT_NE(runNv12(src), twoPasses) << "the field moves the picture";
}

// The kernels are plain HLSL that compile for cs_5_0 and never read an unordered-access view.
TEST(CompositorKernelsTest, EveryKernelCompilesAndNoneReadsAnUnorderedAccessView) {
  for (auto source : {shaders::delta, shaders::composite, shaders::residentPaste, shaders::nv12, shaders::nv12Paste,
                      shaders::nv12Perspective, shaders::copyCameraFrame, shaders::cas, shaders::tone, shaders::perspective}) {
    std::string messages;
    HRESULT hr = E_FAIL;
    auto code = compile(source, "cs_5_0", &messages, &hr);
    ASSERT_EQ(hr, S_OK) << messages;
    EXPECT_FALSE(platform::d3d11::codeReadsStorageImage(code->GetBufferPointer(), code->GetBufferSize()));
    EXPECT_NE(kernel(source), nullptr);
  }
}

}  // namespace
}  // namespace tesmira::gputest
