// Pastes the retouched crop back into the frame: only the change the retouch made,
// resampled into frame space (cropChange, crop_change.hlsli).
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
  float4 d = cropChange(finalCropTex, cropTex, int2(fx, fy), m0, m1, mt, cropDim);
  if (d.w == 0.0) return;
  float3 f = frameTex.Load(int3(fx, fy, 0)).xyz;
  outTex[int2(fx, fy)] = float4(saturate(f + d.xyz), 1.0);
}
