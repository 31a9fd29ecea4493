// Small helpers shared by the fuzz harnesses: reading an input piece by piece, and the
// checks that stop a run when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brennic::fuzz {

// Reads an input from the front. Reading past the end gives zero bytes and empty pieces.
class byte_source {
  public:
    byte_source(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }
    std::uint8_t take_byte() { return empty() ? 0 : data_[pos_++]; }
    // Up to n bytes as a string (which may hold NUL bytes).
    std::string take(std::size_t n);
    std::string take_rest() { return take(remaining()); }

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The size of the receives a stream is cut into, from one byte: 1 to 200 bytes, or in steps
// of 400 up to 22400 bytes, so that both partial lines and full buffers are reached.
std::size_t chunk_size(std::uint8_t selector);

// The text of a piece up to its first NUL, as C code would see it.
std::string as_text(const std::string &bytes);

// Stops the run: prints the target and the broken invariant on standard error and aborts.
[[noreturn]] void fail(const char *target, const char *what);

inline void expect(bool holds, const char *target, const char *what) {
    if (!holds) fail(target, what);
}

} // namespace brennic::fuzz
