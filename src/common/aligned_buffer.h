#pragma once
// A byte buffer aligned to a page. The kernel copies file data into a
// page-aligned buffer markedly faster than into one that malloc aligns to 16
// bytes, and every large read of the tool lands in one of these.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

namespace rempar {

class AlignedBuffer {
 public:
  static constexpr std::size_t ALIGNMENT = 4096;

  AlignedBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit AlignedBuffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    const std::size_t rounded = (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    data_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(ALIGNMENT, rounded)));
    if (!data_) throw std::bad_alloc();
  }

  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::uint8_t& operator[](std::size_t i) { return data_[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return data_[i]; }
  std::span<std::uint8_t> span() { return {data_.get(), size_}; }
  std::uint8_t* begin() { return data_.get(); }
  std::uint8_t* end() { return data_.get() + size_; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<std::uint8_t[], Free> data_;
  std::size_t size_ = 0;
};

}  // namespace rempar
