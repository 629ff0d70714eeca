#pragma once
// Reading a pickle stream's opcode arguments: every length, line and number
// is a claim of the file, checked against what is left of it before use.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "korvane/pickle_scan.hpp"

namespace korvane::pickles {

// Ends a scan: a stream refused, or one the unpickler would not read.
struct Stop {
  Outcome outcome;
  std::string message;
};

class Reader {
 protected:
  Reader(const uint8_t* data, size_t size, int64_t max_digits) : data_(data), size_(size), max_digits_(max_digits) {}

  [[noreturn]] static void malformed(std::string message) { throw Stop{Outcome::kMalformed, std::move(message)}; }
  [[noreturn]] static void refused(std::string message) { throw Stop{Outcome::kRefused, std::move(message)}; }
  [[noreturn]] static void truncated() { malformed("pickle data was truncated"); }
  [[noreturn]] static void underflow() { malformed("unpickling stack underflow"); }

  void need(uint64_t count) const {
    if (count > size_ - pos_) truncated();
  }

  uint64_t little_endian(int width) {
    need(static_cast<uint64_t>(width));
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += static_cast<size_t>(width);
    return value;
  }

  // Steps over a length-counted argument; lengths are claims of the file, checked against what is left.
  uint64_t counted(int width, bool is_signed) {
    uint64_t length = little_endian(width);
    if (is_signed && width == 4 && (length & 0x80000000u)) malformed("pickle data holds a negative byte count");
    need(length);
    pos_ += static_cast<size_t>(length);
    return length;
  }

  // The length of the line that starts here, newline excluded; the position moves past it.
  size_t line() {
    const void* end = std::memchr(data_ + pos_, '\n', size_ - pos_);
    if (end == nullptr) truncated();
    const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data_ + pos_));
    pos_ += length + 1;
    return length;
  }

  // A number written as text: parsing it takes time in the square of its digits.
  size_t number_line() {
    const size_t length = line();
    if (static_cast<int64_t>(length) > max_digits_ + 2) {
      refused("it writes a number of more than " + std::to_string(max_digits_) + " digits");
    }
    return length;
  }

  // A float as repr writes it (digits, a point, an exponent, or inf and nan): linear to parse.
  size_t float_line() {
    const size_t start = pos_;
    const size_t length = line();
    const uint8_t* c = data_ + start;
    const uint8_t* end = c + length;
    auto digits = [&]() {
      const uint8_t* first = c;
      while (c < end && *c >= '0' && *c <= '9') ++c;
      return c - first;
    };
    if (c < end && (*c == '+' || *c == '-')) ++c;
    auto word = [&](const char* w) {
      const size_t n = std::strlen(w);
      if (static_cast<size_t>(end - c) != n) return false;
      for (size_t i = 0; i < n; ++i) {
        if ((c[i] | 0x20) != w[i]) return false;
      }
      return true;
    };
    bool valid = word("inf") || word("infinity") || word("nan");
    if (!valid) {
      const auto whole = digits();
      auto fraction = 0;
      if (c < end && *c == '.') {
        ++c;
        fraction = static_cast<int>(digits() > 0);
      }
      valid = whole > 0 || fraction > 0;
      if (valid && c < end && (*c == 'e' || *c == 'E')) {
        ++c;
        if (c < end && (*c == '+' || *c == '-')) ++c;
        valid = digits() > 0;
      }
      valid = valid && c == end;
    }
    if (!valid) malformed("could not convert string to float");
    return length;
  }

  uint64_t decimal_line() {
    const size_t start = pos_;
    const size_t length = line();
    if (length == 0 || length > 18) malformed("a memo opcode holds no memo index");
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
      const uint8_t c = data_[start + i];
      if (c < '0' || c > '9') malformed("a memo opcode holds no memo index");
      value = value * 10 + (c - '0');
    }
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  int64_t max_digits_;
};

}  // namespace korvane::pickles
