#include "producer/engine/shaders/tests/kernel_reference.h"

#include <algorithm>
#include <cmath>

namespace tesmira::reference {
namespace {

// HLSL's saturate with Direct3D's NaN rule.
float saturate(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }

Texel lerp(const Texel& a, const Texel& b, float t) {
  Texel r;
  for (int c = 0; c < 4; ++c) r[c] = a[c] + (b[c] - a[c]) * t;
  return r;
}

bool inCrop(const Params& p, int fx, int fy, float& u, float& v) {
  u = p.m0[0] * float(fx) + p.m0[1] * float(fy) + p.mt[0];
  v = p.m1[0] * float(fx) + p.m1[1] * float(fy) + p.mt[1];
  return !(u < 0.0f || v < 0.0f || u > float(p.cropDim[0] - 1) || v > float(p.cropDim[1] - 1));
}

float lumaY(const Texel& bgr) {
  float r = bgr[2] * 255.0f, g = bgr[1] * 255.0f, b = bgr[0] * 255.0f;
  return saturate(((66.0f * r + 129.0f * g + 25.0f * b + 128.0f) / 256.0f + 16.0f) / 255.0f);
}

std::array<float, 2> chromaUV(const Texel& bgr) {
  float r = bgr[2] * 255.0f, g = bgr[1] * 255.0f, b = bgr[0] * 255.0f;
  float u = (-38.0f * r - 74.0f * g + 112.0f * b + 128.0f) / 256.0f + 128.0f;
  float v = (112.0f * r - 94.0f * g - 18.0f * b + 128.0f) / 256.0f + 128.0f;
  return {saturate(u / 255.0f), saturate(v / 255.0f)};
}

}  // namespace

Texel Image::sample(float u, float v) const {
  float x = u * float(width) - 0.5f, y = v * float(height) - 0.5f;
  float fx = std::floor(x), fy = std::floor(y);
  float ax = x - fx, ay = y - fy;
  auto clampX = [&](float i) { return std::clamp(int(i), 0, width - 1); };
  auto clampY = [&](float i) { return std::clamp(int(i), 0, height - 1); };
  int x0 = clampX(fx), x1 = clampX(fx + 1), y0 = clampY(fy), y1 = clampY(fy + 1);
  return lerp(lerp(at(x0, y0), at(x1, y0), ax), lerp(at(x0, y1), at(x1, y1), ax), ay);
}

uint8_t unorm(float v) { return uint8_t(std::lround(saturate(v) * 255.0f)); }

std::vector<uint8_t> unormBytes(const Image& image) {
  std::vector<uint8_t> out(image.texels.size() * 4);
  for (size_t i = 0; i < image.texels.size(); ++i)
    for (int c = 0; c < 4; ++c) out[i * 4 + c] = unorm(image.texels[i][c]);
  return out;
}

Image fromRgba8(const uint8_t* bytes, int w, int h) {
  Image img(w, h);
  for (size_t i = 0; i < img.texels.size(); ++i)
    for (int c = 0; c < 4; ++c) img.texels[i][c] = bytes[i * 4 + c] / 255.0f;
  return img;
}

Image fromBgra8(const uint8_t* bytes, int w, int h, bool opaque) {
  Image img(w, h);
  for (size_t i = 0; i < img.texels.size(); ++i) {
    const uint8_t* p = bytes + i * 4;
    img.texels[i] = {p[2] / 255.0f, p[1] / 255.0f, p[0] / 255.0f, opaque ? 1.0f : p[3] / 255.0f};
  }
  return img;
}

void delta(const Image& frame, const Image& deltaTex, const Params& p, Image& out) {
  for (int fy = std::max(p.roiMin[1], 0); fy < std::min(p.roiMax[1], frame.height); ++fy) {
    for (int fx = std::max(p.roiMin[0], 0); fx < std::min(p.roiMax[0], frame.width); ++fx) {
      float u, v;
      if (!inCrop(p, fx, fy, u, v)) continue;
      Texel d = deltaTex.sample((u + 0.5f) / float(p.cropDim[0]), (v + 0.5f) / float(p.cropDim[1]));
      const Texel& f = frame.at(fx, fy);
      out.at(fx, fy) = {saturate(f[0] + d[0] / 255.0f), saturate(f[1] + d[1] / 255.0f),
                        saturate(f[2] + d[2] / 255.0f), 1.0f};
    }
  }
}

Image composite(const Image& crop, const Image& field, const std::vector<float>& mask, const CompositeParams& p) {
  Image out(p.cropDim[0], p.cropDim[1]);
  for (int y = 0; y < p.cropDim[1]; ++y) {
    for (int x = 0; x < p.cropDim[0]; ++x) {
      Texel F = field.sample((float(x) + 0.5f) / float(p.cropDim[0]), (float(y) + 0.5f) / float(p.cropDim[1]));
      float m = p.maskBypass != 0 ? 1.0f : mask[size_t(y) * crop.width + x];
      float a = m * p.gain;
      float da = F[3] * 1.75f - 0.25f;
      const Texel& o = crop.at(x, y);
      float dB = F[2] * 1.5f - 0.25f, dG = F[1] * 1.5f - 0.25f, dR = F[0] * 1.5f - 0.25f;
      out.at(x, y) = {saturate(o[0] + a * (dB - da * o[0])), saturate(o[1] + a * (dG - da * o[1])),
                      saturate(o[2] + a * (dR - da * o[2])), 1.0f};
    }
  }
  return out;
}

void residentPaste(const Image& frame, const Image& finalCrop, const Image& crop, const Params& p, Image& out) {
  for (int fy = std::max(p.roiMin[1], 0); fy < std::min(p.roiMax[1], frame.height); ++fy) {
    for (int fx = std::max(p.roiMin[0], 0); fx < std::min(p.roiMax[0], frame.width); ++fx) {
      float u, v;
      inCrop(p, fx, fy, u, v);
      // The change, bilinear with zero beyond the crop, as the CPU paste takes it.
      if (!(u > -1.0f && v > -1.0f && u < float(p.cropDim[0]) && v < float(p.cropDim[1]))) continue;
      const float x0 = std::floor(u), y0 = std::floor(v), ax = u - x0, ay = v - y0;
      Texel d{0, 0, 0, 0};
      for (int j = 0; j < 2; ++j)
        for (int i = 0; i < 2; ++i) {
          const int cx = int(x0) + i, cy = int(y0) + j;
          if (cx < 0 || cy < 0 || cx >= p.cropDim[0] || cy >= p.cropDim[1]) continue;
          const float w = (i ? ax : 1.0f - ax) * (j ? ay : 1.0f - ay);
          for (int c = 0; c < 3; ++c) d[c] += w * (finalCrop.at(cx, cy)[c] - crop.at(cx, cy)[c]);
        }
      const Texel& f = frame.at(fx, fy);
      out.at(fx, fy) = {saturate(f[0] + d[0]), saturate(f[1] + d[1]), saturate(f[2] + d[2]), 1.0f};
    }
  }
}

Image nv12(const Image& src, const Nv12Params& p) {
  int packW = p.frameDim[0] / 4, h = p.frameDim[1];
  Image out(packW, h + h / 2);
  for (int y = 0; y < h + h / 2; ++y) {
    for (int x = 0; x < packW; ++x) {
      int baseX = 4 * x;
      if (y < h) {
        out.at(x, y) = {lumaY(src.at(baseX, y)), lumaY(src.at(baseX + 1, y)), lumaY(src.at(baseX + 2, y)),
                        lumaY(src.at(baseX + 3, y))};
        continue;
      }
      int y0 = 2 * (y - h);
      Texel A, B;
      for (int c = 0; c < 4; ++c) {
        A[c] = (src.at(baseX, y0)[c] + src.at(baseX + 1, y0)[c] + src.at(baseX, y0 + 1)[c] + src.at(baseX + 1, y0 + 1)[c]) * 0.25f;
        B[c] = (src.at(baseX + 2, y0)[c] + src.at(baseX + 3, y0)[c] + src.at(baseX + 2, y0 + 1)[c] +
                src.at(baseX + 3, y0 + 1)[c]) * 0.25f;
      }
      auto a = chromaUV(A), b = chromaUV(B);
      out.at(x, y) = {a[0], a[1], b[0], b[1]};
    }
  }
  return out;
}

Image copyCameraFrame(const Image& src, const FrameCopyParams& p) {
  Image out(p.frameDim[0], p.frameDim[1]);
  for (int y = 0; y < p.frameDim[1]; ++y) {
    for (int x = 0; x < p.frameDim[0]; ++x) {
      const Texel& s = src.at(p.mirrorX != 0 ? p.frameDim[0] - 1 - x : x, y);
      out.at(x, y) = {s[2], s[1], s[0], 1.0f};
    }
  }
  return out;
}

Image cas(const Image& src, const CasParams& p) {
  const int w = p.frameDim[0], h = p.frameDim[1];
  Image out(w, h);
  const float peak = -1.0f / (8.0f + (5.0f - 8.0f) * p.sharpness);
  for (int y = 0; y < h; ++y) {
    int ym = std::max(y - 1, 0), yp = std::min(y + 1, h - 1);
    for (int x = 0; x < w; ++x) {
      int xm = std::max(x - 1, 0), xp = std::min(x + 1, w - 1);
      const Texel &a = src.at(xm, ym), &b = src.at(x, ym), &c = src.at(xp, ym), &d = src.at(xm, y), &e = src.at(x, y),
                  &f = src.at(xp, y), &g = src.at(xm, yp), &hh = src.at(x, yp), &i = src.at(xp, yp);
      float amp = 1.0f;
      for (int k = 0; k < 3; ++k) {
        float mn = std::min({d[k], e[k], f[k], b[k], hh[k]});
        mn = mn + std::min({mn, a[k], c[k], g[k], i[k]});
        float mx = std::max({d[k], e[k], f[k], b[k], hh[k]});
        mx = mx + std::max({mx, a[k], c[k], g[k], i[k]});
        // 0 x 1/0 on a black patch is NaN, and saturate(NaN) is 0.
        amp = std::min(amp, std::sqrt(saturate(std::min(mn, 2.0f - mx) * (1.0f / mx))));
      }
      float wgt = amp * peak;
      float rcp = 1.0f / (1.0f + 4.0f * wgt);
      Texel r{0, 0, 0, 1.0f};
      for (int k = 0; k < 3; ++k) r[k] = saturate((b[k] * wgt + d[k] * wgt + f[k] * wgt + hh[k] * wgt + e[k]) * rcp);
      out.at(x, y) = r;
    }
  }
  return out;
}

Image tone(const Image& src, const Image& lut, const ToneParams& p) {
  Image out(p.frameDim[0], p.frameDim[1]);
  for (int y = 0; y < p.frameDim[1]; ++y) {
    for (int x = 0; x < p.frameDim[0]; ++x) {
      const Texel& s = src.at(x, y);
      float red = saturate(s[2]), green = saturate(s[1]), blueLevel = saturate(s[0]);
      float blue = blueLevel * 15.0f;
      float b0 = std::floor(blue), b1 = std::min(b0 + 1.0f, 15.0f), t = blue - b0;
      float r = red * 15.0f, v = (green * 15.0f + 0.5f) / 16.0f;
      Texel s0 = lut.sample((b0 * 16.0f + r + 0.5f) / 256.0f, v), s1 = lut.sample((b1 * 16.0f + r + 0.5f) / 256.0f, v);
      Texel g = lerp(s0, s1, t);
      out.at(x, y) = {g[2], g[1], g[0], 1.0f};
    }
  }
  return out;
}

Image perspective(const Image& src, const std::vector<std::array<float, 2>>& field, const PerspectiveParams& p) {
  const int w = p.frameDim[0], h = p.frameDim[1], gw = p.gridSize[0], gh = p.gridSize[1];
  Image out(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      float gx0 = float(x) + 0.5f, gy0 = float(y) + 0.5f;
      float gx = gx0 / float(w) * float(gw) - 0.5f, gy = gy0 / float(h) * float(gh) - 0.5f;
      int x0 = std::clamp(int(std::floor(gx)), 0, gw - 1), y0 = std::clamp(int(std::floor(gy)), 0, gh - 1);
      int x1 = std::min(x0 + 1, gw - 1), y1 = std::min(y0 + 1, gh - 1);
      float fx = saturate(gx - float(x0)), fy = saturate(gy - float(y0));
      std::array<float, 2> off;
      for (int k = 0; k < 2; ++k) {
        float top = field[size_t(y0) * gw + x0][k] + (field[size_t(y0) * gw + x1][k] - field[size_t(y0) * gw + x0][k]) * fx;
        float bottom =
            field[size_t(y1) * gw + x0][k] + (field[size_t(y1) * gw + x1][k] - field[size_t(y1) * gw + x0][k]) * fx;
        off[k] = top + (bottom - top) * fy;
      }
      Texel c = src.sample((gx0 + off[0]) / float(w), (gy0 + off[1]) / float(h));
      out.at(x, y) = {c[0], c[1], c[2], 1.0f};
    }
  }
  return out;
}

}  // namespace tesmira::reference
