#pragma once
// A plain NHWC interpreter of the TFLite operators the converter maps, straight from the
// TFLite tensors (no layout changes): the reference the converted graphs are checked against.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include "tools/models/tflite_reader.h"

namespace tesmira::models::reference {

struct NTensor {
  std::vector<int32_t> shape;
  std::vector<float> data;
};

inline std::pair<int, int> referencePads(int in, int k, int stride, int dil, bool same) {
  if (!same) return {0, 0};
  int out = (in + stride - 1) / stride;
  int total = std::max((out - 1) * stride + (k - 1) * dil + 1 - in, 0);
  return {total / 2, total - total / 2};
}

inline std::vector<NTensor> evaluateNhwc(const TfModel& m, const std::vector<NTensor>& inputs) {
  std::map<int32_t, NTensor> v;
  for (size_t i = 0; i < m.inputs.size(); ++i) v[m.inputs[i]] = inputs.at(i);
  auto get = [&](int32_t i) -> NTensor {
    if (auto it = v.find(i); it != v.end()) return it->second;
    const TfTensor& t = m.tensors[size_t(i)];
    return {t.shape, tfConstantFloats(t)};
  };
  for (const TfOperator& op : m.operators) {
    const TfTensor& outT = m.tensors[size_t(op.outputs[0])];
    NTensor out{outT.shape, {}};
    size_t n = 1;
    for (int32_t d : outT.shape) n *= size_t(d);
    out.data.assign(n, 0.0f);
    const TfOptions& o = op.options;
    switch (op.builtin) {
      case kTfDequantize: out = get(op.inputs[0]); out.shape = outT.shape; break;
      case kTfConv2d:
      case kTfDepthwiseConv2d: {
        NTensor x = get(op.inputs[0]), w = get(op.inputs[1]);
        bool dw = op.builtin == kTfDepthwiseConv2d;
        std::vector<float> bias = op.inputs.size() > 2 && op.inputs[2] >= 0 ? get(op.inputs[2]).data : std::vector<float>();
        int H = x.shape[1], W = x.shape[2], C = x.shape[3];
        int kh = w.shape[1], kw = w.shape[2];
        int OH = outT.shape[1], OW = outT.shape[2], OC = outT.shape[3];
        auto [pt, pb] = referencePads(H, kh, o.strideH, o.dilationH, o.samePadding);
        auto [pl, pr] = referencePads(W, kw, o.strideW, o.dilationW, o.samePadding);
        for (int oy = 0; oy < OH; ++oy)
          for (int ox = 0; ox < OW; ++ox)
            for (int oc = 0; oc < OC; ++oc) {
              double acc = bias.empty() ? 0.0 : bias[size_t(oc)];
              for (int ky = 0; ky < kh; ++ky)
                for (int kx = 0; kx < kw; ++kx) {
                  int iy = oy * o.strideH - pt + ky * o.dilationH, ix = ox * o.strideW - pl + kx * o.dilationW;
                  if (iy < 0 || iy >= H || ix < 0 || ix >= W) continue;
                  const float* px = &x.data[(size_t(iy) * size_t(W) + size_t(ix)) * size_t(C)];
                  if (dw) {
                    int ic = oc / o.depthMultiplier;
                    acc += double(px[ic]) * w.data[(size_t(ky) * size_t(kw) + size_t(kx)) * size_t(OC) + size_t(oc)];
                  } else {
                    const float* wk = &w.data[((size_t(oc) * size_t(kh) + size_t(ky)) * size_t(kw) + size_t(kx)) * size_t(C)];
                    for (int ic = 0; ic < C; ++ic) acc += double(px[ic]) * wk[ic];
                  }
                }
              out.data[(size_t(oy) * size_t(OW) + size_t(ox)) * size_t(OC) + size_t(oc)] = float(acc);
            }
        break;
      }
      case kTfAdd: {
        NTensor a = get(op.inputs[0]), b = get(op.inputs[1]);
        for (size_t i = 0; i < n; ++i) out.data[i] = a.data[i % a.data.size()] + b.data[i % b.data.size()];
        break;
      }
      case kTfRelu: {
        NTensor a = get(op.inputs[0]);
        for (size_t i = 0; i < n; ++i) out.data[i] = std::max(a.data[i], 0.0f);
        break;
      }
      case kTfPrelu: {
        // Alpha [1, 1, C] broadcasts over the trailing channel axis.
        NTensor a = get(op.inputs[0]), alpha = get(op.inputs[1]);
        for (size_t i = 0; i < n; ++i) {
          float s = alpha.data[i % alpha.data.size()];
          out.data[i] = a.data[i] >= 0 ? a.data[i] : s * a.data[i];
        }
        break;
      }
      case kTfPad: {
        NTensor a = get(op.inputs[0]);
        std::vector<int32_t> p = tfConstantInts(m.tensors[size_t(op.inputs[1])]);
        int H = a.shape[1], W = a.shape[2], C = a.shape[3];
        int OW = outT.shape[2], OC = outT.shape[3];
        for (int y = 0; y < H; ++y)
          for (int x = 0; x < W; ++x)
            for (int c = 0; c < C; ++c)
              out.data[(size_t(y + p[2]) * size_t(OW) + size_t(x + p[4])) * size_t(OC) + size_t(c + p[6])] =
                  a.data[(size_t(y) * size_t(W) + size_t(x)) * size_t(C) + size_t(c)];
        break;
      }
      case kTfMaxPool2d: {
        NTensor a = get(op.inputs[0]);
        int H = a.shape[1], W = a.shape[2], C = a.shape[3];
        int OH = outT.shape[1], OW = outT.shape[2];
        auto [pt, pb] = referencePads(H, o.filterH, o.strideH, 1, o.samePadding);
        auto [pl, pr] = referencePads(W, o.filterW, o.strideW, 1, o.samePadding);
        for (int oy = 0; oy < OH; ++oy)
          for (int ox = 0; ox < OW; ++ox)
            for (int c = 0; c < C; ++c) {
              float best = -std::numeric_limits<float>::infinity();
              for (int ky = 0; ky < o.filterH; ++ky)
                for (int kx = 0; kx < o.filterW; ++kx) {
                  int iy = oy * o.strideH - pt + ky, ix = ox * o.strideW - pl + kx;
                  if (iy < 0 || iy >= H || ix < 0 || ix >= W) continue;
                  best = std::max(best, a.data[(size_t(iy) * size_t(W) + size_t(ix)) * size_t(C) + size_t(c)]);
                }
              out.data[(size_t(oy) * size_t(OW) + size_t(ox)) * size_t(C) + size_t(c)] = best;
            }
        break;
      }
      case kTfReshape: out.data = get(op.inputs[0]).data; break;
      case kTfConcatenation: {
        int rank = int(outT.shape.size());
        int axis = o.axis < 0 ? o.axis + rank : o.axis;
        size_t outer = 1, inner = 1;
        for (int i = 0; i < axis; ++i) outer *= size_t(outT.shape[size_t(i)]);
        for (int i = axis + 1; i < rank; ++i) inner *= size_t(outT.shape[size_t(i)]);
        size_t at = 0;
        for (size_t k = 0; k < outer; ++k)
          for (int32_t in : op.inputs) {
            NTensor a = get(in);
            size_t chunk = size_t(a.shape[size_t(axis)]) * inner;
            std::copy_n(a.data.begin() + std::ptrdiff_t(k * chunk), chunk, out.data.begin() + std::ptrdiff_t(at));
            at += chunk;
          }
        break;
      }
      default: throw std::runtime_error("reference: unsupported operator " + tfOperatorName(op));
    }
    if (o.activation == 1)
      for (float& f : out.data) f = std::max(f, 0.0f);
    v[op.outputs[0]] = std::move(out);
  }
  std::vector<NTensor> outs;
  for (int32_t i : m.outputs) outs.push_back(v.at(i));
  return outs;
}

}  // namespace tesmira::models::reference
