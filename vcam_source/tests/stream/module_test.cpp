// The module as the frame server sees it: loaded by path, two exports.
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/host_calls.h"
#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNow = HRESULT (*)();

class ModuleTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    module_ = LoadLibraryW(std::filesystem::path(TESMIRA_VCAM_DLL).wstring().c_str());
    ASSERT_NE(module_, nullptr) << GetLastError();
    getClassObject_ = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    canUnloadNow_ = reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    ASSERT_NE(getClassObject_, nullptr);
    ASSERT_NE(canUnloadNow_, nullptr);
  }
  ComPtr<IClassFactory> factory() {
    ComPtr<IClassFactory> f;
    EXPECT_EQ(getClassObject_(CLSID_TesmiraMediaSource, IID_IClassFactory, reinterpret_cast<void**>(f.GetAddressOf())), S_OK);
    return f;
  }
  HMODULE module_ = nullptr;  // never freed: the module is never unloaded
  GetClassObject getClassObject_ = nullptr;
  CanUnloadNow canUnloadNow_ = nullptr;
};

// The names after EXPORTS in the module-definition file, up to the next section.
std::set<std::string> definitionFileExports() {
  std::ifstream in(TESMIRA_VCAM_DEF);
  std::set<std::string> names;
  bool exports = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first[0] == ';') continue;
    if (first == "EXPORTS") {
      exports = true;
    } else if (first == "LIBRARY" || first == "NAME" || first == "SECTIONS" || first == "DESCRIPTION") {
      exports = false;
    } else if (exports) {
      names.insert(first);
    }
  }
  return names;
}

TEST_F(ModuleTest, ExportsExactlyTheTwoEntryPoints) {
  std::set<std::string> exported;
  std::istringstream symbols(tesmira::testing::commandOutput(std::string("nm -D --defined-only ") + TESMIRA_VCAM_DLL));
  for (std::string line; std::getline(symbols, line);) {
    char address[64], kind[8], name[400];
    if (sscanf(line.c_str(), "%63s %7s %399s", address, kind, name) == 3) exported.insert(name);
  }
  EXPECT_EQ(exported, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject"}));
  EXPECT_EQ(definitionFileExports(), exported);
}

TEST_F(ModuleTest, DllGetClassObjectAnswers) {
  constexpr GUID kOtherClass = {0xFB0AFEDC, 0x9B71, 0x404F, {0x81, 0x54, 0x36, 0xCC, 0x0E, 0xF0, 0xA5, 0x51}};
  struct Row {
    const char* name;
    const GUID* clsid;
    const GUID* riid;
    bool withOut;
    HRESULT expected;
  } rows[] = {
      {"factory", &CLSID_TesmiraMediaSource, &IID_IClassFactory, true, S_OK},
      {"unknown", &CLSID_TesmiraMediaSource, &IID_IUnknown, true, S_OK},
      {"activate riid", &CLSID_TesmiraMediaSource, &IID_IMFActivate, true, E_NOINTERFACE},
      {"other class", &kOtherClass, &IID_IClassFactory, true, CLASS_E_CLASSNOTAVAILABLE},
      {"null class", &GUID_NULL, &IID_IUnknown, true, CLASS_E_CLASSNOTAVAILABLE},
      {"null out", &CLSID_TesmiraMediaSource, &IID_IClassFactory, false, E_POINTER},
      {"null out, other class", &kOtherClass, &IID_IClassFactory, false, E_POINTER},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(getClassObject_(*row.clsid, *row.riid, row.withOut ? &out : nullptr), row.expected);
    if (row.withOut) {
      EXPECT_EQ(out != nullptr, row.expected == S_OK);
      if (out) static_cast<IUnknown*>(out)->Release();
    }
  }
  // Each call logged before any check, the refused class included.
  std::string log = serviceLog();
  EXPECT_NE(log.find("source: DllGetClassObject clsid={FB0AFEDC-9B71-404F-8154-36CC0EF0A551} riid="
                     "{00000001-0000-0000-C000-000000000046}"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("source: DllGetClassObject clsid={00000000-0000-0000-0000-000000000000}"), std::string::npos);
}

TEST_F(ModuleTest, DllCanUnloadNowAlwaysAnswersFalse) {
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  auto f = factory();
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
}

TEST_F(ModuleTest, CreateInstanceAnswers) {
  auto f = factory();
  ASSERT_TRUE(f);
  ComPtr<IUnknown> outer;
  f->QueryInterface(IID_PPV_ARGS(&outer));
  struct Row {
    const char* name;
    IUnknown* outer;
    const GUID* riid;
    bool withOut;
    HRESULT expected;
  } rows[] = {
      {"activate", nullptr, &IID_IMFActivate, true, S_OK},
      {"attributes", nullptr, &IID_IMFAttributes, true, S_OK},
      {"unknown", nullptr, &IID_IUnknown, true, S_OK},
      {"media source", nullptr, &IID_IMFMediaSource, true, E_NOINTERFACE},
      {"class factory", nullptr, &IID_IClassFactory, true, E_NOINTERFACE},
      {"aggregation", outer.Get(), &IID_IUnknown, true, CLASS_E_NOAGGREGATION},
      {"null out", nullptr, &IID_IMFActivate, false, E_POINTER},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f->CreateInstance(row.outer, *row.riid, row.withOut ? &out : nullptr), row.expected);
    if (row.withOut) {
      EXPECT_EQ(out != nullptr, row.expected == S_OK);
      if (out) static_cast<IUnknown*>(out)->Release();
    }
  }
  EXPECT_EQ(f->LockServer(TRUE), S_OK);
}

TEST_F(ModuleTest, FactoryAnswersOnlyItsOwnInterfaces) {
  auto f = factory();
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(f->QueryInterface(IID_PPV_ARGS(&unknown)), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(f.Get()));
  void* raw = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(f->QueryInterface(IID_IMFActivate, &raw), E_NOINTERFACE);
  EXPECT_EQ(raw, nullptr);
}

}  // namespace
}  // namespace tesmira::vcam::testing
