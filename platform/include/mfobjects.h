#pragma once
// Media Foundation core object interfaces: attributes, media types, events,
// asynchronous results, buffers, samples and activation objects.
#include "mferror.h"
#include "propidl.h"
#include "unknwn.h"

typedef uint8_t UINT8;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t INT32;
typedef int64_t INT64;
typedef LONGLONG MFTIME;
typedef ULONGLONG QWORD;

typedef enum _MF_ATTRIBUTE_TYPE {
  MF_ATTRIBUTE_UINT32 = VT_UI4,
  MF_ATTRIBUTE_UINT64 = VT_UI8,
  MF_ATTRIBUTE_DOUBLE = VT_R8,
  MF_ATTRIBUTE_GUID = VT_CLSID,
  MF_ATTRIBUTE_STRING = VT_LPWSTR,
  MF_ATTRIBUTE_BLOB = VT_VECTOR | VT_UI1,
  MF_ATTRIBUTE_IUNKNOWN = VT_UNKNOWN,
} MF_ATTRIBUTE_TYPE;

typedef enum _MF_ATTRIBUTES_MATCH_TYPE {
  MF_ATTRIBUTES_MATCH_OUR_ITEMS = 0,
  MF_ATTRIBUTES_MATCH_THEIR_ITEMS = 1,
  MF_ATTRIBUTES_MATCH_ALL_ITEMS = 2,
  MF_ATTRIBUTES_MATCH_INTERSECTION = 3,
  MF_ATTRIBUTES_MATCH_SMALLER = 4,
} MF_ATTRIBUTES_MATCH_TYPE;

struct IMFAttributes : IUnknown {
  STDMETHOD(GetItem)(REFGUID key, PROPVARIANT* value) = 0;
  STDMETHOD(GetItemType)(REFGUID key, MF_ATTRIBUTE_TYPE* type) = 0;
  STDMETHOD(CompareItem)(REFGUID key, REFPROPVARIANT value, BOOL* result) = 0;
  STDMETHOD(Compare)(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) = 0;
  STDMETHOD(GetUINT32)(REFGUID key, UINT32* value) = 0;
  STDMETHOD(GetUINT64)(REFGUID key, UINT64* value) = 0;
  STDMETHOD(GetDouble)(REFGUID key, double* value) = 0;
  STDMETHOD(GetGUID)(REFGUID key, GUID* value) = 0;
  STDMETHOD(GetStringLength)(REFGUID key, UINT32* length) = 0;
  STDMETHOD(GetString)(REFGUID key, LPWSTR value, UINT32 capacity, UINT32* length) = 0;
  STDMETHOD(GetAllocatedString)(REFGUID key, LPWSTR* value, UINT32* length) = 0;
  STDMETHOD(GetBlobSize)(REFGUID key, UINT32* size) = 0;
  STDMETHOD(GetBlob)(REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size) = 0;
  STDMETHOD(GetAllocatedBlob)(REFGUID key, UINT8** buffer, UINT32* size) = 0;
  STDMETHOD(GetUnknown)(REFGUID key, REFIID riid, LPVOID* object) = 0;
  STDMETHOD(SetItem)(REFGUID key, REFPROPVARIANT value) = 0;
  STDMETHOD(DeleteItem)(REFGUID key) = 0;
  STDMETHOD(DeleteAllItems)() = 0;
  STDMETHOD(SetUINT32)(REFGUID key, UINT32 value) = 0;
  STDMETHOD(SetUINT64)(REFGUID key, UINT64 value) = 0;
  STDMETHOD(SetDouble)(REFGUID key, double value) = 0;
  STDMETHOD(SetGUID)(REFGUID key, REFGUID value) = 0;
  STDMETHOD(SetString)(REFGUID key, LPCWSTR value) = 0;
  STDMETHOD(SetBlob)(REFGUID key, const UINT8* buffer, UINT32 size) = 0;
  STDMETHOD(SetUnknown)(REFGUID key, IUnknown* value) = 0;
  STDMETHOD(LockStore)() = 0;
  STDMETHOD(UnlockStore)() = 0;
  STDMETHOD(GetCount)(UINT32* count) = 0;
  STDMETHOD(GetItemByIndex)(UINT32 index, GUID* key, PROPVARIANT* value) = 0;
  STDMETHOD(CopyAllItems)(IMFAttributes* destination) = 0;
};
TESMIRA_INTERFACE_IID(IMFAttributes, 0x2cd2d921, 0xc447, 0x44a7, 0xa1, 0x3c, 0x4a, 0xda, 0xbf, 0xc2, 0x47, 0xe3);

#define MF_MEDIATYPE_EQUAL_MAJOR_TYPES 0x00000001
#define MF_MEDIATYPE_EQUAL_FORMAT_TYPES 0x00000002
#define MF_MEDIATYPE_EQUAL_FORMAT_DATA 0x00000004
#define MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA 0x00000008

struct IMFMediaType : IMFAttributes {
  STDMETHOD(GetMajorType)(GUID* majorType) = 0;
  STDMETHOD(IsCompressedFormat)(BOOL* compressed) = 0;
  STDMETHOD(IsEqual)(IMFMediaType* other, DWORD* flags) = 0;
  STDMETHOD(GetRepresentation)(GUID representation, LPVOID* data) = 0;
  STDMETHOD(FreeRepresentation)(GUID representation, LPVOID data) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaType, 0x44ae0fa8, 0xea31, 0x4109, 0x8d, 0x2e, 0x4c, 0xae, 0x49, 0x97, 0xc5, 0x55);

typedef DWORD MediaEventType;
enum {
  MEUnknown = 0,
  MEError = 1,
  MEExtendedType = 2,
  MENonFatalError = 3,
  MESourceUnknown = 200,
  MESourceStarted = 201,
  MEStreamStarted = 202,
  MESourceSeeked = 203,
  MEStreamSeeked = 204,
  MENewStream = 205,
  MEUpdatedStream = 206,
  MESourceStopped = 207,
  MEStreamStopped = 208,
  MESourcePaused = 209,
  MEStreamPaused = 210,
  MEEndOfPresentation = 211,
  MEEndOfStream = 212,
  MEMediaSample = 213,
  MEStreamTick = 214,
  MEStreamThinMode = 215,
  MEStreamFormatChanged = 216,
  MESourceRateChanged = 217,
  MESourceCharacteristicsChanged = 219,
};

struct IMFMediaEvent : IMFAttributes {
  STDMETHOD(GetType)(MediaEventType* type) = 0;
  STDMETHOD(GetExtendedType)(GUID* extendedType) = 0;
  STDMETHOD(GetStatus)(HRESULT* status) = 0;
  STDMETHOD(GetValue)(PROPVARIANT* value) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaEvent, 0xDF598932, 0xF10C, 0x4E39, 0xBB, 0xA2, 0xC3, 0x08, 0xF1, 0x01, 0xDA, 0xA3);

struct IMFAsyncResult : IUnknown {
  STDMETHOD(GetState)(IUnknown** state) = 0;
  STDMETHOD(GetStatus)() = 0;
  STDMETHOD(SetStatus)(HRESULT status) = 0;
  STDMETHOD(GetObject)(IUnknown** object) = 0;
  STDMETHOD_(IUnknown*, GetStateNoAddRef)() = 0;
};
TESMIRA_INTERFACE_IID(IMFAsyncResult, 0xac6b7889, 0x0740, 0x4d51, 0x86, 0x19, 0x90, 0x59, 0x94, 0xa5, 0x5c, 0xc6);

struct IMFAsyncCallback : IUnknown {
  STDMETHOD(GetParameters)(DWORD* flags, DWORD* queue) = 0;
  STDMETHOD(Invoke)(IMFAsyncResult* result) = 0;
};
TESMIRA_INTERFACE_IID(IMFAsyncCallback, 0xa27003cf, 0x2354, 0x4f2a, 0x8d, 0x6a, 0xab, 0x7c, 0xff, 0x15, 0x43, 0x7e);

#define MF_EVENT_FLAG_NO_WAIT 0x00000001

struct IMFMediaEventGenerator : IUnknown {
  STDMETHOD(GetEvent)(DWORD flags, IMFMediaEvent** event) = 0;
  STDMETHOD(BeginGetEvent)(IMFAsyncCallback* callback, IUnknown* state) = 0;
  STDMETHOD(EndGetEvent)(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  STDMETHOD(QueueEvent)(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaEventGenerator, 0x2CD0BD52, 0xBCD5, 0x4B89, 0xB6, 0x2C, 0xEA, 0xDC, 0x0C, 0x03, 0x1E, 0x7D);

struct IMFMediaEventQueue : IUnknown {
  STDMETHOD(GetEvent)(DWORD flags, IMFMediaEvent** event) = 0;
  STDMETHOD(BeginGetEvent)(IMFAsyncCallback* callback, IUnknown* state) = 0;
  STDMETHOD(EndGetEvent)(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  STDMETHOD(QueueEvent)(IMFMediaEvent* event) = 0;
  STDMETHOD(QueueEventParamVar)(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) = 0;
  STDMETHOD(QueueEventParamUnk)(MediaEventType type, REFGUID extendedType, HRESULT status, IUnknown* value) = 0;
  STDMETHOD(Shutdown)() = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaEventQueue, 0x36f846fc, 0x2256, 0x48b6, 0xb5, 0x8e, 0xe2, 0xb6, 0x38, 0x31, 0x65, 0x81);

struct IMFMediaBuffer : IUnknown {
  STDMETHOD(Lock)(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) = 0;
  STDMETHOD(Unlock)() = 0;
  STDMETHOD(GetCurrentLength)(DWORD* length) = 0;
  STDMETHOD(SetCurrentLength)(DWORD length) = 0;
  STDMETHOD(GetMaxLength)(DWORD* length) = 0;
};
TESMIRA_INTERFACE_IID(IMFMediaBuffer, 0x045FA593, 0x8799, 0x42b8, 0xBC, 0x8D, 0x89, 0x68, 0xC6, 0x45, 0x35, 0x07);

struct IMFSample : IMFAttributes {
  STDMETHOD(GetSampleFlags)(DWORD* flags) = 0;
  STDMETHOD(SetSampleFlags)(DWORD flags) = 0;
  STDMETHOD(GetSampleTime)(LONGLONG* time) = 0;
  STDMETHOD(SetSampleTime)(LONGLONG time) = 0;
  STDMETHOD(GetSampleDuration)(LONGLONG* duration) = 0;
  STDMETHOD(SetSampleDuration)(LONGLONG duration) = 0;
  STDMETHOD(GetBufferCount)(DWORD* count) = 0;
  STDMETHOD(GetBufferByIndex)(DWORD index, IMFMediaBuffer** buffer) = 0;
  STDMETHOD(ConvertToContiguousBuffer)(IMFMediaBuffer** buffer) = 0;
  STDMETHOD(AddBuffer)(IMFMediaBuffer* buffer) = 0;
  STDMETHOD(RemoveBufferByIndex)(DWORD index) = 0;
  STDMETHOD(RemoveAllBuffers)() = 0;
  STDMETHOD(GetTotalLength)(DWORD* length) = 0;
  STDMETHOD(CopyToBuffer)(IMFMediaBuffer* buffer) = 0;
};
TESMIRA_INTERFACE_IID(IMFSample, 0xc40a00f2, 0xb93a, 0x4d80, 0xae, 0x8c, 0x5a, 0x1c, 0x63, 0x4f, 0x58, 0xe4);

struct IMFActivate : IMFAttributes {
  STDMETHOD(ActivateObject)(REFIID riid, void** object) = 0;
  STDMETHOD(ShutdownObject)() = 0;
  STDMETHOD(DetachObject)() = 0;
};
TESMIRA_INTERFACE_IID(IMFActivate, 0x7FEE9E9A, 0x4A89, 0x47a6, 0x89, 0x9C, 0xB6, 0xA5, 0x3A, 0x70, 0xFB, 0x67);

// A media buffer over a Direct3D 11 texture (a sample delivered on a DXGI device manager's device).
struct IMFDXGIBuffer : IUnknown {
  STDMETHOD(GetResource)(REFIID riid, LPVOID* object) = 0;
  STDMETHOD(GetSubresourceIndex)(UINT* subresource) = 0;
  STDMETHOD(GetUnknown)(REFIID guid, REFIID riid, LPVOID* object) = 0;
  STDMETHOD(SetUnknown)(REFIID guid, IUnknown* data) = 0;
};
TESMIRA_INTERFACE_IID(IMFDXGIBuffer, 0xe7174cfa, 0x1c9e, 0x48b1, 0x88, 0x66, 0x62, 0x62, 0x26, 0xbf, 0xc2, 0x58);

// Shares one Direct3D 11 device between the application and Media Foundation.
struct IMFDXGIDeviceManager : IUnknown {
  STDMETHOD(CloseDeviceHandle)(HANDLE device) = 0;
  STDMETHOD(GetVideoService)(HANDLE device, REFIID riid, void** service) = 0;
  STDMETHOD(LockDevice)(HANDLE device, REFIID riid, void** object, BOOL block) = 0;
  STDMETHOD(OpenDeviceHandle)(HANDLE* device) = 0;
  STDMETHOD(ResetDevice)(IUnknown* device, UINT resetToken) = 0;
  STDMETHOD(TestDevice)(HANDLE device) = 0;
  STDMETHOD(UnlockDevice)(HANDLE device, BOOL saveState) = 0;
};
TESMIRA_INTERFACE_IID(IMFDXGIDeviceManager, 0xeb533d5d, 0x2db6, 0x40f8, 0x97, 0xa9, 0x49, 0x46, 0x92, 0x01, 0x4f, 0x07);
