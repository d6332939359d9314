// OnExit: a clean-up that runs when a scope ends, however it ends (a return,
// an error return, an exception such as running out of memory), unless it
// was dismissed on the way. The clean-up runs in a destructor, so it must
// not throw.
//
//   OnExit give_back([&] { cache.give_back(frame); });
//   BKF_TRY(fill(frame));
//   give_back.dismiss();  // the frame is kept
#pragma once

#include <utility>

namespace bkf {

template <class F>
class OnExit {
 public:
  explicit OnExit(F f) noexcept : f_(std::move(f)) {}
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;
  ~OnExit() {
    if (armed_) f_();
  }
  void dismiss() noexcept { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

}  // namespace bkf
