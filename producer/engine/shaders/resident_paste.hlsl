// Pastes the retouched crop back into the frame: only the change the retouch made,
// resampled into frame space.
Texture2D<float4> frameTex : register(t0);
Texture2D<float4> finalCropTex : register(t1);
Texture2D<float4> cropTex : register(t2);
RWTexture2D<unorm float4> outTex : register(u0);

cbuffer Params : register(b0) {
  float2 m0;
  float2 m1;
  float2 mt;
  int2 roiMin;
  int2 roiMax;
  int2 cropDim;
  int2 pad;
};

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int fx = roiMin.x + (int)id.x;
  int fy = roiMin.y + (int)id.y;
  if (fx >= roiMax.x || fy >= roiMax.y) return;
  float u = m0.x * fx + m0.y * fy + mt.x;
  float v = m1.x * fx + m1.y * fy + mt.y;
  // The change, bilinear with zero beyond the crop, as the CPU paste takes it; a NaN fails
  // the test as well.
  if (!(u > -1.0 && v > -1.0 && u < cropDim.x && v < cropDim.y)) return;
  float2 p0 = floor(float2(u, v));
  float2 a = float2(u, v) - p0;
  int2 i0 = int2(p0);
  float3 d = float3(0.0, 0.0, 0.0);
  [unroll] for (int j = 0; j < 2; ++j) {
    [unroll] for (int i = 0; i < 2; ++i) {
      int2 q = i0 + int2(i, j);
      if (q.x < 0 || q.y < 0 || q.x >= cropDim.x || q.y >= cropDim.y) continue;
      float w = (i == 1 ? a.x : 1.0 - a.x) * (j == 1 ? a.y : 1.0 - a.y);
      d += w * (finalCropTex.Load(int3(q, 0)).xyz - cropTex.Load(int3(q, 0)).xyz);
    }
  }
  float3 f = frameTex.Load(int3(fx, fy, 0)).xyz;
  outTex[int2(fx, fy)] = float4(saturate(f + d), 1.0);
}
