// The operations callers reach through the C interface. They only look at
// the shared flags and post commands; the network thread does the work.
#include "transfer/transfer.h"

namespace hvcore {

Transfer::Transfer(std::shared_ptr<EngineContext> context, RequestSettings settings,
                   Callbacks callbacks)
    : context_(std::move(context)),
      callbacks_(callbacks),
      request_(std::move(settings)),
      cache_(*context_, request_.cache_mode) {}

Transfer::~Transfer() = default;

int32_t Transfer::start() {
  bool plain;
  {
    std::lock_guard lock(mutex_);
    if (started_) return kInvalidState;
    started_ = true;
    // Before the post: the network thread may be busy for a while, and
    // writers must not queue without bound meanwhile.
    upload_.hold_writers();
    plain = !cancel_requested_ && request_.body_kind == BodyKind::None && request_.method == "GET";
    answering_ = plain;
  }
  if (plain) {
    if (answer_at_start()) return kOk;
    std::lock_guard lock(mutex_);
    answering_ = false;
  }
  context_->post([self = shared_from_this()] { self->begin(); });
  return kOk;
}

int32_t Transfer::cancel() {
  {
    std::lock_guard lock(mutex_);
    // Before start the cancel is remembered: the start then ends at once.
    if (!started_ || cancel_requested_ || finished_ || answering_) {
      cancel_requested_ = true;
      return kOk;
    }
    cancel_requested_ = true;
    redirect_deferred_ = false;  // a cancelled request follows nothing
  }
  context_->post([self = shared_from_this()] { self->do_cancel(); });
  return kOk;
}

int32_t Transfer::follow_redirect() {
  {
    std::lock_guard lock(mutex_);
    if (!redirect_deferred_) return kInvalidState;
    redirect_deferred_ = false;
  }
  context_->post([self = shared_from_this()] { self->do_follow(); });
  return kOk;
}

int32_t Transfer::resume_read() {
  {
    std::lock_guard lock(mutex_);
    if (!started_) return kInvalidState;
    // Nothing is paused while start() answers: the answer is small.
    if (finished_ || answering_) return kOk;
  }
  context_->post([self = shared_from_this()] { self->do_resume(); });
  return kOk;
}

int32_t Transfer::upload_write(const uint8_t *data, uint32_t len, bool final_chunk) {
  if (request_.body_kind != BodyKind::Streamed) return kInvalidState;
  if (len > 0 && data == nullptr) return kInvalidArgument;
  if (request_.upload_length) {
    // The declared length is a promise to the server: a body that would run
    // past it, or ends short of it, fails the request before a wrong byte
    // is queued.
    bool broke = false, started = false;
    {
      std::lock_guard lock(mutex_);
      if (upload_mismatch_) return kInvalidState;
      // The whole body is in once the length is: the final mark adds
      // nothing, and may come after the response already did.
      if (len == 0 && final_chunk && upload_written_ == *request_.upload_length) return kOk;
      if (finished_) return kInvalidState;
      const uint64_t written = upload_written_ + len;
      if (written <= *request_.upload_length &&
          (!final_chunk || written == *request_.upload_length)) {
        upload_written_ = written;
      } else {
        upload_mismatch_ = broke = true;
        started = started_;
      }
    }
    if (broke) {
      upload_.close(kNetwork);
      if (started) context_->post([self = shared_from_this()] { self->do_upload_mismatch(); });
      return kNetwork;
    }
  }
  // A callback writing from the network thread must not wait for that
  // thread to drain the buffer.
  return upload_.write(data, len, final_chunk, !context_->on_network_thread());
}

void Transfer::release() {
  {
    std::lock_guard lock(mutex_);
    if (!started_) {
      // No transfer will ever read what writers are waiting to hand over.
      upload_.close(kCanceled);
      return;
    }
    if (finished_ || cancel_requested_) return;
    cancel_requested_ = true;
    if (answering_) return;  // begin() honours it should the answer fail
  }
  context_->post([self = shared_from_this()] { self->do_cancel(); });
}

}  // namespace hvcore
