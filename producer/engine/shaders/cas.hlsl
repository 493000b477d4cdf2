// Contrast-adaptive sharpening with one weight for all channels, so the sharpening
// stays hue-neutral near a channel's clipping point.
Texture2D<float4> srcTex : register(t0);
RWTexture2D<unorm float4> dstTex : register(u0);

cbuffer CasParams : register(b0) {
  int2 frameDim;
  float sharpness;
  float cpad;
};

float3 texel(int x, int y) { return srcTex.Load(int3(x, y, 0)).xyz; }

[numthreads(8, 8, 1)]
void main(uint3 id : SV_DispatchThreadID) {
  int x = (int)id.x;
  int y = (int)id.y;
  if (x >= frameDim.x || y >= frameDim.y) return;
  int xm = max(x - 1, 0);
  int xp = min(x + 1, frameDim.x - 1);
  int ym = max(y - 1, 0);
  int yp = min(y + 1, frameDim.y - 1);
  float3 a = texel(xm, ym);
  float3 b = texel(x, ym);
  float3 c = texel(xp, ym);
  float3 d = texel(xm, y);
  float3 e = texel(x, y);
  float3 f = texel(xp, y);
  float3 g = texel(xm, yp);
  float3 h = texel(x, yp);
  float3 i = texel(xp, yp);
  float3 mn = min(min(min(d, e), min(f, b)), h);
  mn = mn + min(min(min(mn, a), min(c, g)), i);
  float3 mx = max(max(max(d, e), max(f, b)), h);
  mx = mx + max(max(max(mx, a), max(c, g)), i);
  float3 amp3 = sqrt(saturate(min(mn, 2.0 - mx) * rcp(mx)));
  float amp = min(amp3.x, min(amp3.y, amp3.z));
  float peak = -1.0 / lerp(8.0, 5.0, sharpness);
  float w = amp * peak;
  float3 result = saturate((b * w + d * w + f * w + h * w + e) * rcp(1.0 + 4.0 * w));
  dstTex[int2(x, y)] = float4(result, 1.0);
}
