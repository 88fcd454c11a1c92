// One WebSocket: the object behind a WebSocket handle.
//
// The public operations may be called from any thread; they check the state
// under `mutex_`, queue what is to be sent and post to the engine's WebSocket
// loop. The connection itself (WsConnection) belongs to that loop, which is
// also the only thread that calls the caller's callbacks, never with a lock
// held. After a successful start exactly one of the closed and failure
// callbacks comes, and nothing after it.
//
// From the start on, a sender is held while more than kSendLimit bytes are
// queued or being written, so that a peer that reads nothing cannot make the
// queue grow without bound; the end, a cancel, a release or a close lets it
// go. Senders on the Core's own threads are never held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/settings.h"
#include "engine/engine_context.h"
#include "websocket/ws_failure.h"

namespace hvcore {

class AsioLoop;
class WsConnection;

// A message or close frame waiting to be sent.
struct Outgoing {
  enum class Kind : uint8_t { Text, Binary, Close, Ping };
  Kind kind = Kind::Binary;
  uint16_t code = 0;    // Close
  uint64_t number = 0;  // its place in the queue, counting from 1
  std::string data;     // the payload, or the close reason
};

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  static constexpr uint64_t kSendLimit = 4 * 1024 * 1024;

  WsSession(std::shared_ptr<EngineContext> context, WebSocketSettings settings,
            WebSocketCallbacks callbacks);
  ~WsSession();

  // The handle value passed back to the callbacks; set once after creation.
  void set_handle(hv_handle handle) { handle_ = handle; }

  // Any thread; each returns a result code.
  int32_t start();
  int32_t send(uint32_t type, const uint8_t *data, uint32_t len);
  int32_t close(uint32_t code, const uint8_t *reason, uint32_t len);
  // Queues a ping frame (at most 125 bytes of payload) like a message.
  int32_t ping(const uint8_t *data, uint32_t len);
  int32_t cancel();
  // The caller lets go of its handle: a running WebSocket is cancelled, and
  // still reports its end.
  void release();

  // Loop thread, for the connection.
  const WebSocketSettings &settings() const { return settings_; }
  const EngineSettings &engine() const { return context_->settings(); }
  EngineContext &context() const { return *context_; }
  AsioLoop &loop() { return loop_; }
  // The next item to send; none when the queue is empty. It counts as
  // unsent until report_sent.
  std::optional<Outgoing> take_outgoing();
  // `item` is written out.
  void report_sent(const Outgoing &item);
  // The peer began the close: what is queued will never go out.
  void drop_outgoing();
  void report_open(std::string_view protocol, std::string_view extensions);
  void report_message(bool text, const void *data, size_t len);
  void report_closing();
  void report_closed(bool clean, uint16_t code, std::string_view reason);
  void report_failure(const WsFailure &failure);

 private:
  // Runs `method` on the loop; an exception there (memory running out) ends
  // the WebSocket with a failure.
  void post(void (WsSession::*method)());
  void on_loop_exception() noexcept;
  // Appends to the queue and makes sure a pump is on its way; under mutex_.
  // Returns the item's number.
  uint64_t queue(Outgoing item);
  // Empties the queue; senders whose data was in it get `code`. Under
  // mutex_; the caller frees what it returns after unlocking.
  [[nodiscard]] std::deque<Outgoing> discard_outgoing(int32_t code);

  // Loop thread (posted).
  void begin();
  void abort();
  void pump();
  // Marks the end for the callers' side; what was unsent is lost, and its
  // senders get `code`. Returns false when it had ended.
  bool end(int32_t code);

  ContextUse context_;
  AsioLoop &loop_;
  const WebSocketSettings settings_;
  const WebSocketCallbacks callbacks_;
  hv_handle handle_ = 0;

  // Shared between callers and the loop.
  std::mutex mutex_;
  bool started_ = false;
  bool cancel_requested_ = false;
  bool close_requested_ = false;
  bool closing_ = false;  // the closing handshake began, from either side
  bool finished_ = false;
  bool pump_posted_ = false;  // a pump is posted or the queue is being drained
  std::deque<Outgoing> outbox_;
  std::condition_variable drained_;  // senders wait here
  uint64_t unsent_ = 0;              // bytes queued or being written
  uint64_t queued_ = 0;              // items queued so far
  uint64_t sent_ = 0;                // the number of the last item written out
  int32_t lost_code_ = kOk;          // why unsent items will never go out

  // Loop thread only.
  std::unique_ptr<WsConnection> connection_;
  bool ended_ = false;
  bool closing_reported_ = false;
};

}  // namespace hvcore
