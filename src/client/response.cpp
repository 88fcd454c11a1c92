#include "client/response.h"

#include <algorithm>

#include "client/request_shared.h"

namespace halvane {

namespace {

// Net error the Core uses for a response that ended before any head arrived.
constexpr int32_t kEmptyResponseNetError = -324;

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
  std::unique_lock lock(shared->mutex);
  RequestState &state = shared->state;
  for (;;) {
    while (state.response_taken) shared->changed.wait(lock);
    TakeResult head = take_head(state, shared, inner);
    if (auto *response = std::get_if<Response>(&head)) return std::move(*response);
    if (auto *error = std::get_if<RequestError>(&head)) return *error;
    shared->changed.wait(lock);
  }
}

TakeResult ResponseFuture::try_take() {
  std::lock_guard lock(shared_->mutex);
  if (shared_->state.response_taken) return NotReady{};
  return take_head(shared_->state, shared_, inner_);
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
    std::unique_lock lock(shared.mutex);
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
