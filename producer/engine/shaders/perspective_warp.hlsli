// The perspective correction's colour for frame pixel (x, y): a backward warp by a coarse
// grid of offsets in pixels (row-major, gridSize columns by rows), bilinear from src.
// Prepended to the kernels that warp.
float3 warped(Texture2D<float4> src, StructuredBuffer<float2> field, int x, int y, int2 gridSize, int2 frameDim) {
  float2 g = float2(x, y) + 0.5;
  float2 uv = g / float2(frameDim);
  float gx = uv.x * gridSize.x - 0.5;
  float gy = uv.y * gridSize.y - 0.5;
  int x0 = clamp((int)floor(gx), 0, gridSize.x - 1);
  int y0 = clamp((int)floor(gy), 0, gridSize.y - 1);
  int x1 = min(x0 + 1, gridSize.x - 1);
  int y1 = min(y0 + 1, gridSize.y - 1);
  float fx = saturate(gx - x0);
  float fy = saturate(gy - y0);
  float2 o00 = field[y0 * gridSize.x + x0];
  float2 o10 = field[y0 * gridSize.x + x1];
  float2 o01 = field[y1 * gridSize.x + x0];
  float2 o11 = field[y1 * gridSize.x + x1];
  float2 off = lerp(lerp(o00, o10, fx), lerp(o01, o11, fx), fy);
  // The bilinear tap written out with loads: a software rasteriser's sampler costs several
  // times as much. Edges clamp, as the sampler's clamp addressing does; far-off positions are
  // clamped first so that no float beyond the int range is converted.
  float2 p = clamp(g + off - 0.5, float2(-1.0, -1.0), float2(frameDim));
  float2 p0 = floor(p);
  float2 a = p - p0;
  int2 i0 = int2(p0);
  int2 lo = clamp(i0, int2(0, 0), frameDim - 1);
  int2 hi = clamp(i0 + 1, int2(0, 0), frameDim - 1);
  float3 c00 = src.Load(int3(lo.x, lo.y, 0)).xyz;
  float3 c10 = src.Load(int3(hi.x, lo.y, 0)).xyz;
  float3 c01 = src.Load(int3(lo.x, hi.y, 0)).xyz;
  float3 c11 = src.Load(int3(hi.x, hi.y, 0)).xyz;
  return lerp(lerp(c00, c10, a.x), lerp(c01, c11, a.x), a.y);
}
