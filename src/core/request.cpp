#include "core/request.h"

#include <utility>

#include "core/request_callbacks.h"
#include "core/request_record.h"
#include "core/request_shared.h"

namespace halvane {

namespace {

// Drops the Core's ownership of a new shared state unless the Core took it.
class CoreReferenceGuard {
 public:
  explicit CoreReferenceGuard(RequestShared &shared) : shared_(&shared) {}
  ~CoreReferenceGuard() {
    if (shared_ != nullptr) shared_->release_core_reference();
  }
  CoreReferenceGuard(const CoreReferenceGuard &) = delete;
  CoreReferenceGuard &operator=(const CoreReferenceGuard &) = delete;
  void dismiss() { shared_ = nullptr; }

 private:
  RequestShared *shared_;
};

}  // namespace

Result<Request> Engine::request(RequestConfig config) const {
  return Request::create(*this, std::move(config));
}

Request::Request(std::shared_ptr<RequestInner> inner) : inner_(std::move(inner)) {}

Result<Request> Request::create(const Engine &engine, RequestConfig config) {
  std::shared_ptr<RequestShared> shared = RequestShared::create();
  CoreReferenceGuard core_reference(*shared);

  RequestCreateRecord record;
  if (Status built = build_request_record(config, request_callbacks_for(shared.get()), record);
      !built)
    return built.error();

  hv_handle handle = 0;
  const int32_t code = hv_request_create(engine.handle(), &record.record, &handle);
  if (auto err = Error::from_code(code)) return *err;
  if (handle == 0) return Error::Kind::InitializationFailed;

  core_reference.dismiss();
  return Request(std::make_shared<RequestInner>(handle, std::move(shared)));
}

Result<ResponseFuture> Request::start() {
  bool expected = false;
  if (!inner_->started.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
    return Error::Kind::InvalidState;
  if (auto err = Error::from_code(hv_request_start(inner_->handle))) {
    // The Core did not take the request: it may be started again.
    inner_->started.store(false, std::memory_order_release);
    return *err;
  }
  return ResponseFuture(inner_->shared, inner_);
}

Status Request::cancel() { return check(hv_request_cancel(inner_->handle)); }

Status Request::resume_read() { return check(hv_request_resume_read(inner_->handle)); }

Status Request::upload_write(std::span<const uint8_t> data, bool final_chunk) {
  if (!fits_u32(data.size())) return Error::Kind::InvalidArgument;
  const uint8_t *ptr = data.empty() ? nullptr : data.data();
  return check(hv_request_upload_write(inner_->handle, ptr, static_cast<uint32_t>(data.size()),
                                       final_chunk ? 1 : 0));
}

Status Request::upload_finish() {
  return check(hv_request_upload_write(inner_->handle, nullptr, 0, 1));
}

bool Request::is_finished() const {
  RequestShared &shared = *inner_->shared;
  std::lock_guard lock(shared.mutex);
  return !shared.state.outcome.pending();
}

void Request::set_event_callback(EventCallbackPtr callback) {
  RequestShared &shared = *inner_->shared;
  {
    std::lock_guard lock(shared.event_mutex);
    std::swap(shared.event_callback, callback);
  }
  // `callback` now holds the replaced one, released without the mutex so that
  // its destructor may touch the request.
}

void Request::clear_event_callback() { set_event_callback(nullptr); }

}  // namespace halvane
