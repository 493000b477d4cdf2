// The WRL classes an SDK without wrl/implements.h (MinGW-w64) gets from
// wrl_classes.h, forced on here beside the layer's own. This executable includes
// no other WRL, so the two never meet.
#define TESMIRA_OWN_WRL_CLASSES
#include "vcam_source/wrl_classes.h"

#include <gtest/gtest.h>

#include <string>

struct ITestBase : public IUnknown {
  virtual int STDMETHODCALLTYPE base() = 0;
};
struct ITestDerived : public ITestBase {
  virtual int STDMETHODCALLTYPE derived() = 0;
};
struct ITestOther : public IUnknown {
  virtual int STDMETHODCALLTYPE other() = 0;
};
struct ITestUnlisted : public IUnknown {};
__CRT_UUID_DECL(ITestBase, 0x5d0f7a51, 0x1c2e, 0x4b7a, 0x9a, 0x10, 0x31, 0x6e, 0x2b, 0x44, 0x01, 0x01)
__CRT_UUID_DECL(ITestDerived, 0x5d0f7a51, 0x1c2e, 0x4b7a, 0x9a, 0x10, 0x31, 0x6e, 0x2b, 0x44, 0x01, 0x02)
__CRT_UUID_DECL(ITestOther, 0x5d0f7a51, 0x1c2e, 0x4b7a, 0x9a, 0x10, 0x31, 0x6e, 0x2b, 0x44, 0x01, 0x03)
__CRT_UUID_DECL(ITestUnlisted, 0x5d0f7a51, 0x1c2e, 0x4b7a, 0x9a, 0x10, 0x31, 0x6e, 0x2b, 0x44, 0x01, 0x04)

namespace {

using Microsoft::WRL::ChainInterfaces;
using Microsoft::WRL::ClassicCom;
using Microsoft::WRL::ComPtr;
using Microsoft::WRL::RuntimeClass;
using Microsoft::WRL::RuntimeClassFlags;

// The media source's shape: a chain first, then a plain interface.
class Thing : public RuntimeClass<RuntimeClassFlags<ClassicCom>, ChainInterfaces<ITestDerived, ITestBase>, ITestOther> {
 public:
  explicit Thing(bool* destroyed) : destroyed_(destroyed) {}
  ~Thing() override { *destroyed_ = true; }
  int STDMETHODCALLTYPE base() override { return 1; }
  int STDMETHODCALLTYPE derived() override { return 2; }
  int STDMETHODCALLTYPE other() override { return 3; }

 private:
  bool* destroyed_;
};

ULONG countOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

struct QueryCase {
  std::string name;
  const IID* iid;
  HRESULT want;
  int call;  // what the answered interface's own method returns; 0 for none
};

TEST(WrlClassesTest, QueryInterfaceAnswersEveryListedInterfaceAndOnlyThose) {
  const QueryCase cases[] = {
      {"chain head", &__uuidof(ITestDerived), S_OK, 2},
      {"chain base", &__uuidof(ITestBase), S_OK, 1},
      {"plain entry", &__uuidof(ITestOther), S_OK, 3},
      {"IUnknown", &__uuidof(IUnknown), S_OK, 0},
      {"unlisted", &__uuidof(ITestUnlisted), E_NOINTERFACE, 0},
  };
  bool destroyed = false;
  ComPtr<Thing> thing = Microsoft::WRL::Make<Thing>(&destroyed);
  ASSERT_TRUE(thing);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(static_cast<ITestOther*>(thing.Get())->QueryInterface(*c.iid, &out), c.want);
    if (FAILED(c.want)) {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(countOf(static_cast<ITestOther*>(thing.Get())), 1u);
      continue;
    }
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(countOf(static_cast<ITestOther*>(thing.Get())), 2u);
    switch (c.call) {
      case 1: EXPECT_EQ(static_cast<ITestBase*>(out)->base(), 1); break;
      case 2: EXPECT_EQ(static_cast<ITestDerived*>(out)->derived(), 2); break;
      case 3: EXPECT_EQ(static_cast<ITestOther*>(out)->other(), 3); break;
      default: break;
    }
    static_cast<IUnknown*>(out)->Release();
  }
  EXPECT_FALSE(destroyed);
}

// COM identity: IUnknown from any interface is one pointer, the chain's head.
TEST(WrlClassesTest, IUnknownIsTheSamePointerFromEveryInterface) {
  bool destroyed = false;
  ComPtr<Thing> thing = Microsoft::WRL::Make<Thing>(&destroyed);
  IUnknown* viaHead = nullptr;
  IUnknown* viaOther = nullptr;
  ASSERT_EQ(static_cast<ITestDerived*>(thing.Get())->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&viaHead)), S_OK);
  ASSERT_EQ(static_cast<ITestOther*>(thing.Get())->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&viaOther)), S_OK);
  EXPECT_EQ(viaHead, viaOther);
  EXPECT_EQ(viaHead, static_cast<IUnknown*>(static_cast<ITestDerived*>(thing.Get())));
  EXPECT_NE(static_cast<void*>(static_cast<ITestOther*>(thing.Get())), static_cast<void*>(viaHead));
  viaHead->Release();
  viaOther->Release();
}

TEST(WrlClassesTest, NullOutIsRefusedWithoutAReference) {
  bool destroyed = false;
  ComPtr<Thing> thing = Microsoft::WRL::Make<Thing>(&destroyed);
  EXPECT_EQ(static_cast<ITestOther*>(thing.Get())->QueryInterface(__uuidof(ITestOther), nullptr), E_POINTER);
  EXPECT_EQ(countOf(static_cast<ITestOther*>(thing.Get())), 1u);
}

// Make hands over the first reference; the last Release from any interface deletes.
TEST(WrlClassesTest, MakeOwnsTheFirstReferenceAndTheLastReleaseDeletes) {
  bool destroyed = false;
  ITestOther* other = nullptr;
  {
    ComPtr<Thing> thing = Microsoft::WRL::Make<Thing>(&destroyed);
    ASSERT_EQ(countOf(static_cast<ITestDerived*>(thing.Get())), 1u);
    ASSERT_EQ(static_cast<ITestDerived*>(thing.Get())->QueryInterface(__uuidof(ITestOther), reinterpret_cast<void**>(&other)), S_OK);
  }
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(other->Release(), 0u);
  EXPECT_TRUE(destroyed);
}

}  // namespace
