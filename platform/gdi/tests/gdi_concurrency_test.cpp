// Media Foundation asks for samples on several threads: GDI drawing in one
// device context per thread must neither race nor change the pixels.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> drawLine(const wchar_t* text, int weight) {
  constexpr int kWidth = 320, kHeight = 60;
  std::vector<uint8_t> pixels;
  HDC dc = CreateCompatibleDC(nullptr);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), kWidth, -kHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!section) return pixels;
  HGDIOBJ oldBitmap = SelectObject(dc, section);
  HBRUSH brush = CreateSolidBrush(RGB(0x12, 0x0F, 0x14));
  RECT all{0, 0, kWidth, kHeight};
  FillRect(dc, &all, brush);
  DeleteObject(brush);
  SetBkMode(dc, TRANSPARENT);
  HFONT font = CreateFontW(-24, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                           ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
  HGDIOBJ oldFont = SelectObject(dc, font);
  SetTextColor(dc, RGB(255, 255, 255));
  DrawTextW(dc, text, -1, &all, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, oldFont);
  DeleteObject(font);
  const auto* p = static_cast<const uint8_t*>(bits);
  pixels.assign(p, p + kWidth * kHeight * 4);
  SelectObject(dc, oldBitmap);
  DeleteObject(section);
  DeleteDC(dc);
  return pixels;
}

TEST(GdiConcurrencyTest, ThreadsDrawingAtOnceGetTheSamePixelsAsOneThread) {
  const wchar_t* texts[] = {L"Starting your camera", L"Your camera is in use"};
  const std::vector<uint8_t> expected[] = {drawLine(texts[0], FW_SEMIBOLD), drawLine(texts[1], FW_NORMAL)};
  ASSERT_FALSE(expected[0].empty());
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const int which = (t + i) % 2;
        mismatches[t] += drawLine(texts[which], which == 0 ? FW_SEMIBOLD : FW_NORMAL) != expected[which];
      }
    });
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
