// The retouch's change at frame pixel f, bilinear with zero beyond the crop, as the CPU
// paste takes it; w is 0 where f maps outside the crop (a NaN fails the test as well).
// Prepended to the kernels that paste.
float4 cropChange(Texture2D<float4> finalCrop, Texture2D<float4> crop, int2 f, float2 m0, float2 m1, float2 mt,
                  int2 cropDim) {
  float u = m0.x * f.x + m0.y * f.y + mt.x;
  float v = m1.x * f.x + m1.y * f.y + mt.y;
  if (!(u > -1.0 && v > -1.0 && u < cropDim.x && v < cropDim.y)) return float4(0.0, 0.0, 0.0, 0.0);
  float2 p0 = floor(float2(u, v));
  float2 a = float2(u, v) - p0;
  int2 i0 = int2(p0);
  float3 d = float3(0.0, 0.0, 0.0);
  [unroll] for (int j = 0; j < 2; ++j) {
    [unroll] for (int i = 0; i < 2; ++i) {
      int2 q = i0 + int2(i, j);
      if (q.x < 0 || q.y < 0 || q.x >= cropDim.x || q.y >= cropDim.y) continue;
      float w = (i == 1 ? a.x : 1.0 - a.x) * (j == 1 ? a.y : 1.0 - a.y);
      d += w * (finalCrop.Load(int3(q, 0)).xyz - crop.Load(int3(q, 0)).xyz);
    }
  }
  return float4(d, 1.0);
}
