#pragma once

#include <utility>

namespace efi::platform {

// An owning handle of one kind of operating-system object. Each kind has its own Traits (the raw
// value, the value that means "none", how to close), so a device file can never be passed where a
// socket is wanted. Move-only; closes itself.
template <typename Traits>
class Owned {
 public:
  using Raw = typename Traits::Raw;

  Owned() = default;
  explicit Owned(Raw raw) : raw_(raw) {}
  ~Owned() { reset(); }
  Owned(Owned&& other) noexcept : raw_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  Raw get() const { return raw_; }
  explicit operator bool() const { return raw_ != Traits::none(); }
  Raw release() { return std::exchange(raw_, Traits::none()); }
  void reset(Raw raw = Traits::none()) {
    const Raw old = std::exchange(raw_, raw);
    if (old != Traits::none()) Traits::close(old);
  }

 private:
  Raw raw_ = Traits::none();
};

}  // namespace efi::platform
