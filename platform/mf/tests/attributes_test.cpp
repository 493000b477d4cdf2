#include <gtest/gtest.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>
#include <tesmira/platform_testing.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

constexpr GUID kKeyA = {0x11111111, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kKeyB = {0x22222222, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kKeyC = {0x33333333, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};

ComPtr<IMFAttributes> makeStore() {
  ComPtr<IMFAttributes> store;
  EXPECT_EQ(MFCreateAttributes(&store, 4), S_OK);
  return store;
}

struct TypedCase {
  const char* name;
  HRESULT (*set)(IMFAttributes*);
  MF_ATTRIBUTE_TYPE type;
};

const TypedCase kTyped[] = {
    {"uint32", [](IMFAttributes* a) { return a->SetUINT32(kKeyA, 7); }, MF_ATTRIBUTE_UINT32},
    {"uint64", [](IMFAttributes* a) { return a->SetUINT64(kKeyA, 7); }, MF_ATTRIBUTE_UINT64},
    {"double", [](IMFAttributes* a) { return a->SetDouble(kKeyA, 7.5); }, MF_ATTRIBUTE_DOUBLE},
    {"guid", [](IMFAttributes* a) { return a->SetGUID(kKeyA, kKeyB); }, MF_ATTRIBUTE_GUID},
    {"string", [](IMFAttributes* a) { return a->SetString(kKeyA, L"x"); }, MF_ATTRIBUTE_STRING},
    {"blob", [](IMFAttributes* a) { const UINT8 b[2] = {1, 2}; return a->SetBlob(kKeyA, b, 2); }, MF_ATTRIBUTE_BLOB},
    {"unknown", [](IMFAttributes* a) { return a->SetUnknown(kKeyA, makeStore().Get()); }, MF_ATTRIBUTE_IUNKNOWN},
};

// Every typed getter answers MF_E_INVALIDTYPE for an item of another type and
// MF_E_ATTRIBUTENOTFOUND for a missing key.
TEST(Attributes, TypedGettersCheckTypeAndPresence) {
  for (const auto& c : kTyped) {
    SCOPED_TRACE(c.name);
    auto store = makeStore();
    ASSERT_EQ(c.set(store.Get()), S_OK);
    MF_ATTRIBUTE_TYPE type{};
    ASSERT_EQ(store->GetItemType(kKeyA, &type), S_OK);
    EXPECT_EQ(type, c.type);
    UINT32 u32;
    UINT64 u64;
    double d;
    GUID g;
    UINT32 n;
    ComPtr<IUnknown> unk;
    auto expectFor = [&](MF_ATTRIBUTE_TYPE t) { return c.type == t ? S_OK : MF_E_INVALIDTYPE; };
    EXPECT_EQ(store->GetUINT32(kKeyA, &u32), expectFor(MF_ATTRIBUTE_UINT32));
    EXPECT_EQ(store->GetUINT64(kKeyA, &u64), expectFor(MF_ATTRIBUTE_UINT64));
    EXPECT_EQ(store->GetDouble(kKeyA, &d), expectFor(MF_ATTRIBUTE_DOUBLE));
    EXPECT_EQ(store->GetGUID(kKeyA, &g), expectFor(MF_ATTRIBUTE_GUID));
    EXPECT_EQ(store->GetStringLength(kKeyA, &n), expectFor(MF_ATTRIBUTE_STRING));
    EXPECT_EQ(store->GetBlobSize(kKeyA, &n), expectFor(MF_ATTRIBUTE_BLOB));
    EXPECT_EQ(store->GetUnknown(kKeyA, IID_PPV_ARGS(&unk)), expectFor(MF_ATTRIBUTE_IUNKNOWN));
    EXPECT_EQ(store->GetUINT32(kKeyB, &u32), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(store->GetItem(kKeyB, nullptr), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(store->GetItem(kKeyA, nullptr), S_OK);
  }
}

TEST(Attributes, StringAndBlobBuffersMustHoldTheValue) {
  auto store = makeStore();
  ASSERT_EQ(store->SetString(kKeyA, L"Tesmira"), S_OK);
  wchar_t small[7];
  UINT32 length = 0;
  EXPECT_EQ(store->GetString(kKeyA, small, 7, &length), E_NOT_SUFFICIENT_BUFFER);
  EXPECT_EQ(length, 7u);
  wchar_t exact[8];
  EXPECT_EQ(store->GetString(kKeyA, exact, 8, &length), S_OK);
  EXPECT_EQ(std::wstring(exact), L"Tesmira");
  LPWSTR allocated = nullptr;
  ASSERT_EQ(store->GetAllocatedString(kKeyA, &allocated, &length), S_OK);
  EXPECT_EQ(std::wstring(allocated), L"Tesmira");
  CoTaskMemFree(allocated);

  const UINT8 blob[3] = {9, 8, 7};
  ASSERT_EQ(store->SetBlob(kKeyB, blob, 3), S_OK);
  UINT8 out[3] = {};
  UINT32 size = 0;
  EXPECT_EQ(store->GetBlob(kKeyB, out, 2, &size), E_NOT_SUFFICIENT_BUFFER);
  EXPECT_EQ(store->GetBlob(kKeyB, out, 3, &size), S_OK);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(out[2], 7);
}

TEST(Attributes, SetItemRefusesTypesOutsideTheAttributeSet) {
  auto store = makeStore();
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_I8;
  EXPECT_EQ(store->SetItem(kKeyA, &v), MF_E_INVALIDTYPE);
  UINT32 count = 9;
  store->GetCount(&count);
  EXPECT_EQ(count, 0u);
}

TEST(Attributes, ItemsKeepInsertionOrderAndReplaceInPlace) {
  auto store = makeStore();
  store->SetUINT32(kKeyB, 1);
  store->SetUINT32(kKeyA, 2);
  store->SetUINT32(kKeyB, 3);
  GUID key;
  PROPVARIANT v;
  PropVariantInit(&v);
  ASSERT_EQ(store->GetItemByIndex(0, &key, &v), S_OK);
  EXPECT_EQ(key, kKeyB);
  EXPECT_EQ(v.ulVal, 3u);
  ASSERT_EQ(store->GetItemByIndex(1, &key, nullptr), S_OK);
  EXPECT_EQ(key, kKeyA);
  EXPECT_EQ(store->GetItemByIndex(2, &key, nullptr), E_INVALIDARG);
}

TEST(Attributes, CopyAllItemsReplacesTheDestination) {
  auto source = makeStore();
  source->SetUINT32(kKeyA, 1);
  source->SetString(kKeyB, L"from source");
  auto destination = makeStore();
  destination->SetUINT32(kKeyC, 99);
  destination->SetUINT32(kKeyA, 42);
  ASSERT_EQ(source->CopyAllItems(destination.Get()), S_OK);
  UINT32 count = 0, value = 0;
  destination->GetCount(&count);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(destination->GetUINT32(kKeyC, &value), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(destination->GetUINT32(kKeyA, &value), S_OK);
  EXPECT_EQ(value, 1u);
  // Copying into itself keeps everything.
  ASSERT_EQ(source->CopyAllItems(source.Get()), S_OK);
  source->GetCount(&count);
  EXPECT_EQ(count, 2u);
}

TEST(Attributes, CompareFollowsTheMatchType) {
  auto ours = makeStore();
  ours->SetUINT32(kKeyA, 1);
  auto theirs = makeStore();
  theirs->SetUINT32(kKeyA, 1);
  theirs->SetUINT32(kKeyB, 2);
  struct Row {
    MF_ATTRIBUTES_MATCH_TYPE type;
    BOOL expected;
  } rows[] = {
      {MF_ATTRIBUTES_MATCH_OUR_ITEMS, TRUE},   {MF_ATTRIBUTES_MATCH_THEIR_ITEMS, FALSE},
      {MF_ATTRIBUTES_MATCH_ALL_ITEMS, FALSE},  {MF_ATTRIBUTES_MATCH_INTERSECTION, TRUE},
      {MF_ATTRIBUTES_MATCH_SMALLER, TRUE},
  };
  for (auto& row : rows) {
    BOOL result = 2;
    ASSERT_EQ(ours->Compare(theirs.Get(), row.type, &result), S_OK);
    EXPECT_EQ(result, row.expected) << row.type;
  }
  theirs->SetUINT32(kKeyA, 5);
  BOOL result = TRUE;
  ours->Compare(theirs.Get(), MF_ATTRIBUTES_MATCH_INTERSECTION, &result);
  EXPECT_FALSE(result);
}

TEST(MediaType, IsEqualReportsWhichPartsMatch) {
  ComPtr<IMFMediaType> a, b;
  MFCreateMediaType(&a);
  MFCreateMediaType(&b);
  for (auto& t : {a, b}) {
    t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    t->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    MFSetAttributeSize(t.Get(), MF_MT_FRAME_SIZE, 1280, 720);
  }
  DWORD flags = 0;
  EXPECT_EQ(a->IsEqual(b.Get(), &flags), S_OK);
  EXPECT_EQ(flags, 0xFu);
  MFSetAttributeSize(b.Get(), MF_MT_FRAME_SIZE, 640, 480);
  EXPECT_EQ(a->IsEqual(b.Get(), &flags), S_FALSE);
  EXPECT_EQ(flags, DWORD(MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA));
  GUID major{};
  EXPECT_EQ(a->GetMajorType(&major), S_OK);
  EXPECT_EQ(major, MFMediaType_Video);
}

TEST(MediaEvent, CarriesTypeStatusAndACopiedValue) {
  PROPVARIANT v;
  PropVariantInit(&v);
  v.vt = VT_I8;
  v.hVal.QuadPart = -5;
  ComPtr<IMFMediaEvent> event;
  ASSERT_EQ(MFCreateMediaEvent(MESourceStarted, GUID_NULL, E_FAIL, &v, &event), S_OK);
  MediaEventType type = 0;
  HRESULT status = S_OK;
  PROPVARIANT out;
  PropVariantInit(&out);
  event->GetType(&type);
  event->GetStatus(&status);
  event->GetValue(&out);
  EXPECT_EQ(type, DWORD(MESourceStarted));
  EXPECT_EQ(status, E_FAIL);
  EXPECT_EQ(out.vt, VT_I8);
  EXPECT_EQ(out.hVal.QuadPart, -5);
}

TEST(MFGetSystemTime, FollowsTheTestClockIn100nsUnits) {
  tesmira::platform::testclock::freeze();
  MFTIME a = MFGetSystemTime();
  tesmira::platform::testclock::advanceMs(5);
  EXPECT_EQ(MFGetSystemTime() - a, 50000);
  tesmira::platform::testclock::release();
}

}  // namespace
