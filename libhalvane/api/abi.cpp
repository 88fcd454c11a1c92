// The C interface. Every entry checks its arguments, maps failures to result
// codes and lets no exception out.
#include <curl/curl.h>
#include <openssl/opensslv.h>
#include <pthread.h>

#include <boost/version.hpp>
#include <new>
#include <string>

#include "api/handle_table.h"
#include "api/record_check.h"
#include "base/codes.h"
#include "engine/engine_context.h"
#include "halvane/hv_abi.h"
#include "transfer/transfer.h"
#include "websocket/ws_session.h"

namespace hvcore {
namespace {

struct Engine {
  std::unique_ptr<ContextUse> use;
};

struct Tables {
  HandleTable<Engine> engines;
  HandleTable<Transfer> requests;
  HandleTable<WsSession> websockets;
};

Tables &tables();

// Around fork() the tables are held, so that none is copied into the child
// half-changed by another thread; the child then tells its inherited entries
// apart by the new generation.
void before_fork() {
  tables().engines.lock();
  tables().requests.lock();
  tables().websockets.lock();
}
void after_fork_in_parent() {
  tables().websockets.unlock();
  tables().requests.unlock();
  tables().engines.unlock();
}
void after_fork_in_child() {
  fork_generation_counter().fetch_add(1, std::memory_order_relaxed);
  after_fork_in_parent();
}

// Never destroyed: handles may be released while the process exits.
Tables &tables() {
  static Tables *all = [] {
    auto *made = new Tables();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return made;
  }();
  return *all;
}

HandleTable<Engine> &engines() { return tables().engines; }
HandleTable<Transfer> &requests() { return tables().requests; }
HandleTable<WsSession> &websockets() { return tables().websockets; }

// The object behind `handle`: InvalidState for one inherited from the parent
// process, whose threads are not in this one; InvalidArgument for none.
template <typename T>
int32_t find_live(HandleTable<T> &table, hv_handle handle, std::shared_ptr<T> &out) {
  auto found = table.find(handle);
  if (found.inherited) return kInvalidState;
  if (!found.object) return kInvalidArgument;
  out = std::move(found.object);
  return kOk;
}

template <typename Fn>
int32_t guarded(Fn &&fn) noexcept {
  try {
    return fn();
  } catch (const std::bad_alloc &) {
    return kOutOfMemory;
  } catch (...) {
    return kInitializationFailed;
  }
}

// Runs `fn` on the request behind `handle`.
template <typename Fn>
int32_t with_request(hv_handle handle, Fn &&fn) noexcept {
  return guarded([&]() -> int32_t {
    std::shared_ptr<Transfer> request;
    if (const int32_t code = find_live(requests(), handle, request); code != kOk) return code;
    return fn(*request);
  });
}

// Runs `fn` on the WebSocket behind `handle`.
template <typename Fn>
int32_t with_websocket(hv_handle handle, Fn &&fn) noexcept {
  return guarded([&]() -> int32_t {
    std::shared_ptr<WsSession> websocket;
    if (const int32_t code = find_live(websockets(), handle, websocket); code != kOk) return code;
    return fn(*websocket);
  });
}

std::string make_version_string() {
  std::string text = "halvane/2.0.0";
  if (const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW)) {
    text += " libcurl/";
    text += info->version;
    if (info->ssl_version != nullptr) {
      text += ' ';
      text += info->ssl_version;
    }
  }
  text += " Boost/" + std::to_string(BOOST_VERSION / 100000) + "." +
          std::to_string(BOOST_VERSION / 100 % 1000) + "." + std::to_string(BOOST_VERSION % 100);
  return text;
}

}  // namespace
}  // namespace hvcore

using namespace hvcore;

// The only symbols the library exports; the version script names them.
#pragma GCC visibility push(default)
extern "C" {

uint32_t hv_abi_version(void) { return HV_ABI_VERSION; }

const char *hv_version_string(void) {
  try {
    static const std::string text = make_version_string();
    return text.c_str();
  } catch (...) {
    return nullptr;
  }
}

int32_t hv_engine_create(const hv_engine_record *record, hv_handle *out_engine) {
  if (out_engine == nullptr) return kInvalidArgument;
  *out_engine = 0;
  return guarded([&]() -> int32_t {
    EngineSettings settings;
    if (const int32_t code = read_engine_record(record, settings); code != kOk) return code;
    auto engine = std::make_shared<Engine>();
    if (const int32_t code = EngineContext::start(std::move(settings), engine->use); code != kOk)
      return code;
    *out_engine = engines().add(std::move(engine));
    return kOk;
  });
}

void hv_engine_release(hv_handle engine) {
  guarded([&] {
    // Requests made from the engine keep its network context going. An
    // engine inherited from the parent process is kept (see take()).
    engines().take(engine).reset();
    return kOk;
  });
}

int32_t hv_request_create(hv_handle engine, const hv_request_record *record,
                          hv_handle *out_request) {
  if (out_request == nullptr) return kInvalidArgument;
  *out_request = 0;
  return guarded([&]() -> int32_t {
    std::shared_ptr<Engine> owner;
    if (const int32_t code = find_live(engines(), engine, owner); code != kOk) return code;
    RequestSettings settings;
    Callbacks callbacks;
    if (const int32_t code = read_request_record(record, settings, callbacks); code != kOk)
      return code;
    auto request = std::make_shared<Transfer>(owner->use->shared(), std::move(settings), callbacks);
    const hv_handle handle = requests().add(request);
    request->set_handle(handle);
    *out_request = handle;
    return kOk;
  });
}

int32_t hv_request_start(hv_handle request) {
  return with_request(request, [](Transfer &t) { return t.start(); });
}

int32_t hv_request_cancel(hv_handle request) {
  return with_request(request, [](Transfer &t) { return t.cancel(); });
}

int32_t hv_request_follow_redirect(hv_handle request) {
  return with_request(request, [](Transfer &t) { return t.follow_redirect(); });
}

int32_t hv_request_resume_read(hv_handle request) {
  return with_request(request, [](Transfer &t) { return t.resume_read(); });
}

int32_t hv_request_upload_write(hv_handle request, const uint8_t *data, uint32_t len,
                                uint32_t final_chunk) {
  if (final_chunk > 1) return kInvalidArgument;
  return with_request(request, [&](Transfer &t) { return t.upload_write(data, len, final_chunk); });
}

void hv_request_release(hv_handle request) {
  guarded([&] {
    if (std::shared_ptr<Transfer> t = requests().take(request)) t->release();
    return kOk;
  });
}

int32_t hv_websocket_create(hv_handle engine, const hv_websocket_record *record,
                            hv_handle *out_websocket) {
  if (out_websocket == nullptr) return kInvalidArgument;
  *out_websocket = 0;
  return guarded([&]() -> int32_t {
    std::shared_ptr<Engine> owner;
    if (const int32_t code = find_live(engines(), engine, owner); code != kOk) return code;
    WebSocketSettings settings;
    WebSocketCallbacks callbacks;
    if (const int32_t code = read_websocket_record(record, settings, callbacks); code != kOk)
      return code;
    auto websocket =
        std::make_shared<WsSession>(owner->use->shared(), std::move(settings), callbacks);
    const hv_handle handle = websockets().add(websocket);
    websocket->set_handle(handle);
    *out_websocket = handle;
    return kOk;
  });
}

int32_t hv_websocket_start(hv_handle websocket) {
  return with_websocket(websocket, [](WsSession &w) { return w.start(); });
}

int32_t hv_websocket_send(hv_handle websocket, uint32_t type, const uint8_t *data, uint32_t len) {
  return with_websocket(websocket, [&](WsSession &w) { return w.send(type, data, len); });
}

int32_t hv_websocket_close(hv_handle websocket, uint32_t code, const uint8_t *reason,
                           uint32_t reason_len) {
  return with_websocket(websocket, [&](WsSession &w) { return w.close(code, reason, reason_len); });
}

int32_t hv_websocket_cancel(hv_handle websocket) {
  return with_websocket(websocket, [](WsSession &w) { return w.cancel(); });
}

void hv_websocket_release(hv_handle websocket) {
  guarded([&] {
    if (std::shared_ptr<WsSession> w = websockets().take(websocket)) w->release();
    return kOk;
  });
}

}  // extern "C"
#pragma GCC visibility pop
