#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

class ActivateTest : public tesmira::testing::MachineTest {};

constexpr GUID kFrameServerKey = {0x0A0B0C0D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

TEST_F(ActivateTest, FreshObjectHoldsOnlyTheAssociatedSourcesFlag) {
  auto activate = makeActivate();
  UINT32 count = 0, value = 0;
  activate->GetCount(&count);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(activate->GetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, &value), S_OK);
  EXPECT_EQ(value, 1u);
  ComPtr<IMFAttributes> attributes;
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(activate->QueryInterface(IID_PPV_ARGS(&attributes)), S_OK);
  ASSERT_EQ(activate->QueryInterface(IID_PPV_ARGS(&unknown)), S_OK);
  EXPECT_EQ(static_cast<void*>(attributes.Get()), static_cast<void*>(activate.Get()));
  EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(activate.Get()));
  ComPtr<IMFMediaSource> notOffered;
  EXPECT_EQ(activate->QueryInterface(IID_PPV_ARGS(&notOffered)), E_NOINTERFACE);
}

TEST_F(ActivateTest, SettersLogAndForward) {
  auto activate = makeActivate();
  EXPECT_EQ(activate->SetGUID(kFrameServerKey, MFVideoFormat_NV12), S_OK);
  EXPECT_EQ(activate->SetString(kFrameServerKey, nullptr), E_POINTER);  // the store's own answer
  GUID value{};
  EXPECT_EQ(activate->GetGUID(kFrameServerKey, &value), S_OK);
  EXPECT_EQ(value, MFVideoFormat_NV12);
  EXPECT_EQ(activate->SetString(kFrameServerKey, L"Tesmira"), S_OK);
  std::string log = serviceLog();
  EXPECT_NE(log.find("source: activate SetGUID key={0A0B0C0D-0001-0002-0304-05060708090A} value="
                     "{3231564E-0000-0010-8000-00AA00389B71}"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("source: activate SetString key={0A0B0C0D-0001-0002-0304-05060708090A} value=<null>"), std::string::npos);
  EXPECT_NE(log.find("value=Tesmira"), std::string::npos);
}

TEST_F(ActivateTest, EachActivationMakesANewSourceFromTheStore) {
  auto activate = makeActivate();
  activate->SetUINT32(kFrameServerKey, 77);
  ComPtr<IMFMediaSourceEx> first, second;
  ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
  ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&second)), S_OK);
  EXPECT_NE(first.Get(), second.Get());
  // The activation items, then the source's own and the sensor profiles.
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(first->GetSourceAttributes(&attributes), S_OK);
  UINT32 value = 0;
  EXPECT_EQ(attributes->GetUINT32(kFrameServerKey, &value), S_OK);
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(attributes->GetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, &value), S_OK);
  ComPtr<IMFSensorProfileCollection> profiles;
  ASSERT_EQ(attributes->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&profiles)), S_OK);
  ASSERT_EQ(profiles->GetProfileCount(), 1u);
  ComPtr<IMFSensorProfile> profile;
  profiles->GetProfile(0, &profile);
  SENSORPROFILEID id{};
  profile->GetProfileId(&id);
  EXPECT_EQ(id.Type, KSCAMERAPROFILE_Legacy);
  EXPECT_EQ(id.Index, 0u);
  GUID type{};
  EXPECT_EQ(attributes->GetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, &type), S_OK);
  UINT32 length = 0;
  EXPECT_EQ(attributes->GetStringLength(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, &length), S_OK);
  UINT32 count = 0;
  attributes->GetCount(&count);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(activate->ActivateObject(IID_IMFMediaSource, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(activate->ActivateObject(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(activate->ShutdownObject(), S_OK);
  EXPECT_EQ(activate->DetachObject(), S_OK);
  // Neither touches the sources made before.
  DWORD characteristics = 0;
  EXPECT_EQ(first->GetCharacteristics(&characteristics), S_OK);
  first->Shutdown();
  second->Shutdown();
}

// The source's type and name survive the copy of the activation items, whatever those hold.
TEST_F(ActivateTest, TheSourceNamesItselfAfterTheActivationItems) {
  auto empty = makeActivate();
  auto named = makeActivate();
  named->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, L"Frame server camera");
  named->SetUINT32(kFrameServerKey, 5);
  struct Row {
    const char* name;
    IMFAttributes* store;
  } rows[] = {{"no activation store", nullptr}, {"a fresh activation", empty.Get()}, {"a named activation", named.Get()}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<IMFMediaSourceEx> source;
    ASSERT_EQ(createMediaSource(row.store, IID_PPV_ARGS(&source)), S_OK);
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    GUID type{};
    EXPECT_EQ(attributes->GetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, &type), S_OK);
    EXPECT_EQ(type, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    wchar_t name[32] = {};
    EXPECT_EQ(attributes->GetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, name, 32, nullptr), S_OK);
    EXPECT_EQ(std::wstring(name), L"Tesmira");
    UINT32 value = 0;
    EXPECT_EQ(attributes->GetUINT32(kFrameServerKey, &value), row.store == named.Get() ? S_OK : MF_E_ATTRIBUTENOTFOUND);
    source->Shutdown();
  }
}

}  // namespace
}  // namespace tesmira::vcam::testing
