// An open WebSocket: one read always pending, the session's queue sent one
// item at a time, the closing handshake, and the single end.
#include "websocket/ws_connection.h"

#include <chrono>

#include "engine/asio_loop.h"

namespace hvcore {
namespace {

namespace websocket = beast::websocket;

constexpr size_t kMaxMessage = 64 * 1024 * 1024;
// Outgoing payloads are masked through a buffer of this size.
constexpr size_t kWriteBuffer = 128 * 1024;
// A receive buffer grown past this by a large message is given back.
constexpr size_t kKeepBuffer = 1024 * 1024;
// How long the peer gets to answer a close frame and end the connection.
constexpr auto kClosingTimeout = std::chrono::seconds(30);
constexpr uint16_t kNoStatusReceived = 1005;
constexpr uint16_t kAbnormalClosure = 1006;
constexpr uint16_t kLastCloseCode = 4999;

}  // namespace

WsConnection::WsConnection(WsSession &session)
    : session_(session),
      proxy_(session.engine().proxy.empty() ? std::nullopt
                                            : parse_proxy_url(session.engine().proxy)),
      ws_(session.loop().io().get_executor()),
      resolver_(session.loop().io()),
      deadline_(session.loop().io()) {}

WsConnection::~WsConnection() = default;

void WsConnection::abort(const WsFailure &failure) {
  if (!ended_) fail(failure);
}

void WsConnection::failed_by_exception() noexcept {
  try {
    if (!ended_) fail(out_of_memory_failure());
  } catch (...) {
  }
}

void WsConnection::opened(const std::string &protocol, const std::string &extensions) {
  deadline_.cancel();
  open_ = true;
  ws_.read_message_max(message_limit());
  ws_.auto_fragment(false);
  ws_.write_buffer_bytes(kWriteBuffer);
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = kClosingTimeout;
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws_.set_option(timeouts);
  // The stream owns the callback and this object owns the stream.
  ws_.control_callback(
      [this](websocket::frame_type kind, beast::string_view) { on_control(kind); });
  session_.report_open(protocol, extensions);
  read_next();
  pump();
}

size_t WsConnection::message_limit() const {
  const uint64_t asked = session_.settings().max_message_size;
  return asked > 0 ? static_cast<size_t>(asked) : kMaxMessage;
}

void WsConnection::read_next() {
  ws_.async_read(incoming_, handler([this](const ErrorCode &ec, size_t) { on_read(ec); }));
}

void WsConnection::on_read(const ErrorCode &ec) {
  if (ended_) return;
  if (ec) return on_stream_error(ec);
  const auto data = incoming_.cdata();
  session_.report_message(ws_.got_text(), data.data(), data.size());
  incoming_.consume(incoming_.size());
  if (incoming_.capacity() > kKeepBuffer) incoming_.shrink_to_fit();
  read_next();
}

void WsConnection::pump() {
  if (!open_ || writing_ || ended_) return;
  std::optional<Outgoing> item = session_.take_outgoing();
  if (!item) return;
  if (peer_closed_) {
    // The peer began the close and Beast answered it: nothing more goes out.
    session_.drop_outgoing();
    return;
  }
  outgoing_ = std::move(*item);
  writing_ = true;
  if (outgoing_.kind == Outgoing::Kind::Ping) {
    ws_.async_ping(websocket::ping_data(outgoing_.data.data(), outgoing_.data.size()),
                   handler([this](const ErrorCode &ec) { on_written(ec); }));
    return;
  }
  if (outgoing_.kind == Outgoing::Kind::Close) {
    session_.report_closing();
    ws_.async_close(
        websocket::close_reason(static_cast<websocket::close_code>(outgoing_.code), outgoing_.data),
        handler([this](const ErrorCode &ec) { on_close_sent(ec); }));
    return;
  }
  const bool text = outgoing_.kind == Outgoing::Kind::Text;
  ws_.text(text);
  ws_.async_write(asio::buffer(outgoing_.data),
                  handler([this](const ErrorCode &ec, size_t) { on_written(ec); }));
}

void WsConnection::on_written(const ErrorCode &ec) {
  writing_ = false;
  if (!ended_ && !ec) session_.report_sent(outgoing_);
  outgoing_.data = std::string();
  if (ended_) return;
  if (ec) return on_stream_error(ec);
  pump();
}

void WsConnection::on_close_sent(const ErrorCode &ec) {
  writing_ = false;
  if (ended_) return;
  if (ec) return on_stream_error(ec);
  closed(true, received_code(), received_reason());
}

void WsConnection::on_control(websocket::frame_type kind) {
  if (kind != websocket::frame_type::close) return;
  // Beast refuses the reserved codes itself but takes any from 3000 up,
  // while the registered ranges end at 4999. Fail here, before Beast would
  // echo such a code back.
  if (ws_.reason().code > kLastCloseCode)
    return fail(protocol_failure(websocket::error::bad_close_code));
  peer_closed_ = true;
  session_.report_closing();
  // Nothing queued will go out now: senders held for it need not wait.
  session_.drop_outgoing();
}

void WsConnection::on_stream_error(const ErrorCode &ec) {
  if (ended_) return;
  const bool close_seen = peer_closed_ || ws_.reason().code != websocket::close_code::none;
  if (ec == websocket::error::closed) return closed(true, received_code(), received_reason());
  if (!is_transport_error(ec)) return fail(protocol_failure(ec, message_limit()));
  // After both close frames a cut TLS layer or connection still ends the
  // handshake; before them it is an abnormal closure.
  if (close_seen) return closed(true, received_code(), received_reason());
  closed(false, kAbnormalClosure, "");
}

uint16_t WsConnection::received_code() const {
  const uint16_t code = ws_.reason().code;
  return code == websocket::close_code::none ? kNoStatusReceived : code;
}

std::string WsConnection::received_reason() const {
  const auto &reason = ws_.reason().reason;
  return std::string(reason.data(), reason.size());
}

void WsConnection::closed(bool clean, uint16_t code, const std::string &reason) {
  shut_down();
  session_.report_closed(clean, code, reason);
}

void WsConnection::fail(const WsFailure &failure) {
  shut_down();
  session_.report_failure(failure);
}

void WsConnection::shut_down() {
  ended_ = true;
  deadline_.cancel();
  resolver_.cancel();
  ws_.next_layer().close();
}

}  // namespace hvcore
