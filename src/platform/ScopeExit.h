#pragma once
// Runs a callable when the scope it was made in ends, however it ends
// (return, exception). The one scope guard of the program: every module uses
// it from here, the lowest layer, instead of writing a struct with a
// destructor each time.
//
//   FBusy = true;
//   const Platform::TScopeExit clear([this] { FBusy = false; });
//
// The callable must not raise: it runs from a destructor, possibly during
// unwinding. Release() cancels it.
#include <type_traits>
#include <utility>

namespace Platform {

template <class F>
class [[nodiscard]] TScopeExit {
 public:
  static_assert(std::is_nothrow_move_constructible_v<F> || std::is_copy_constructible_v<F>);
  explicit TScopeExit(F action) noexcept(std::is_nothrow_move_constructible_v<F>) : FAction(std::move(action)) {}
  ~TScopeExit() {
    if (FArmed) FAction();
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;
  TScopeExit(TScopeExit&&) = delete;
  TScopeExit& operator=(TScopeExit&&) = delete;

  // The action will not run.
  void Release() noexcept { FArmed = false; }

 private:
  F FAction;
  bool FArmed = true;
};

}  // namespace Platform
