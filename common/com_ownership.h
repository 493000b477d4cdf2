#pragma once
// Taking over a reference the caller already holds (a new object, an element of an
// array a system call handed out) without adding one. ComPtr::Attach is not used for
// this: the Windows SDK's Attach takes the pointer as it is, MinGW-w64 10's adds a
// reference, and a reference too many keeps the object alive forever.
#include <wrl/client.h>

namespace tesmira {

template <class T>
Microsoft::WRL::ComPtr<T> adoptReference(T* owned) noexcept {
  Microsoft::WRL::ComPtr<T> pointer;
  *pointer.GetAddressOf() = owned;
  return pointer;
}

}  // namespace tesmira
