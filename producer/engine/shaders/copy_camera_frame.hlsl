// Camera texture into the frame texture: the camera's red, green, blue become the
// compositor's BGR in xyz, mirrored horizontally on request.
Texture2D<float4> srcTex : register(t0);
RWTexture2D<unorm float4> frameTex : register(u0);

cbuffer FrameCopyParams : register(b0) {
  int2 frameDim;
  int mirrorX;
  int pad;
};

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int x = (int)id.x;
  int y = (int)id.y;
  if (x >= frameDim.x || y >= frameDim.y) return;
  int sx = mirrorX != 0 ? frameDim.x - 1 - x : x;
  float4 p = srcTex.Load(int3(sx, y, 0));
  frameTex[int2(x, y)] = float4(p.b, p.g, p.r, 1.0);
}
