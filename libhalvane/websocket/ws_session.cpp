// The callers' side of a WebSocket and the reports to its callbacks.
#include "websocket/ws_session.h"

#include <algorithm>

#include "base/core_thread.h"
#include "base/diag.h"
#include "engine/asio_loop.h"
#include "websocket/utf8_check.h"
#include "websocket/ws_connection.h"

namespace hvcore {
namespace {

constexpr uint32_t kMaxCloseReason = 123;

// Codes a close frame may carry on the wire; the others are reserved or
// only for reporting.
bool is_sendable_close_code(uint32_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

}  // namespace

WsSession::WsSession(std::shared_ptr<EngineContext> context, WebSocketSettings settings,
                     WebSocketCallbacks callbacks)
    : context_(std::move(context)),
      loop_(context_->asio_loop()),
      settings_(std::move(settings)),
      callbacks_(callbacks) {}

WsSession::~WsSession() = default;

// ---- callers -----------------------------------------------------------------

int32_t WsSession::start() {
  std::lock_guard lock(mutex_);
  if (started_) return kInvalidState;
  // Posted under the lock, so that a cancel or send cannot overtake it.
  post(&WsSession::begin);
  started_ = true;
  return kOk;
}

int32_t WsSession::send(uint32_t type, const uint8_t *data, uint32_t len) {
  if (type != HV_MESSAGE_TEXT && type != HV_MESSAGE_BINARY) return kInvalidArgument;
  if (len > 0 && data == nullptr) return kInvalidArgument;
  // A peer must fail the connection over malformed text; refuse it here.
  if (type == HV_MESSAGE_TEXT && !is_valid_utf8(data, len)) return kInvalidArgument;
  Outgoing item;
  item.kind = type == HV_MESSAGE_TEXT ? Outgoing::Kind::Text : Outgoing::Kind::Binary;
  if (len > 0) item.data.assign(reinterpret_cast<const char *>(data), len);

  std::unique_lock lock(mutex_);
  // A sender racing the caller's cancel learns of the cancel whether its send
  // was held when it came or arrived just after it, until the end is reported.
  if (started_ && cancel_requested_ && !finished_) return kCanceled;
  if (!started_ || cancel_requested_ || close_requested_ || closing_ || finished_)
    return kInvalidState;
  const uint64_t number = queue(std::move(item));
  // A callback that sent from the loop would wait for itself.
  if (unsent_ <= kSendLimit || on_core_thread()) return kOk;
  drained_.wait(lock, [&] {
    return unsent_ <= kSendLimit || sent_ >= number || lost_code_ != kOk || cancel_requested_ ||
           close_requested_;
  });
  if (sent_ >= number) return kOk;
  if (lost_code_ != kOk) return lost_code_;
  if (cancel_requested_) return kCanceled;
  return kOk;  // still queued, and goes out ahead of any close frame
}

int32_t WsSession::ping(const uint8_t *data, uint32_t len) {
  constexpr uint32_t kMaxPingPayload = 125;  // a control frame's limit (RFC 6455 5.5)
  if (len > kMaxPingPayload || (len > 0 && data == nullptr)) return kInvalidArgument;
  Outgoing item;
  item.kind = Outgoing::Kind::Ping;
  if (len > 0) item.data.assign(reinterpret_cast<const char *>(data), len);
  std::lock_guard lock(mutex_);
  if (started_ && cancel_requested_ && !finished_) return kCanceled;
  if (!started_ || cancel_requested_ || close_requested_ || closing_ || finished_)
    return kInvalidState;
  queue(std::move(item));
  return kOk;
}

int32_t WsSession::close(uint32_t code, const uint8_t *reason, uint32_t len) {
  if (!is_sendable_close_code(code) || len > kMaxCloseReason) return kInvalidArgument;
  if (len > 0 && reason == nullptr) return kInvalidArgument;
  if (!is_valid_utf8(reason, len)) return kInvalidArgument;
  Outgoing item;
  item.kind = Outgoing::Kind::Close;
  item.code = static_cast<uint16_t>(code);
  if (len > 0) item.data.assign(reinterpret_cast<const char *>(reason), len);

  std::lock_guard lock(mutex_);
  if (!started_) return kInvalidState;
  // Closing twice, or after the peer began, changes nothing.
  if (cancel_requested_ || close_requested_ || closing_ || finished_) return kOk;
  // Behind the messages already queued, which go out first.
  queue(std::move(item));
  close_requested_ = true;
  drained_.notify_all();  // held senders need not wait for the peer any more
  return kOk;
}

uint64_t WsSession::queue(Outgoing item) {
  // A pump that finds nothing only clears the flag: posting first keeps the
  // two consistent whatever fails.
  if (!pump_posted_) {
    post(&WsSession::pump);
    pump_posted_ = true;
  }
  item.number = queued_ + 1;
  const uint64_t size = item.data.size();
  outbox_.push_back(std::move(item));
  unsent_ += size;
  return ++queued_;
}

std::deque<Outgoing> WsSession::discard_outgoing(int32_t code) {
  std::deque<Outgoing> dropped;
  dropped.swap(outbox_);
  unsent_ = 0;
  // After the caller's cancel whatever ends the session (the abort, the close
  // that follows it) ends it because of the cancel: a held sender that wakes
  // only now learns of the cancel, as one woken by the cancel itself does.
  if (lost_code_ == kOk) lost_code_ = cancel_requested_ ? kCanceled : code;
  drained_.notify_all();
  return dropped;
}

int32_t WsSession::cancel() {
  std::lock_guard lock(mutex_);
  // Before start the cancel is remembered: the start then ends at once.
  if (!started_ || cancel_requested_ || finished_) {
    cancel_requested_ = true;
    return kOk;
  }
  cancel_requested_ = true;
  post(&WsSession::abort);
  drained_.notify_all();
  return kOk;
}

void WsSession::release() {
  std::lock_guard lock(mutex_);
  if (!started_ || cancel_requested_ || finished_) return;
  cancel_requested_ = true;
  post(&WsSession::abort);
  drained_.notify_all();
}

std::optional<Outgoing> WsSession::take_outgoing() {
  std::lock_guard lock(mutex_);
  if (outbox_.empty()) {
    pump_posted_ = false;
    return std::nullopt;
  }
  Outgoing item = std::move(outbox_.front());
  outbox_.pop_front();
  return item;
}

void WsSession::report_sent(const Outgoing &item) {
  std::lock_guard lock(mutex_);
  unsent_ -= std::min<uint64_t>(unsent_, item.data.size());
  sent_ = item.number;
  drained_.notify_all();
}

void WsSession::drop_outgoing() {
  std::deque<Outgoing> dropped;  // freed after the lock
  std::lock_guard lock(mutex_);
  dropped = discard_outgoing(kInvalidState);
  // Closing: nothing can be queued any more, so no pump is owed.
  pump_posted_ = false;
}

// ---- loop ------------------------------------------------------------------------

void WsSession::post(void (WsSession::*method)()) {
  loop_.post([self = shared_from_this(), method] {
    try {
      ((*self).*method)();
    } catch (...) {
      self->on_loop_exception();
    }
  });
}

void WsSession::on_loop_exception() noexcept {
  try {
    if (connection_)
      connection_->abort(out_of_memory_failure());
    else
      report_failure(out_of_memory_failure());
  } catch (...) {
  }
}

void WsSession::begin() {
  if (ended_) return;
  bool cancelled;
  {
    std::lock_guard lock(mutex_);
    cancelled = cancel_requested_;
  }
  if (cancelled) return report_failure(canceled_failure());
  connection_ = std::make_unique<WsConnection>(*this);
  connection_->start();
}

void WsSession::abort() {
  if (ended_) return;
  if (connection_)
    connection_->abort(canceled_failure());
  else
    report_failure(canceled_failure());
}

void WsSession::pump() {
  if (connection_) connection_->pump();
}

bool WsSession::end(int32_t code) {
  if (ended_) return false;
  ended_ = true;
  std::deque<Outgoing> dropped;
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    closing_ = true;
    dropped = discard_outgoing(code == kOk ? kInvalidState : code);
  }
  return true;
}

void WsSession::report_open(std::string_view protocol, std::string_view extensions) {
  if (ended_ || callbacks_.on_open == nullptr) return;
  diag::websocket(handle_, "open");
  callbacks_.on_open(callbacks_.user, handle_, reinterpret_cast<const uint8_t *>(protocol.data()),
                     static_cast<uint32_t>(protocol.size()),
                     reinterpret_cast<const uint8_t *>(extensions.data()),
                     static_cast<uint32_t>(extensions.size()));
}

void WsSession::report_message(bool text, const void *data, size_t len) {
  if (ended_ || callbacks_.on_message == nullptr) return;
  callbacks_.on_message(callbacks_.user, handle_, text ? HV_MESSAGE_TEXT : HV_MESSAGE_BINARY, 1,
                        len > 0 ? static_cast<const uint8_t *>(data) : nullptr,
                        static_cast<uint32_t>(len));
}

void WsSession::report_closing() {
  if (ended_ || closing_reported_) return;
  closing_reported_ = true;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  if (callbacks_.on_closing) callbacks_.on_closing(callbacks_.user, handle_);
}

void WsSession::report_closed(bool clean, uint16_t code, std::string_view reason) {
  // Messages still queued after a clean close were behind its close frame.
  if (!end(kInvalidState) || callbacks_.on_closed == nullptr) return;
  diag::websocket(handle_, clean ? "closed cleanly" : "closed uncleanly");
  callbacks_.on_closed(callbacks_.user, handle_, clean ? 1 : 0, code,
                       reinterpret_cast<const uint8_t *>(reason.data()),
                       static_cast<uint32_t>(reason.size()));
}

void WsSession::report_failure(const WsFailure &failure) {
  if (!end(failure.outcome.code) || callbacks_.on_failure == nullptr) return;
  diag::websocket(handle_, "failed");
  callbacks_.on_failure(callbacks_.user, handle_, failure.outcome.code, failure.outcome.net_error,
                        failure.response_code,
                        reinterpret_cast<const uint8_t *>(failure.message.data()),
                        static_cast<uint32_t>(failure.message.size()));
}

}  // namespace hvcore
