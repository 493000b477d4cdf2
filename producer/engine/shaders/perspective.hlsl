// The perspective correction over the frame (warped, perspective_warp.hlsli).
Texture2D<float4> srcTex : register(t0);
StructuredBuffer<float2> field : register(t1);
RWTexture2D<unorm float4> dstTex : register(u0);

cbuffer PerspectiveParams : register(b0) {
  int2 gridSize;
  int2 frameDim;
};

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int x = (int)id.x;
  int y = (int)id.y;
  if (x >= frameDim.x || y >= frameDim.y) return;
  dstTex[int2(x, y)] = float4(warped(srcTex, field, x, y, gridSize, frameDim), 1.0);
}
