#pragma once
// A byte buffer aligned to a page. The kernel copies file data into a
// page-aligned buffer markedly faster than into one that malloc aligns to 16
// bytes, and every large read of the tool lands in one of these.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <utility>

namespace rempar {

class AlignedBuffer {
 public:
  static constexpr std::size_t ALIGNMENT = 4096;

  AlignedBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit AlignedBuffer(std::size_t size) : AlignedBuffer(take(size), size) {
    if (size != 0 && !storage_) throw std::bad_alloc();
  }
  // Nothing when the memory cannot be had: for callers that explain the
  // shortage in words of their own.
  static std::optional<AlignedBuffer> allocate(std::size_t size) {
    AlignedBuffer buffer(take(size), size);
    if (size != 0 && !buffer.storage_) return std::nullopt;
    return buffer;
  }

  AlignedBuffer(AlignedBuffer&& other) noexcept
      : storage_(std::move(other.storage_)), size_(std::exchange(other.size_, 0)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    storage_ = std::move(other.storage_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  std::uint8_t* data() { return storage_.get(); }
  const std::uint8_t* data() const { return storage_.get(); }
  std::size_t size() const { return size_; }
  std::uint8_t& operator[](std::size_t i) { return storage_.get()[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return storage_.get()[i]; }
  std::uint8_t* begin() { return storage_.get(); }
  std::uint8_t* end() { return storage_.get() + size_; }

 private:
  // aligned_alloc's memory goes back through free; the unique_ptr below is
  // its only owner. aligned_alloc says "no memory" without an exception, so
  // the one catch of std::bad_alloc stays around the whole operation.
  struct Free {
    void operator()(std::uint8_t* p) const {
      std::free(p);  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    }
  };
  using Storage = std::unique_ptr<std::uint8_t, Free>;

  AlignedBuffer(Storage storage, std::size_t size) : storage_(std::move(storage)), size_(size) {}
  // Null when the memory cannot be had; the size is rounded up to whole
  // pages, as aligned_alloc asks.
  static Storage take(std::size_t size) {
    if (size == 0 || size > SIZE_MAX - ALIGNMENT) return Storage{};
    const std::size_t pages = (size + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
    return Storage(static_cast<std::uint8_t*>(std::aligned_alloc(ALIGNMENT, pages)));
  }

  Storage storage_;
  std::size_t size_ = 0;
};

}  // namespace rempar
