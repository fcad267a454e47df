#pragma once
// A byte buffer aligned to a page. The kernel copies file data into a
// page-aligned buffer markedly faster than into one that malloc aligns to 16
// bytes, and every large read of the tool lands in one of these.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace rempar {

class AlignedBuffer {
 public:
  static constexpr std::size_t ALIGNMENT = 4096;

  AlignedBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had. The storage is a
  // little larger than asked, and the buffer starts at its first page
  // boundary; moving the storage keeps that address.
  explicit AlignedBuffer(std::size_t size)
      : storage_(size == 0 ? 0 : size + ALIGNMENT), size_(size) {
    if (size == 0) return;
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    data_ = storage_.data() + (ALIGNMENT - address % ALIGNMENT) % ALIGNMENT;
  }
  AlignedBuffer(AlignedBuffer&& other) noexcept
      : storage_(std::move(other.storage_)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    storage_ = std::move(other.storage_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::uint8_t& operator[](std::size_t i) { return data_[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return data_[i]; }
  std::uint8_t* begin() { return data_; }
  std::uint8_t* end() { return data_ + size_; }

 private:
  std::vector<std::uint8_t> storage_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace rempar
