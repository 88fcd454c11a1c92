#include "harness.h"

#include <algorithm>
#include <stdexcept>

#include "local_server.h"

namespace nettest {
namespace {

Recorder &of(void *user) { return *static_cast<Recorder *>(user); }

void note_thread(Recorder &r) {
  const auto id = std::this_thread::get_id();
  if (std::find(r.threads.begin(), r.threads.end(), id) == r.threads.end()) r.threads.push_back(id);
}

void on_response(void *user, hv_handle, int32_t status, const uint8_t *headers, uint32_t len) {
  Recorder &r = of(user);
  std::lock_guard lock(r.mutex);
  note_thread(r);
  r.status = status;
  r.head.assign(reinterpret_cast<const char *>(headers), len);
  r.changed.notify_all();
}

int on_body(void *user, hv_handle, const uint8_t *data, uint32_t len) {
  Recorder &r = of(user);
  std::lock_guard lock(r.mutex);
  note_thread(r);
  r.body.append(reinterpret_cast<const char *>(data), len);
  ++r.body_calls;
  r.changed.notify_all();
  return r.pause_next.exchange(false) ? 0 : 1;
}

void on_complete(void *user, hv_handle, int32_t code, int32_t net_error) {
  Recorder &r = of(user);
  std::lock_guard lock(r.mutex);
  note_thread(r);
  ++r.completions;
  r.code = code;
  r.net_error = net_error;
  r.changed.notify_all();
}

void on_redirect(void *user, hv_handle, int32_t status, const uint8_t *, uint32_t,
                 const uint8_t *first, uint32_t first_len, const uint8_t *second,
                 uint32_t second_len) {
  Recorder &r = of(user);
  std::lock_guard lock(r.mutex);
  note_thread(r);
  r.redirects.push_back(std::to_string(status) + " " +
                        std::string(reinterpret_cast<const char *>(first), first_len) + " " +
                        std::string(reinterpret_cast<const char *>(second), second_len));
  r.changed.notify_all();
}

}  // namespace

hv_request_callbacks Recorder::table(Recorder *r) {
  return {sizeof(hv_request_callbacks),
          HV_ABI_VERSION,
          r,
          on_response,
          on_body,
          on_complete,
          on_redirect};
}

bool Recorder::wait_complete(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, limit, [&] { return completions > 0; });
}

bool Recorder::wait_head(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, limit, [&] { return status != 0 || completions > 0; });
}

int Recorder::completion_count() {
  std::lock_guard lock(mutex);
  return completions;
}

int32_t create_request(hv_handle engine, const std::string &url, const RequestOptions &o,
                       Recorder *recorder, hv_handle *out) {
  return create_request(engine, url, o, Recorder::table(recorder), out);
}

int32_t create_request(hv_handle engine, const std::string &url, const RequestOptions &o,
                       const hv_request_callbacks &callbacks, hv_handle *out) {
  std::vector<hv_header> headers;
  for (const auto &[name, value] : o.headers)
    headers.push_back(
        {reinterpret_cast<const uint8_t *>(name.data()), static_cast<uint32_t>(name.size()),
         reinterpret_cast<const uint8_t *>(value.data()), static_cast<uint32_t>(value.size())});
  hv_request_record record{};
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  record.url = reinterpret_cast<const uint8_t *>(url.data());
  record.url_len = static_cast<uint32_t>(url.size());
  record.method = reinterpret_cast<const uint8_t *>(o.method.data());
  record.method_len = static_cast<uint32_t>(o.method.size());
  record.headers = headers.empty() ? nullptr : headers.data();
  record.header_count = static_cast<uint32_t>(headers.size());
  record.timeout_ms = o.timeout_ms;
  record.callbacks = callbacks;
  record.body = o.body.empty() ? nullptr : reinterpret_cast<const uint8_t *>(o.body.data());
  record.body_len = static_cast<uint32_t>(o.body.size());
  record.body_kind = o.body_kind;
  record.redirect_mode = o.redirect_mode;
  return hv_request_create(engine, &record, out);
}

hv_engine_record engine_record() {
  hv_engine_record record{};
  record.size = sizeof record;
  record.abi = HV_ABI_VERSION;
  return record;
}

hv_handle make_engine() {
  hv_engine_record record = engine_record();
  hv_handle engine = 0;
  return hv_engine_create(&record, &engine) == 0 ? engine : 0;
}

struct NetworkThreadHold::Server {
  LocalServer server{[](Connection &c, const std::string &) {
    c.send(ok_head(0));
    c.wait_closed();
  }};
};

NetworkThreadHold::NetworkThreadHold(hv_handle engine) : server_(std::make_unique<Server>()) {
  const hv_request_callbacks callbacks{
      sizeof(hv_request_callbacks),
      HV_ABI_VERSION,
      this,
      on_response,
      [](void *, hv_handle, const uint8_t *, uint32_t) { return 1; },
      [](void *user, hv_handle, int32_t, int32_t) {
        auto *self = static_cast<NetworkThreadHold *>(user);
        std::lock_guard lock(self->recorder_.mutex);
        ++self->recorder_.completions;
        self->recorder_.changed.notify_all();
      },
      nullptr};
  if (create_request(engine, server_->server.url("/hold"), {}, callbacks, &request_) != 0 ||
      hv_request_start(request_) != 0)
    throw std::runtime_error("the holding request did not start");
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::seconds(20), [&] { return held_; }))
    throw std::runtime_error("the network thread was never held");
}

NetworkThreadHold::~NetworkThreadHold() {
  release();
  recorder_.wait_complete();
  hv_request_release(request_);
}

void NetworkThreadHold::release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

void NetworkThreadHold::on_response(void *user, hv_handle, int32_t, const uint8_t *, uint32_t) {
  auto *self = static_cast<NetworkThreadHold *>(user);
  std::unique_lock lock(self->mutex_);
  self->held_ = true;
  self->changed_.notify_all();
  self->changed_.wait(lock, [&] { return self->released_; });
}

bool fetch_canned(const std::string &response, Recorder &r) {
  LocalServer server([&](Connection &c, const std::string &) {
    c.send(response);
    c.wait_closed();
  });
  const hv_handle engine = make_engine();
  hv_handle request = 0;
  bool completed = create_request(engine, server.url("/"), {}, &r, &request) == 0 &&
                   hv_request_start(request) == 0 && r.wait_complete();
  hv_request_release(request);
  hv_engine_release(engine);
  return completed;
}

}  // namespace nettest
