#include "client/response.h"

#include <algorithm>

#include "client/core_extensions.h"
#include "client/request_shared.h"
#include "client/spin_lock.h"

namespace halvane {

std::optional<CacheState> query_cache_state(hv_handle request) {
  const auto query = core_extensions().request_cache_state;
  uint32_t state = HV_EXT_CACHE_STATE_UNKNOWN;
  if (query == nullptr || query(request, &state) != HV_OK) return std::nullopt;
  switch (state) {
    case HV_EXT_CACHE_STATE_NETWORK:
      return CacheState::Network;
    case HV_EXT_CACHE_STATE_CACHE:
      return CacheState::Cache;
    case HV_EXT_CACHE_STATE_REVALIDATED:
      return CacheState::Revalidated;
    default:
      return std::nullopt;
  }
}

namespace {

// Net error the Core uses for a response that ended before any head arrived.
constexpr int32_t kEmptyResponseNetError = -324;

// Asks the Core how it answered, once the head is out; outside every lock,
// as every call into the Core.
TakeResult with_cache_state(TakeResult head, const RequestInner &inner) {
  if (auto *response = std::get_if<Response>(&head))
    response->cache_state = query_cache_state(inner.handle.get());
  return head;
}

// Hands out the head, or the failure in its place, under the state mutex.
TakeResult take_head(RequestState &state, const std::shared_ptr<RequestShared> &shared,
                     const std::shared_ptr<RequestInner> &inner) {
  if (state.response_headers) {
    std::vector<uint8_t> headers = std::move(*state.response_headers);
    state.response_headers.reset();
    state.response_taken = true;
    return Response{state.response_status, std::move(headers), ResponseStream(shared, inner)};
  }
  if (state.outcome.is_failed()) {
    state.response_taken = true;
    return RequestError{state.outcome.error(), state.net_error};
  }
  if (state.outcome.is_succeeded()) {
    // Success without a head would otherwise leave the waiter stuck for ever:
    // report it as the empty response it is.
    state.response_taken = true;
    return RequestError{Error::Kind::Protocol, kEmptyResponseNetError};
  }
  return NotReady{};
}

// The next body item under the state mutex; NotReady while nothing is there.
BodyItem take_body_item(RequestState &state) {
  if (!state.body_chunks.empty()) {
    Chunk chunk = std::move(state.body_chunks.front());
    state.body_chunks.pop_front();
    const auto len = static_cast<uint32_t>(std::min<size_t>(chunk.size(), state.buffered_bytes));
    state.buffered_bytes -= len;
    return chunk;
  }
  if (state.outcome.pending()) return NotReady{};
  if (state.outcome.is_succeeded() || state.error_reported) return End{};
  state.error_reported = true;
  return RequestError{state.outcome.error(), state.net_error};
}

}  // namespace

ResponseFuture::ResponseFuture(std::shared_ptr<RequestShared> shared,
                               std::shared_ptr<RequestInner> inner)
    : shared_(std::move(shared)), inner_(std::move(inner)) {}

Result<Response, RequestError> ResponseFuture::wait() && {
  // The future gives up its ownerships when this call returns.
  const std::shared_ptr<RequestShared> shared = std::move(shared_);
  const std::shared_ptr<RequestInner> inner = std::move(inner_);
  TakeResult head;
  {
    std::unique_lock lock = lock_spinning(shared->mutex);
    RequestState &state = shared->state;
    for (;;) {
      while (state.response_taken) shared->changed.wait(lock);
      head = take_head(state, shared, inner);
      if (!std::holds_alternative<NotReady>(head)) break;
      shared->changed.wait(lock);
    }
  }
  head = with_cache_state(std::move(head), *inner);
  if (auto *response = std::get_if<Response>(&head)) return std::move(*response);
  return std::get<RequestError>(head);
}

TakeResult ResponseFuture::try_take() {
  TakeResult head;
  {
    std::unique_lock lock = lock_spinning(shared_->mutex);
    if (shared_->state.response_taken) return NotReady{};
    head = take_head(shared_->state, shared_, inner_);
  }
  return with_cache_state(std::move(head), *inner_);
}

ResponseStream::ResponseStream(std::shared_ptr<RequestShared> shared,
                               std::shared_ptr<RequestInner> inner)
    : shared_(std::move(shared)), inner_(std::move(inner)) {}

BodyItem ResponseStream::blocking_next() { return next(true); }

BodyItem ResponseStream::try_next() { return next(false); }

BodyItem ResponseStream::next(bool block) {
  RequestShared &shared = *shared_;
  bool resume = false;
  BodyItem item;
  {
    std::unique_lock lock = lock_spinning(shared.mutex);
    RequestState &state = shared.state;
    for (;;) {
      item = take_body_item(state);
      if (!std::holds_alternative<NotReady>(item)) break;
      if (!block) return item;
      shared.changed.wait(lock);
    }
    // Once per pause: the first read that brings the buffer under the
    // threshold lets the Core go on.
    if (state.read_paused && state.buffered_bytes < kPauseThreshold) {
      state.read_paused = false;
      resume = true;
    }
    state.notify(shared.changed);
  }
  // Outside the mutex: the Core may deliver on_body from inside this call.
  if (resume) (void)hv_request_resume_read(inner_->handle.get());
  return item;
}

}  // namespace halvane
