#pragma once
// A channel as the service's broker leaves it: a Local\ mapping of the given size,
// seeded with the layout's block (or left as the test says).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/channels.h"

namespace tesmira::agent::testing {

class TestChannel {
 public:
  TestChannel() = default;
  TestChannel(const TestChannel&) = delete;
  TestChannel& operator=(const TestChannel&) = delete;
  ~TestChannel() { close(); }

  // Creates Local\<name> with `bytes` and copies `seed` (up to `bytes`) into it.
  template <class Block>
  void create(const wchar_t* name, const Block& seed, size_t bytes = sizeof(Block)) {
    close();
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(bytes),
                                  (std::wstring(kLocalPrefix) + name).c_str());
    ASSERT_NE(mapping_, nullptr);
    view_ = MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
    ASSERT_NE(view_, nullptr);
    std::memcpy(view_, &seed, std::min(bytes, sizeof(Block)));
    bytes_ = bytes;
  }
  template <class Block>
  Block* as() const {
    return static_cast<Block*>(view_);
  }
  const uint8_t* bytes() const { return static_cast<const uint8_t*>(view_); }
  size_t size() const { return bytes_; }

  void close() {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
    view_ = nullptr;
    mapping_ = nullptr;
  }

 private:
  HANDLE mapping_ = nullptr;
  void* view_ = nullptr;
  size_t bytes_ = 0;
};

}  // namespace tesmira::agent::testing
