#pragma once
// A broken promise of the reader under fuzz: the input is saved as a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

// The fixed-size record at the front of the input; bytes the input lacks stay zero.
template <class Block>
Block blockFrom(const uint8_t*& data, size_t& size) {
  Block block{};
  size_t n = size < sizeof(Block) ? size : sizeof(Block);
  std::memcpy(&block, data, n);
  data += n;
  size -= n;
  return block;
}

// A 64-bit number from what is left of the input (zero when it is used up).
inline uint64_t numberFrom(const uint8_t*& data, size_t& size) {
  uint64_t value = 0;
  size_t n = size < sizeof(value) ? size : sizeof(value);
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}
