// Packs the final frame into NV12 bytes, four per texel: h rows of Y, then h / 2 rows
// of interleaved U, V from the 2x2 mean of the colours. One thread packs a 4x2 block,
// its two Y texels and the chroma texel below, reading each source texel once; the
// threads start at block blockMin.
//
// Built with PASTE defined, it repacks the blocks over the paste region after the plain
// pass, adding the retouched crop's change inside the region as residentPaste writes it
// (rounded to 8 bits): a road without global effects needs no pasted frame. A separate
// build, because CPU rasterisers run both sides of a branch.
//
// Built with PERSPECTIVE defined, it packs the perspective correction of its source (the
// last global effect) on the way, so that pass writes no frame of its own.
Texture2D<float4> srcTex : register(t0);
#ifdef PERSPECTIVE
StructuredBuffer<float2> field : register(t1);
#else
Texture2D<float4> finalCropTex : register(t1);
Texture2D<float4> cropTex : register(t2);
#endif
RWTexture2D<unorm float4> nv12Tex : register(u0);

cbuffer Nv12Params : register(b0) {
  int2 frameDim;
  int2 blockMin;
  float2 m0;
  float2 m1;
  float2 mt;
  int2 roiMin;
  int2 roiMax;  // exclusive; empty when no crop is pasted
  int2 cropDim;
  int2 gridSize;  // the perspective build's field: columns, rows
  int2 gpad;
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

#ifdef PASTE
// residentPaste's arithmetic for one frame pixel, rounded to 8 bits as out would hold it.
float3 pasted(int fx, int fy, float3 f) {
  float4 d = cropChange(finalCropTex, cropTex, int2(fx, fy), m0, m1, mt, cropDim);
  if (d.w == 0.0) return f;
  return floor(saturate(f + d.xyz) * 255.0 + 0.5) / 255.0;
}

float3 texel(int x, int y) {
  float3 f = srcTex.Load(int3(x, y, 0)).xyz;
  if (x >= roiMin.x && y >= roiMin.y && x < roiMax.x && y < roiMax.y) f = pasted(x, y, f);
  return f;
}
#elif defined(PERSPECTIVE)
// Rounded to 8 bits, as the perspective pass would store it.
float3 texel(int x, int y) {
  return floor(saturate(warped(srcTex, field, x, y, gridSize, frameDim)) * 255.0 + 0.5) / 255.0;
}
#else
float3 texel(int x, int y) { return srcTex.Load(int3(x, y, 0)).xyz; }
#endif

[numthreads(32, 1, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int h = frameDim.y;
  int x = blockMin.x + (int)id.x;
  int y0 = 2 * (blockMin.y + (int)id.y);
  if (x >= frameDim.x / 4 || y0 >= h) return;
#ifndef PASTE
  // The blocks over a paste region are left to the paste build.
  int by = y0 / 2;
  if (x >= roiMin.x / 4 && x < (roiMax.x + 3) / 4 && by >= roiMin.y / 2 && by < (roiMax.y + 1) / 2) return;
#endif
  int baseX = 4 * x;
  float3 t0 = texel(baseX, y0), t1 = texel(baseX + 1, y0), t2 = texel(baseX + 2, y0), t3 = texel(baseX + 3, y0);
  nv12Tex[int2(x, y0)] = float4(lumaY(t0), lumaY(t1), lumaY(t2), lumaY(t3));
  // An odd height's last row has no partner and no chroma.
  if (y0 + 1 >= h) return;
  float3 b0 = texel(baseX, y0 + 1), b1 = texel(baseX + 1, y0 + 1), b2 = texel(baseX + 2, y0 + 1),
         b3 = texel(baseX + 3, y0 + 1);
  nv12Tex[int2(x, y0 + 1)] = float4(lumaY(b0), lumaY(b1), lumaY(b2), lumaY(b3));
  float2 a = chromaUV((t0 + t1 + b0 + b1) * 0.25);
  float2 b = chromaUV((t2 + t3 + b2 + b3) * 0.25);
  nv12Tex[int2(x, h + y0 / 2)] = float4(a.x, a.y, b.x, b.y);
}
