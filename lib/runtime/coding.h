// Little-endian field codecs for every on-disk structure.
//
// Records are read into byte buffers and decoded field by field; they are
// never read or written as C++ structs, so packing, padding and host byte
// order can not leak into the files.  ByteReader decodes from a bounded view
// that moves forward and refuses to read past its end; ByteWriter encodes into
// a fixed buffer the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace quil {

inline uint16_t GetU16LE(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t GetU32LE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutU16LE(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32LE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The text of a fixed-size string field: the bytes up to the first NUL, or
// the whole field when it holds none.
inline std::string_view GetFixedView(std::span<const uint8_t> field) {
  if (field.empty()) return {};
  const void* nul = std::memchr(field.data(), 0, field.size());
  const size_t n = nul == nullptr ? field.size()
                                  : static_cast<size_t>(static_cast<const uint8_t*>(nul) -
                                                        field.data());
  return std::string_view(reinterpret_cast<const char*>(field.data()), n);
}
inline std::string GetFixedString(std::span<const uint8_t> field) {
  return std::string(GetFixedView(field));
}

// Stores `text` into a fixed-size string field: at most field.size() - 1
// bytes, then zero bytes up to the end of the field, so the field always
// holds a terminator and nothing of what it held before.
inline void PutFixedString(std::span<uint8_t> field, std::string_view text) {
  if (field.empty()) return;
  size_t n = text.size() < field.size() - 1 ? text.size() : field.size() - 1;
  std::memcpy(field.data(), text.data(), n);
  std::memset(field.data() + n, 0, field.size() - n);
}

// Decodes fields from a byte view, front to back.  A request for more bytes
// than are left fails, yields zeros, and makes ok() false for good.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : rest_(bytes) {}

  uint8_t U8() {
    if (!Need(1)) return 0;
    uint8_t v = rest_[0];
    rest_ = rest_.subspan(1);
    return v;
  }
  uint16_t U16() {
    if (!Need(2)) return 0;
    uint16_t v = GetU16LE(rest_.data());
    rest_ = rest_.subspan(2);
    return v;
  }
  uint32_t U32() {
    if (!Need(4)) return 0;
    uint32_t v = GetU32LE(rest_.data());
    rest_ = rest_.subspan(4);
    return v;
  }
  // The next `n` bytes (an empty view when fewer are left).
  std::span<const uint8_t> Bytes(size_t n) {
    if (!Need(n)) return {};
    auto v = rest_.first(n);
    rest_ = rest_.subspan(n);
    return v;
  }
  // A fixed-size string field of `n` bytes.
  std::string FixedString(size_t n) {
    auto field = Bytes(n);
    return ok_ ? GetFixedString(field) : std::string();
  }
  void Skip(size_t n) { Bytes(n); }

  size_t remaining() const { return rest_.size(); }
  bool ok() const { return ok_; }

 private:
  bool Need(size_t n) {
    if (ok_ && rest_.size() >= n) return true;
    ok_ = false;
    rest_ = {};
    return false;
  }

  std::span<const uint8_t> rest_;
  bool ok_ = true;
};

// Encodes fields into a fixed buffer, front to back.  Writing past the end
// stores nothing and makes ok() false for good.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<uint8_t> buffer) : rest_(buffer) {}

  void U8(uint8_t v) {
    if (Need(1)) {
      rest_[0] = v;
      rest_ = rest_.subspan(1);
    }
  }
  void U16(uint16_t v) {
    if (Need(2)) {
      PutU16LE(rest_.data(), v);
      rest_ = rest_.subspan(2);
    }
  }
  void U32(uint32_t v) {
    if (Need(4)) {
      PutU32LE(rest_.data(), v);
      rest_ = rest_.subspan(4);
    }
  }
  void Bytes(std::span<const uint8_t> v) {
    if (Need(v.size())) {
      if (!v.empty()) std::memcpy(rest_.data(), v.data(), v.size());
      rest_ = rest_.subspan(v.size());
    }
  }
  void Zeros(size_t n) {
    if (Need(n)) {
      if (n) std::memset(rest_.data(), 0, n);
      rest_ = rest_.subspan(n);
    }
  }
  // A fixed-size string field of `n` bytes (see PutFixedString).
  void FixedString(std::string_view text, size_t n) {
    if (Need(n)) {
      PutFixedString(rest_.first(n), text);
      rest_ = rest_.subspan(n);
    }
  }

  size_t remaining() const { return rest_.size(); }
  bool ok() const { return ok_; }

 private:
  bool Need(size_t n) {
    if (ok_ && rest_.size() >= n) return true;
    ok_ = false;
    return false;
  }

  std::span<uint8_t> rest_;
  bool ok_ = true;
};

}  // namespace quil
