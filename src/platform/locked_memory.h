#pragma once

#include <cstddef>
#include <utility>

namespace efi::platform {

// Page-granular, committed read-write memory that can be locked against paging; freed when
// dropped. Empty when the allocation failed (last_error() tells why).
class LockedPages {
 public:
  LockedPages() = default;
  static LockedPages allocate(size_t size);
  ~LockedPages() { release(); }
  LockedPages(LockedPages&& other) noexcept
      : pages_(std::exchange(other.pages_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  LockedPages& operator=(LockedPages&& other) noexcept {
    if (this != &other) {
      release();
      pages_ = std::exchange(other.pages_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  LockedPages(const LockedPages&) = delete;
  LockedPages& operator=(const LockedPages&) = delete;

  // Locks the pages in memory; false (last_error() tells why) when the system refuses.
  bool lock();
  explicit operator bool() const { return pages_ != nullptr; }
  unsigned char* data() const { return static_cast<unsigned char*>(pages_); }
  size_t size() const { return size_; }

 private:
  LockedPages(void* pages, size_t size) : pages_(pages), size_(size) {}
  void release();
  void* pages_ = nullptr;
  size_t size_ = 0;
};

}  // namespace efi::platform
