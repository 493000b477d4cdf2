// Applies the skin field (40x64, upsampled to the 320x512 crop) to the crop.
Texture2D<float4> cropTex : register(t0);
Texture2D<float4> fieldTex : register(t1);
Texture2D<float> maskTex : register(t2);
SamplerState linSamp : register(s0);
RWTexture2D<unorm float4> finalCrop : register(u0);

cbuffer CompositeParams : register(b0) {
  float gain;
  int maskBypass;
  int2 cropDim;
  int2 fieldDim;
  int2 cpad;
};

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int x = (int)id.x;
  int y = (int)id.y;
  if (x >= cropDim.x || y >= cropDim.y) return;
  float2 uvn = (float2(x, y) + 0.5) / float2(cropDim);
  float4 F = fieldTex.SampleLevel(linSamp, uvn, 0);
  float mask = maskBypass != 0 ? 1.0 : maskTex.Load(int3(x, y, 0));
  float a = mask * gain;
  float da = F.a * 1.75 - 0.25;
  float3 o = cropTex.Load(int3(x, y, 0)).xyz;
  // The field's channels 0, 1, 2 drive red, green and blue.
  float dB = F.b * 1.5 - 0.25;
  float dG = F.g * 1.5 - 0.25;
  float dR = F.r * 1.5 - 0.25;
  finalCrop[int2(x, y)] = float4(saturate(o.x + a * (dB - da * o.x)),
                                 saturate(o.y + a * (dG - da * o.y)),
                                 saturate(o.z + a * (dR - da * o.z)), 1.0);
}
