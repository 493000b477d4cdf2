#include <gtest/gtest.h>
#include <mfapi.h>
#include <mfidl.h>
#include <ksmedia.h>
#include <wrl/client.h>

#include <cstring>

using Microsoft::WRL::ComPtr;

namespace {

TEST(MemoryBuffer, LengthsFollowTheDocumentedRules) {
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(MFCreateMemoryBuffer(16, &buffer), S_OK);
  BYTE* data = nullptr;
  DWORD max = 0, current = 9;
  ASSERT_EQ(buffer->Lock(&data, &max, &current), S_OK);
  EXPECT_EQ(max, 16u);
  EXPECT_EQ(current, 0u);
  std::memset(data, 0xAB, 16);
  buffer->Unlock();
  EXPECT_EQ(buffer->SetCurrentLength(17), E_INVALIDARG);
  EXPECT_EQ(buffer->SetCurrentLength(16), S_OK);
  buffer->GetCurrentLength(&current);
  EXPECT_EQ(current, 16u);
}

ComPtr<IMFMediaBuffer> filledBuffer(DWORD n, BYTE value) {
  ComPtr<IMFMediaBuffer> buffer;
  MFCreateMemoryBuffer(n, &buffer);
  BYTE* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  std::memset(data, value, n);
  buffer->Unlock();
  buffer->SetCurrentLength(n);
  return buffer;
}

TEST(Sample, TimesAreUnsetUntilSetAndBuffersJoinInOrder) {
  ComPtr<IMFSample> sample;
  ASSERT_EQ(MFCreateSample(&sample), S_OK);
  LONGLONG t = 0;
  EXPECT_EQ(sample->GetSampleTime(&t), MF_E_NO_SAMPLE_TIMESTAMP);
  EXPECT_EQ(sample->GetSampleDuration(&t), MF_E_NO_SAMPLE_DURATION);
  sample->SetSampleTime(123);
  sample->SetSampleDuration(333333);
  EXPECT_EQ(sample->GetSampleTime(&t), S_OK);
  EXPECT_EQ(t, 123);
  sample->AddBuffer(filledBuffer(2, 1).Get());
  sample->AddBuffer(filledBuffer(3, 2).Get());
  DWORD total = 0;
  sample->GetTotalLength(&total);
  EXPECT_EQ(total, 5u);
  ComPtr<IMFMediaBuffer> joined;
  ASSERT_EQ(sample->ConvertToContiguousBuffer(&joined), S_OK);
  BYTE* data = nullptr;
  DWORD current = 0;
  joined->Lock(&data, nullptr, &current);
  ASSERT_EQ(current, 5u);
  EXPECT_EQ(std::memcmp(data, "\x01\x01\x02\x02\x02", 5), 0);
  joined->Unlock();
  DWORD count = 0;
  sample->GetBufferCount(&count);
  EXPECT_EQ(count, 1u);
  ComPtr<IMFMediaBuffer> small;
  MFCreateMemoryBuffer(4, &small);
  EXPECT_EQ(sample->CopyToBuffer(small.Get()), MF_E_BUFFERTOOSMALL);
}

TEST(Sample, TokenTravelsAsAnAttribute) {
  ComPtr<IMFSample> sample;
  MFCreateSample(&sample);
  ComPtr<IMFAttributes> token;
  MFCreateAttributes(&token, 1);
  ASSERT_EQ(sample->SetUnknown(MFSampleExtension_Token, token.Get()), S_OK);
  ComPtr<IMFAttributes> back;
  ASSERT_EQ(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&back)), S_OK);
  EXPECT_EQ(back.Get(), token.Get());
}

ComPtr<IMFMediaType> videoType(const GUID& subtype) {
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(&type);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  return type;
}

TEST(Descriptors, HandlerListsTypesAndKeepsTheCurrentOne) {
  IMFMediaType* types[] = {videoType(MFVideoFormat_NV12).Detach(), videoType(MFVideoFormat_RGB32).Detach()};
  ComPtr<IMFStreamDescriptor> stream;
  ASSERT_EQ(MFCreateStreamDescriptor(3, 2, types, &stream), S_OK);
  DWORD id = 0;
  stream->GetStreamIdentifier(&id);
  EXPECT_EQ(id, 3u);
  ComPtr<IMFMediaTypeHandler> handler;
  ASSERT_EQ(stream->GetMediaTypeHandler(&handler), S_OK);
  DWORD count = 0;
  handler->GetMediaTypeCount(&count);
  EXPECT_EQ(count, 2u);
  ComPtr<IMFMediaType> type;
  EXPECT_EQ(handler->GetMediaTypeByIndex(2, &type), MF_E_NO_MORE_TYPES);
  EXPECT_EQ(handler->GetCurrentMediaType(&type), MF_E_NOT_INITIALIZED);
  ASSERT_EQ(handler->SetCurrentMediaType(types[1]), S_OK);
  ASSERT_EQ(handler->GetCurrentMediaType(&type), S_OK);
  EXPECT_EQ(type.Get(), types[1]);
  EXPECT_EQ(handler->IsMediaTypeSupported(videoType(MFVideoFormat_RGB32).Get(), nullptr), S_OK);
  EXPECT_EQ(handler->IsMediaTypeSupported(videoType(MFVideoFormat_YUY2).Get(), nullptr), MF_E_INVALIDMEDIATYPE);
  for (auto* t : types) t->Release();
}

TEST(Descriptors, CloneCopiesSelectionAndAttributesAndSharesStreams) {
  IMFMediaType* types[] = {videoType(MFVideoFormat_NV12).Detach()};
  ComPtr<IMFStreamDescriptor> stream;
  MFCreateStreamDescriptor(0, 1, types, &stream);
  types[0]->Release();
  IMFStreamDescriptor* streams[] = {stream.Get()};
  ComPtr<IMFPresentationDescriptor> original;
  ASSERT_EQ(MFCreatePresentationDescriptor(1, streams, &original), S_OK);
  BOOL selected = TRUE;
  ComPtr<IMFStreamDescriptor> got;
  original->GetStreamDescriptorByIndex(0, &selected, &got);
  EXPECT_FALSE(selected);
  original->SelectStream(0);
  original->SetUINT32(MF_MT_SAMPLE_SIZE, 5);
  ComPtr<IMFPresentationDescriptor> clone;
  ASSERT_EQ(original->Clone(&clone), S_OK);
  ASSERT_EQ(clone->GetStreamDescriptorByIndex(0, &selected, &got), S_OK);
  EXPECT_TRUE(selected);
  EXPECT_EQ(got.Get(), stream.Get());
  UINT32 value = 0;
  EXPECT_EQ(clone->GetUINT32(MF_MT_SAMPLE_SIZE, &value), S_OK);
  // The selections are independent afterwards.
  clone->DeselectStream(0);
  original->GetStreamDescriptorByIndex(0, &selected, &got);
  EXPECT_TRUE(selected);
  EXPECT_EQ(clone->SelectStream(1), E_INVALIDARG);
}

TEST(SensorProfiles, CollectionFindsAndRemovesByProfileId) {
  ComPtr<IMFSensorProfileCollection> collection;
  ASSERT_EQ(MFCreateSensorProfileCollection(&collection), S_OK);
  ComPtr<IMFSensorProfile> profile;
  ASSERT_EQ(MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile), S_OK);
  ASSERT_EQ(profile->AddProfileFilter(0, L"((RES==;FRT<=30,1;SUT==))"), S_OK);
  ASSERT_EQ(collection->AddProfile(profile.Get()), S_OK);
  EXPECT_EQ(collection->AddProfile(profile.Get()), E_INVALIDARG);
  EXPECT_EQ(collection->GetProfileCount(), 1u);
  SENSORPROFILEID id{KSCAMERAPROFILE_Legacy, 0, 0};
  ComPtr<IMFSensorProfile> found;
  ASSERT_EQ(collection->FindProfile(&id, &found), S_OK);
  EXPECT_EQ(found.Get(), profile.Get());
  collection->RemoveProfile(&id);
  EXPECT_EQ(collection->GetProfileCount(), 0u);
}

}  // namespace
