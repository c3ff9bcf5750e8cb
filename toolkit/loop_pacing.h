// What a backend's message loop does besides delivering messages: bring the
// controls that lag behind the toolkit up to date, and run the application's
// idle hook; both once the queue drains, or after a while under a flood.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "toolkit/toolkit.h"

namespace tk {

// Controls whose native windows lag behind the toolkit's state, each once, in
// the order they first changed: updated together, not once per message.
class PendingControls {
 public:
  void Mark(TControl& control) {
    if (std::find(controls_.begin(), controls_.end(), &control) == controls_.end()) controls_.push_back(&control);
  }
  bool Empty() const { return controls_.empty(); }
  // Taken and forgotten at once: bringing one up to date may mark it again.
  std::vector<TControl*> Take() {
    std::vector<TControl*> out;
    out.swap(controls_);
    return out;
  }
  // Before the form's windows go.
  void Forget(const TForm& form) {
    std::erase_if(controls_, [&](const TControl* c) { return &c->Owner() == &form; });
  }

 private:
  std::vector<TControl*> controls_;
};

// Runs Application->OnIdle for a loop: at each drain, and at least every
// kIdleIntervalMs of a flood that never drains. Times are the loop's own
// monotonic milliseconds.
class IdleHook {
 public:
  void Drained(std::uint64_t now_ms) {
    last_ms_ = now_ms;
    if (Application->OnIdle) Application->OnIdle();
  }
  void Busy(std::uint64_t now_ms) {
    if (last_ms_ == 0) last_ms_ = now_ms;  // the loop's first message
    if (now_ms - last_ms_ >= TApplication::kIdleIntervalMs) Drained(now_ms);
  }

 private:
  std::uint64_t last_ms_ = 0;
};

}  // namespace tk
