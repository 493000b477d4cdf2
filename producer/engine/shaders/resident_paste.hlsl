// Pastes the retouched crop back into the frame: only the change the retouch made,
// resampled into frame space.
Texture2D<float4> frameTex : register(t0);
Texture2D<float4> finalCropTex : register(t1);
Texture2D<float4> cropTex : register(t2);
SamplerState linSamp : register(s0);
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
  if (u < 0.0 || v < 0.0 || u > cropDim.x - 1 || v > cropDim.y - 1) return;
  float2 uvn = (float2(u, v) + 0.5) / float2(cropDim);
  float3 fin = finalCropTex.SampleLevel(linSamp, uvn, 0).xyz;
  float3 org = cropTex.SampleLevel(linSamp, uvn, 0).xyz;
  float3 f = frameTex.Load(int3(fx, fy, 0)).xyz;
  outTex[int2(fx, fy)] = float4(saturate(f + (fin - org)), 1.0);
}
