// Packs the final frame into NV12 bytes, four per texel: h rows of Y, then h / 2 rows
// of interleaved U, V from the 2x2 mean of the colours.
Texture2D<float4> srcTex : register(t0);
RWTexture2D<unorm float4> nv12Tex : register(u0);

cbuffer Nv12Params : register(b0) {
  int2 frameDim;
  int2 npad;
};

// The integer-style BT.601 formula, keeping its fractions.
float lumaY(float3 bgr) {
  float r = bgr.z * 255.0;
  float g = bgr.y * 255.0;
  float b = bgr.x * 255.0;
  float Y = (66.0 * r + 129.0 * g + 25.0 * b + 128.0) / 256.0 + 16.0;
  return saturate(Y / 255.0);
}

float2 chromaUV(float3 bgr) {
  float r = bgr.z * 255.0;
  float g = bgr.y * 255.0;
  float b = bgr.x * 255.0;
  float U = (-38.0 * r - 74.0 * g + 112.0 * b + 128.0) / 256.0 + 128.0;
  float V = (112.0 * r - 94.0 * g - 18.0 * b + 128.0) / 256.0 + 128.0;
  return saturate(float2(U, V) / 255.0);
}

float3 texel(int x, int y) { return srcTex.Load(int3(x, y, 0)).xyz; }

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int packW = frameDim.x / 4;
  int h = frameDim.y;
  int x = (int)id.x;
  int y = (int)id.y;
  if (x >= packW || y >= h + h / 2) return;
  int baseX = 4 * x;
  if (y < h) {
    nv12Tex[int2(x, y)] = float4(lumaY(texel(baseX, y)), lumaY(texel(baseX + 1, y)),
                                 lumaY(texel(baseX + 2, y)), lumaY(texel(baseX + 3, y)));
    return;
  }
  int y0 = 2 * (y - h);
  float3 A = (texel(baseX, y0) + texel(baseX + 1, y0) + texel(baseX, y0 + 1) + texel(baseX + 1, y0 + 1)) * 0.25;
  float3 B = (texel(baseX + 2, y0) + texel(baseX + 3, y0) + texel(baseX + 2, y0 + 1) + texel(baseX + 3, y0 + 1)) * 0.25;
  float2 a = chromaUV(A);
  float2 b = chromaUV(B);
  nv12Tex[int2(x, y)] = float4(a.x, a.y, b.x, b.y);
}
