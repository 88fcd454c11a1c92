#include "ws_harness.h"

#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace nettest {
namespace {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

WsRecorder &of(void *user) { return *static_cast<WsRecorder *>(user); }

std::string text_of(const uint8_t *data, uint32_t len) {
  return len == 0 ? std::string() : std::string(reinterpret_cast<const char *>(data), len);
}

void add(void *user, hv_handle ws, WsEvent event, bool terminal) {
  WsRecorder &r = of(user);
  if (r.hook) r.hook(ws, event.kind);
  std::lock_guard lock(r.mutex);
  const auto id = std::this_thread::get_id();
  if (std::find(r.threads.begin(), r.threads.end(), id) == r.threads.end()) r.threads.push_back(id);
  if (r.terminals > 0) r.after_terminal = true;
  if (terminal) ++r.terminals;
  r.events.push_back(std::move(event));
  r.changed.notify_all();
}

void on_open(void *user, hv_handle ws, const uint8_t *protocol, uint32_t protocol_len,
             const uint8_t *, uint32_t) {
  add(user, ws, {"open", text_of(protocol, protocol_len)}, false);
}

void on_message(void *user, hv_handle ws, int32_t type, int32_t fin, const uint8_t *data,
                uint32_t len) {
  WsEvent event{type == HV_MESSAGE_TEXT ? "text" : "binary", text_of(data, len)};
  event.code = fin;
  add(user, ws, std::move(event), false);
}

void on_closing(void *user, hv_handle ws) { add(user, ws, {"closing", ""}, false); }

void on_closed(void *user, hv_handle ws, int32_t clean, uint32_t code, const uint8_t *reason,
               uint32_t len) {
  WsEvent event{"closed", text_of(reason, len), static_cast<int32_t>(code)};
  event.clean = clean != 0;
  add(user, ws, std::move(event), true);
}

void on_failure(void *user, hv_handle ws, int32_t code, int32_t net_error, int32_t response_code,
                const uint8_t *message, uint32_t len) {
  add(user, ws, {"failure", text_of(message, len), code, net_error, response_code}, true);
}

}  // namespace

hv_websocket_callbacks WsRecorder::table(WsRecorder *r) {
  return {sizeof(hv_websocket_callbacks),
          HV_ABI_VERSION,
          r,
          on_open,
          on_message,
          on_closing,
          on_closed,
          on_failure};
}

bool WsRecorder::wait_for(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, limit, [&] { return events.size() >= count || terminals > 0; });
}

bool WsRecorder::wait_terminal(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, limit, [&] { return terminals > 0; });
}

std::vector<WsEvent> WsRecorder::snapshot() {
  std::lock_guard lock(mutex);
  return events;
}

int32_t create_websocket(hv_handle engine, const std::string &url, const WsOptions &o,
                         WsRecorder *recorder, hv_handle *out) {
  std::vector<hv_protocol> protocols;
  for (const std::string &p : o.protocols)
    protocols.push_back(
        {reinterpret_cast<const uint8_t *>(p.data()), static_cast<uint32_t>(p.size())});
  std::vector<hv_header> headers;
  for (const auto &[name, value] : o.headers)
    headers.push_back(
        {reinterpret_cast<const uint8_t *>(name.data()), static_cast<uint32_t>(name.size()),
         reinterpret_cast<const uint8_t *>(value.data()), static_cast<uint32_t>(value.size())});
  hv_websocket_record record{};
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  record.url = reinterpret_cast<const uint8_t *>(url.data());
  record.url_len = static_cast<uint32_t>(url.size());
  record.origin = reinterpret_cast<const uint8_t *>(o.origin.data());
  record.origin_len = static_cast<uint32_t>(o.origin.size());
  record.protocols = protocols.empty() ? nullptr : protocols.data();
  record.protocol_count = static_cast<uint32_t>(protocols.size());
  record.headers = headers.empty() ? nullptr : headers.data();
  record.header_count = static_cast<uint32_t>(headers.size());
  record.callbacks = WsRecorder::table(recorder);
  record.timeout_ms = o.timeout_ms;
  return hv_websocket_create(engine, &record, out);
}

int32_t send_text(hv_handle ws, const std::string &text) {
  return hv_websocket_send(ws, HV_MESSAGE_TEXT, reinterpret_cast<const uint8_t *>(text.data()),
                           static_cast<uint32_t>(text.size()));
}

int32_t close_websocket(hv_handle ws, uint32_t code, const std::string &reason) {
  return hv_websocket_close(ws, code, reinterpret_cast<const uint8_t *>(reason.data()),
                            static_cast<uint32_t>(reason.size()));
}

LocalServer::Handler websocket_handler(std::function<void(ServerSide &)> behaviour) {
  return [behaviour](Connection &connection, const std::string &head) {
    try {
      asio::io_context io;
      asio::ip::tcp::socket socket(io);
      // A copy of the descriptor: the LocalServer closes its own, and shuts
      // it down to end a connection that is still running at its stop.
      socket.assign(asio::ip::tcp::v4(), ::dup(connection.fd()));
      websocket::stream<asio::ip::tcp::socket> ws(std::move(socket));
      ws.read_message_max(0);
      ws.accept(asio::buffer(head));
      ServerSide side;
      side.target = head.substr(4, head.find(' ', 4) - 4);
      boost::beast::flat_buffer buffer;
      side.read = [&](std::string &message, bool &text) {
        boost::system::error_code ec;
        buffer.clear();
        ws.read(buffer, ec);
        if (ec) return false;
        message = boost::beast::buffers_to_string(buffer.data());
        text = ws.got_text();
        return true;
      };
      side.write = [&](const std::string &message, bool text) {
        boost::system::error_code ec;
        ws.text(text);
        ws.write(asio::buffer(message), ec);
        return !ec;
      };
      side.close = [&](uint16_t code, const std::string &reason) {
        boost::system::error_code ec;
        ws.close(websocket::close_reason(static_cast<websocket::close_code>(code), reason), ec);
      };
      behaviour(side);
    } catch (...) {
    }
  };
}

void echo(ServerSide &side) {
  std::string message;
  bool text = false;
  while (side.read(message, text) && side.write(message, text)) {
  }
}

std::string ws_url(const LocalServer &server, const std::string &path) {
  std::string url = server.url(path);
  return "ws" + url.substr(4);
}

}  // namespace nettest
