#include "client/request.h"

#include <algorithm>
#include <utility>

#include "client/core_extensions.h"
#include "client/request_callbacks.h"
#include "client/request_record.h"
#include "client/request_shared.h"

namespace halvane {

Result<Request> Engine::request(RequestConfig config) const {
  return Request::create(*this, std::move(config));
}

Request::Request(std::shared_ptr<RequestInner> inner) : inner_(std::move(inner)) {}

Result<Request> Request::create(const Engine &engine, RequestConfig config) {
  // Made first, so that every failure below drops the Core's reference too.
  auto inner = std::make_shared<RequestInner>(RequestShared::create());

  RequestCreateRecord record;
  if (Status built = build_request_record(config, callback_table(*inner->user_data), record);
      !built)
    return built.error();

  hv_handle handle = 0;
  int32_t code = HV_OK;
  if (config.connect_timeout) {
    const auto create = core_extensions().request_create;
    if (create == nullptr) return Error::Kind::InvalidState;
    hv_ext_request_options options{};
    options.size = sizeof options;
    // At least a millisecond: 0 would mean no bound at all.
    options.connect_timeout_ms = std::max<uint64_t>(config.connect_timeout->whole_millis(), 1);
    code = create(engine.handle(), &record.record, &options, &handle);
  } else {
    code = hv_request_create(engine.handle(), &record.record, &handle);
  }
  if (auto err = Error::from_code(code)) return *err;
  if (handle == 0) return Error::Kind::InitializationFailed;
  inner->handle = RequestHandle(handle);
  return Request(std::move(inner));
}

Result<ResponseFuture> Request::start() {
  if (Status started = inner_->start_once(hv_request_start); !started) return started.error();
  return ResponseFuture(inner_->shared, inner_);
}

Status Request::cancel() { return check(hv_request_cancel(inner_->handle.get())); }

std::optional<CacheState> Request::cache_state() const {
  return query_cache_state(inner_->handle.get());
}

Status Request::resume_read() { return check(hv_request_resume_read(inner_->handle.get())); }

Status Request::upload_write(std::span<const uint8_t> data, bool final_chunk) {
  if (!fits_u32(data.size())) return Error::Kind::InvalidArgument;
  const uint8_t *ptr = data.empty() ? nullptr : data.data();
  return check(hv_request_upload_write(inner_->handle.get(), ptr,
                                       static_cast<uint32_t>(data.size()), final_chunk ? 1 : 0));
}

Status Request::upload_finish() {
  return check(hv_request_upload_write(inner_->handle.get(), nullptr, 0, 1));
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
