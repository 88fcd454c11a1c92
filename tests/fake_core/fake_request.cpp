// Scripted delivery of the four request callbacks, now, on the delivery
// thread, or inside a later hv_* call, plus what the deliveries returned.
#include <cstring>
#include <optional>
#include <string>

#include "fake_state.h"
#include "fake_worker.h"

using namespace fake;

namespace {

// An optional byte argument, copied so that it outlives the caller's buffer.
struct Bytes {
  Bytes(const uint8_t *data, uint32_t len) : null(data == nullptr) {
    if (data != nullptr && len > 0) bytes.assign(reinterpret_cast<const char *>(data), len);
    this->len = len;
  }
  // NULL stays NULL; otherwise a pointer into the copy (never NULL).
  const uint8_t *ptr() const {
    return null ? nullptr : reinterpret_cast<const uint8_t *>(bytes.data());
  }
  bool null;
  uint32_t len = 0;
  std::string bytes;
};

// The callback table of `handle` when the Core may still call it; counts a
// misuse otherwise. `final` marks the request completed.
std::optional<hv_request_callbacks> callable(uint64_t handle, bool final) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.objects.find(handle);
  if (it == s.objects.end() || it->second.kind != ObjectKind::Request || it->second.completed ||
      (it->second.released && !it->second.started)) {
    ++s.misuse;
    return std::nullopt;
  }
  if (final) it->second.completed = true;
  return it->second.request_callbacks;
}

bool is_request(uint64_t handle) {
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(handle);
  return it != state().objects.end() && it->second.kind == ObjectKind::Request;
}

// Runs `delivery` where `when` says (see fake_core.h).
int schedule(uint64_t handle, const char *when, std::function<bool()> delivery) {
  if (!is_request(handle)) return 0;
  if (when == nullptr || *when == '\0') return delivery() ? 1 : 0;
  if (std::strcmp(when, "post") == 0) {
    post([delivery = std::move(delivery)] { delivery(); });
    return 1;
  }
  return arm(handle, when, [delivery = std::move(delivery)] { delivery(); }) ? 1 : 0;
}

}  // namespace

namespace fake {

bool arm(uint64_t handle, const std::string &fn, std::function<void()> action) {
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(handle);
  if (it == state().objects.end()) return false;
  it->second.armed[fn].push_back(std::move(action));
  return true;
}

void run_armed(uint64_t handle, const char *fn) {
  std::vector<std::function<void()>> actions;
  {
    std::lock_guard lock(state().mutex);
    auto it = state().objects.find(handle);
    if (it == state().objects.end()) return;
    auto armed = it->second.armed.find(fn);
    if (armed == it->second.armed.end()) return;
    actions = std::move(armed->second);
    it->second.armed.erase(armed);
  }
  for (auto &action : actions) action();
}

std::vector<int> body_results(uint64_t request) {
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(request);
  return it == state().objects.end() ? std::vector<int>{} : it->second.body_results;
}

std::vector<UploadWrite> upload_writes(uint64_t request) {
  std::lock_guard lock(state().mutex);
  auto it = state().objects.find(request);
  return it == state().objects.end() ? std::vector<UploadWrite>{} : it->second.uploads;
}

}  // namespace fake

extern "C" {

int fake_request_response(uint64_t request, const char *when, int32_t status,
                          const uint8_t *headers, uint32_t headers_len) {
  return schedule(request, when, [=, headers = Bytes(headers, headers_len)] {
    auto table = callable(request, false);
    if (!table) return false;
    table->on_response(table->user_data, request, status, headers.ptr(), headers.len);
    return true;
  });
}

int fake_request_body(uint64_t request, const char *when, const uint8_t *data, uint32_t len) {
  return schedule(request, when, [=, data = Bytes(data, len)] {
    auto table = callable(request, false);
    if (!table) return false;
    const int result = table->on_body(table->user_data, request, data.ptr(), data.len);
    std::lock_guard lock(state().mutex);
    state().objects[request].body_results.push_back(result);
    return true;
  });
}

int fake_request_redirect(uint64_t request, const char *when, int32_t status,
                          const uint8_t *headers, uint32_t headers_len, const uint8_t *first,
                          uint32_t first_len, const uint8_t *second, uint32_t second_len) {
  return schedule(request, when,
                  [=, headers = Bytes(headers, headers_len), first = Bytes(first, first_len),
                   second = Bytes(second, second_len)] {
                    auto table = callable(request, false);
                    if (!table) return false;
                    table->on_redirect(table->user_data, request, status, headers.ptr(),
                                       headers.len, first.ptr(), first.len, second.ptr(),
                                       second.len);
                    return true;
                  });
}

int fake_request_complete(uint64_t request, const char *when, int32_t code, int32_t net_error) {
  return schedule(request, when, [=] {
    auto table = callable(request, true);
    if (!table) return false;
    table->on_complete(table->user_data, request, code, net_error);
    return true;
  });
}

uint64_t fake_request_complete_started(int32_t code, int32_t net_error) {
  std::vector<uint64_t> pending;
  {
    std::lock_guard lock(state().mutex);
    for (const auto &[handle, obj] : state().objects)
      if (obj.kind == ObjectKind::Request && obj.started && !obj.completed)
        pending.push_back(handle);
  }
  uint64_t delivered = 0;
  for (uint64_t handle : pending)
    delivered += fake_request_complete(handle, nullptr, code, net_error);
  return delivered;
}

uint64_t fake_request_body_result_count(uint64_t request) {
  return fake::body_results(request).size();
}

int fake_request_body_result(uint64_t request, uint64_t index) {
  const std::vector<int> results = fake::body_results(request);
  return index < results.size() ? results[index] : -1;
}

uint64_t fake_request_upload_count(uint64_t request) { return fake::upload_writes(request).size(); }

const char *fake_request_upload_json(uint64_t request, uint64_t index) {
  static thread_local std::string out;
  const std::vector<UploadWrite> writes = fake::upload_writes(request);
  out = index < writes.size() ? to_json(writes[index]) : "null";
  return out.c_str();
}

}  // extern "C"
