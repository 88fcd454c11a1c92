// Move-only owner of one Core handle.
#pragma once

#include <utility>

#include "halvane/hv_abi.h"

namespace halvane {

// Holds a Core handle and hands it to `Release` exactly once: on reset, on
// destruction, or when a new handle is moved in. Zero means no handle.
template <void (*Release)(hv_handle)>
class CoreHandle {
 public:
  CoreHandle() = default;
  explicit CoreHandle(hv_handle handle) : handle_(handle) {}
  ~CoreHandle() { reset(); }

  CoreHandle(CoreHandle &&other) noexcept : handle_(std::exchange(other.handle_, 0)) {}
  CoreHandle &operator=(CoreHandle &&other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  CoreHandle(const CoreHandle &) = delete;
  CoreHandle &operator=(const CoreHandle &) = delete;

  hv_handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != 0; }

  void reset() noexcept {
    if (handle_ != 0) Release(std::exchange(handle_, 0));
  }

 private:
  hv_handle handle_ = 0;
};

using EngineHandle = CoreHandle<hv_engine_release>;
using RequestHandle = CoreHandle<hv_request_release>;
using WebSocketHandle = CoreHandle<hv_websocket_release>;

}  // namespace halvane
