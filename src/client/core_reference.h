// The Core's own reference to a state it was given as callback user data.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace halvane {

// Taken once when the state is made, and dropped exactly once under an atomic
// flag: by the Core's final callback, or by the owner of a Core object that
// was never started (and so never calls back), whichever comes first.
template <typename Shared>
class CoreReference {
 public:
  CoreReference() = default;
  CoreReference(const CoreReference &) = delete;
  CoreReference &operator=(const CoreReference &) = delete;

  // Makes the Core a second owner of `shared`, which holds this object.
  void hold(std::shared_ptr<Shared> shared) {
    owner_ = std::move(shared);
    core_reference_held_.store(true, std::memory_order_release);
  }

  // Possibly the last owner goes: the state holding this object may be
  // destroyed, so the caller must not touch it afterwards.
  void release() noexcept {
    if (!core_reference_held_.exchange(false, std::memory_order_acq_rel)) return;
    std::shared_ptr<Shared> owner = std::move(owner_);
  }

 private:
  std::atomic<bool> core_reference_held_{false};
  std::shared_ptr<Shared> owner_;  // moved out once, by whoever clears core_reference_held_
};

}  // namespace halvane
