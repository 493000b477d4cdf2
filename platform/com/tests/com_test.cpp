#include <gtest/gtest.h>
#include <objbase.h>

#include <string>
#include <thread>

namespace {

constexpr GUID kSample = {0xFB0AFEDC, 0x9B71, 0x404F, {0x81, 0x54, 0x36, 0xCC, 0x0E, 0xF0, 0xA5, 0x50}};

TEST(StringFromGUID2, WritesBracedUpperCaseAndTerminator) {
  wchar_t text[64];
  std::fill(std::begin(text), std::end(text), L'#');
  ASSERT_EQ(StringFromGUID2(kSample, text, 39), 39);
  EXPECT_EQ(std::wstring(text), L"{FB0AFEDC-9B71-404F-8154-36CC0EF0A550}");
  EXPECT_EQ(text[39], L'#');  // nothing written past the terminator
}

TEST(StringFromGUID2, RefusesShortBuffers) {
  wchar_t text[38];
  EXPECT_EQ(StringFromGUID2(kSample, text, 38), 0);
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
}

TEST(CLSIDFromString, RoundTripsAndRefusesMalformedText) {
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(L"{fb0afedc-9b71-404f-8154-36cc0ef0a550}", &parsed), S_OK);
  EXPECT_EQ(parsed, kSample);
  for (const wchar_t* bad : {L"", L"FB0AFEDC-9B71-404F-8154-36CC0EF0A550", L"{FB0AFEDC-9B71-404F-8154-36CC0EF0A55}",
                             L"{FB0AFEDC-9B71-404F-8154-36CC0EF0A550}x", L"{FB0AFEDC-9B71-404F-81543-6CC0EF0A550}",
                             L"{GB0AFEDC-9B71-404F-8154-36CC0EF0A550}"}) {
    EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << std::wstring(bad).size();
  }
}

TEST(CoInitializeEx, CountsPerThreadAndRefusesAModelChange) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  }).join();
}

struct CountingUnknown : IUnknown {
  ULONG refs = 1;
  STDMETHOD(QueryInterface)(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
  STDMETHOD_(ULONG, Release)() override { return --refs; }
};

TEST(PropVariant, CopyIsDeepAndClearReleases) {
  PROPVARIANT source;
  PropVariantInit(&source);
  source.vt = VT_LPWSTR;
  source.pwszVal = const_cast<LPWSTR>(L"Tesmira");
  PROPVARIANT copy;
  ASSERT_EQ(PropVariantCopy(&copy, &source), S_OK);
  EXPECT_NE(copy.pwszVal, source.pwszVal);
  EXPECT_EQ(std::wstring(copy.pwszVal), L"Tesmira");
  PropVariantClear(&copy);
  EXPECT_EQ(copy.vt, VT_EMPTY);

  CountingUnknown unknown;
  source.vt = VT_UNKNOWN;
  source.punkVal = &unknown;
  ASSERT_EQ(PropVariantCopy(&copy, &source), S_OK);
  EXPECT_EQ(unknown.refs, 2u);
  PropVariantClear(&copy);
  EXPECT_EQ(unknown.refs, 1u);

  source.vt = 0x7777;
  EXPECT_EQ(PropVariantCopy(&copy, &source), DISP_E_BADVARTYPE);
}

}  // namespace
