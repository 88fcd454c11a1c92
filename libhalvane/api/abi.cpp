// The C interface. Every entry checks its arguments, maps failures to result
// codes and lets no exception out.
#include <curl/curl.h>
#include <openssl/opensslv.h>
#include <pthread.h>

#include <algorithm>
#include <boost/version.hpp>
#include <climits>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "api/handle_table.h"
#include "api/record_check.h"
#include "base/codes.h"
#include "base/http_text.h"
#include "engine/engine_context.h"
#include "halvane/hv_abi.h"
#include "namespaces/cookie_lines.h"
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

// The engine behind `handle`, for the jar entries.
template <typename Fn>
int32_t with_engine(hv_handle handle, Fn &&fn) noexcept {
  return guarded([&]() -> int32_t {
    std::shared_ptr<Engine> engine;
    if (const int32_t code = find_live(engines(), handle, engine); code != kOk) return code;
    return fn(**engine->use);
  });
}

int32_t create_request(hv_handle engine, const hv_request_record *record,
                       const hv_ext_request_options *options, hv_handle *out_request) {
  if (out_request == nullptr) return kInvalidArgument;
  *out_request = 0;
  return guarded([&]() -> int32_t {
    std::shared_ptr<Engine> owner;
    if (const int32_t code = find_live(engines(), engine, owner); code != kOk) return code;
    RequestSettings settings;
    Callbacks callbacks;
    if (const int32_t code = read_request_record(record, settings, callbacks); code != kOk)
      return code;
    if (options != nullptr)
      if (const int32_t code = read_request_options(options, settings); code != kOk) return code;
    auto request = std::make_shared<Transfer>(owner->use->shared(), std::move(settings), callbacks);
    const hv_handle handle = requests().add(request);
    request->set_handle(handle);
    *out_request = handle;
    return kOk;
  });
}

int32_t create_websocket(hv_handle engine, const hv_websocket_record *record,
                         const hv_ext_websocket_options *options, hv_handle *out_websocket) {
  if (out_websocket == nullptr) return kInvalidArgument;
  *out_websocket = 0;
  return guarded([&]() -> int32_t {
    std::shared_ptr<Engine> owner;
    if (const int32_t code = find_live(engines(), engine, owner); code != kOk) return code;
    WebSocketSettings settings;
    WebSocketCallbacks callbacks;
    if (const int32_t code = read_websocket_record(record, settings, callbacks); code != kOk)
      return code;
    if (options != nullptr)
      if (const int32_t code = read_websocket_options(options, settings); code != kOk) return code;
    auto websocket =
        std::make_shared<WsSession>(owner->use->shared(), std::move(settings), callbacks);
    const hv_handle handle = websockets().add(websocket);
    websocket->set_handle(handle);
    *out_websocket = handle;
    return kOk;
  });
}

bool read_text(const uint8_t *data, uint32_t len, std::string &out) {
  if (len > 0 && data == nullptr) return false;
  out.assign(reinterpret_cast<const char *>(data), len);
  return true;
}

bool has_control(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  return false;
}

// A cookie record as a jar line; false for one the jar's format cannot hold.
bool read_cookie(const hv_ext_cookie *cookie, CookieLine &out) {
  if (cookie == nullptr || cookie->size < sizeof(hv_ext_cookie)) return false;
  if (!read_text(cookie->name, cookie->name_len, out.name) ||
      !read_text(cookie->value, cookie->value_len, out.value) ||
      !read_text(cookie->domain, cookie->domain_len, out.domain) ||
      !read_text(cookie->path, cookie->path_len, out.path))
    return false;
  if (!out.domain.empty() && out.domain.front() == '.') out.domain.erase(0, 1);
  if (out.name.empty() || out.domain.empty() || out.path.empty() || out.path.front() != '/' ||
      out.expires < 0 || cookie->secure > 1 || cookie->http_only > 1 || cookie->host_only > 1)
    return false;
  for (const std::string *text : {&out.name, &out.value, &out.domain, &out.path})
    if (has_control(*text) || text->find(';') != std::string::npos) return false;
  if (out.name.find('=') != std::string::npos || out.name.front() == '#' ||
      out.domain.find_first_of(" /") != std::string::npos)
    return false;
  out.domain = lower(out.domain);
  out.secure = cookie->secure != 0;
  out.http_only = cookie->http_only != 0;
  out.include_subdomains = cookie->host_only == 0;
  out.expires = cookie->expires;
  return true;
}

std::optional<std::string> read_filter(const uint8_t *data, uint32_t len, bool &ok) {
  if (data == nullptr) {
    ok = ok && len == 0;
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char *>(data), len);
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
  return create_request(engine, record, nullptr, out_request);
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
  return create_websocket(engine, record, nullptr, out_websocket);
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

// ---- extensions of our own Core (hv_abi.h) --------------------------------

int32_t hv_ext_request_create(hv_handle engine, const hv_request_record *record,
                              const hv_ext_request_options *options, hv_handle *out_request) {
  if (options == nullptr) {
    if (out_request != nullptr) *out_request = 0;
    return kInvalidArgument;
  }
  return create_request(engine, record, options, out_request);
}

int32_t hv_ext_request_cache_state(hv_handle request, uint32_t *out_state) {
  if (out_state == nullptr) return kInvalidArgument;
  *out_state = HV_EXT_CACHE_STATE_UNKNOWN;
  return with_request(request, [&](Transfer &t) {
    *out_state = t.cache_state();
    return kOk;
  });
}

int32_t hv_ext_cookies_list(hv_handle engine, hv_ext_cookie_fn fn, void *user) {
  if (fn == nullptr) return kInvalidArgument;
  return with_engine(engine, [&](EngineContext &context) -> int32_t {
    for (const CookieLine &c : context.list_cookies()) {
      hv_ext_cookie record{};
      record.size = sizeof record;
      auto text = [](const std::string &s, const uint8_t *&data, uint32_t &len) {
        data = reinterpret_cast<const uint8_t *>(s.data());
        len = static_cast<uint32_t>(s.size());
      };
      text(c.name, record.name, record.name_len);
      text(c.value, record.value, record.value_len);
      text(c.domain, record.domain, record.domain_len);
      text(c.path, record.path, record.path_len);
      record.secure = c.secure;
      record.http_only = c.http_only;
      record.host_only = !c.include_subdomains;
      record.expires = c.expires;
      fn(user, &record);
    }
    return kOk;
  });
}

int32_t hv_ext_cookie_set(hv_handle engine, const hv_ext_cookie *cookie) {
  return with_engine(engine, [&](EngineContext &context) -> int32_t {
    CookieLine line;
    if (!read_cookie(cookie, line)) return kInvalidArgument;
    return context.set_cookie(line) ? kOk : kInvalidArgument;
  });
}

int32_t hv_ext_cookies_delete(hv_handle engine, const uint8_t *domain, uint32_t domain_len,
                              const uint8_t *path, uint32_t path_len, const uint8_t *name,
                              uint32_t name_len, uint32_t *out_count) {
  if (out_count != nullptr) *out_count = 0;
  return with_engine(engine, [&](EngineContext &context) -> int32_t {
    bool ok = true;
    std::optional<std::string> d = read_filter(domain, domain_len, ok);
    std::optional<std::string> p = read_filter(path, path_len, ok);
    std::optional<std::string> n = read_filter(name, name_len, ok);
    if (!ok) return kInvalidArgument;
    if (d && !d->empty() && d->front() == '.') d->erase(0, 1);
    const size_t removed = context.delete_cookies(d, p, n);
    if (out_count != nullptr)
      *out_count = static_cast<uint32_t>(std::min<size_t>(removed, UINT32_MAX));
    return kOk;
  });
}

int32_t hv_ext_websocket_create(hv_handle engine, const hv_websocket_record *record,
                                const hv_ext_websocket_options *options, hv_handle *out_websocket) {
  if (options == nullptr) {
    if (out_websocket != nullptr) *out_websocket = 0;
    return kInvalidArgument;
  }
  return create_websocket(engine, record, options, out_websocket);
}

int32_t hv_ext_websocket_ping(hv_handle websocket, const uint8_t *data, uint32_t len) {
  return with_websocket(websocket, [&](WsSession &w) { return w.ping(data, len); });
}

}  // extern "C"
#pragma GCC visibility pop
