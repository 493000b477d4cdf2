// 16x16x16 colour look-up: 16 tiles of 16x16 texels along x, tile k for blue level k,
// red along a tile's columns, green along its rows (atlas texels in R, G, B, A order).
Texture2D<float4> srcTex : register(t0);
Texture2D<float4> lutTex : register(t1);
SamplerState linSamp : register(s0);
RWTexture2D<unorm float4> dstTex : register(u0);

cbuffer ToneParams : register(b0) {
  int2 frameDim;
  int2 tpad;
};

// c is (red, green, blue); the sampler interpolates red and green inside one tile,
// the lerp between two tiles interpolates blue.
float3 sampleToneLUT(float3 c) {
  c = saturate(c);
  float blue = c.b * 15.0;
  float b0 = floor(blue);
  float b1 = min(b0 + 1.0, 15.0);
  float blueFrac = blue - b0;
  float r = c.r * 15.0;
  float v = (c.g * 15.0 + 0.5) / 16.0;
  float u0 = (b0 * 16.0 + r + 0.5) / 256.0;
  float u1 = (b1 * 16.0 + r + 0.5) / 256.0;
  float3 s0 = lutTex.SampleLevel(linSamp, float2(u0, v), 0).rgb;
  float3 s1 = lutTex.SampleLevel(linSamp, float2(u1, v), 0).rgb;
  return lerp(s0, s1, blueFrac);
}

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int x = (int)id.x;
  int y = (int)id.y;
  if (x >= frameDim.x || y >= frameDim.y) return;
  float4 s = srcTex.Load(int3(x, y, 0));
  float3 graded = sampleToneLUT(float3(s.z, s.y, s.x));
  dstTex[int2(x, y)] = float4(graded.b, graded.g, graded.r, 1.0);
}
