// What the stand-ins' fuzz targets share: a reader of the fuzzer's bytes, which
// answers 0 once they run out, and a check that names what broke.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define CHECK(cond, ...)                           \
  do {                                             \
    if (!(cond)) {                                 \
      std::fprintf(stderr, "broken: %s: ", #cond); \
      std::fprintf(stderr, __VA_ARGS__);           \
      std::fprintf(stderr, "\n");                  \
      std::abort();                                \
    }                                              \
  } while (0)

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  std::uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
  std::uint32_t U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  double F64() {
    const std::uint64_t lo = U32();
    return std::bit_cast<double>(lo | static_cast<std::uint64_t>(U32()) << 32);
  }
  void Bytes(void* out, std::size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < n; ++i) p[i] = U8();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};
