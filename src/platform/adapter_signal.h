#pragma once

// What an adapter library raises when it has queued received frames, so that a link waits on its
// data instead of polling the library. Windows libraries take an automatic event from the host
// and set it; elsewhere they hand out a descriptor that is readable while frames wait. Which of
// the two a library is asked for is this side's choice, so the link names neither.

#include <cstdint>
#include <functional>

#include "platform/event.h"

namespace efi::platform {

// A library's value call: 0 when the library took (or filled in) `size` bytes at `buffer`.
using AdapterValueCall = std::function<uint32_t(void* buffer, uint32_t size)>;

class AdapterSignal {
 public:
  AdapterSignal() = default;
  AdapterSignal(const AdapterSignal&) = delete;
  AdapterSignal& operator=(const AdapterSignal&) = delete;
  ~AdapterSignal() { forget(); }

  // Windows: makes an automatic event and hands it over with `set_value`. Elsewhere: asks the
  // library's descriptor with `get_value`. False, and nothing held, when the library refuses.
  bool open(const AdapterValueCall& set_value, const AdapterValueCall& get_value);
  // Takes the event back from the library (hands it a null one) before closing it; a library's
  // descriptor stays the library's. Call before the library's channel goes.
  void close(const AdapterValueCall& set_value);
  bool is_open() const { return open_; }
  // Returns when frames are waiting (signalled) or `timeout_ms` passed.
  EventWait wait(uint32_t timeout_ms) const;

 private:
  void forget();
  Event event_;     // Windows: ours, handed to the library
  intptr_t descriptor_ = -1;  // elsewhere: the library's
  bool open_ = false;
};

}  // namespace efi::platform
