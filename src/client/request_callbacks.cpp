// The Core calls these on its own threads; each one stores what arrived
// through the callback guard.
#include "client/request_callbacks.h"

#include <algorithm>
#include <limits>

#include "client/callback_guard.h"
#include "client/request_shared.h"
#include "client/utf8.h"

namespace halvane {

namespace {

RequestShared &shared_of(void *user) { return *static_cast<RequestShared *>(user); }

std::vector<uint8_t> copy_bytes(const uint8_t *data, uint32_t len) {
  if (len == 0) return {};
  return std::vector<uint8_t>(data, data + len);
}

uint32_t saturating_add(uint32_t a, uint32_t b) {
  const uint64_t sum = uint64_t{a} + b;
  return static_cast<uint32_t>(std::min<uint64_t>(sum, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

extern "C" {

static void on_response(void *user, hv_handle, int32_t status, const uint8_t *headers,
                        uint32_t headers_len) noexcept {
  guard_callback(shared_of(user), [&](RequestState &state) {
    // A head that was never taken is replaced by the newer one.
    state.response_headers = copy_bytes(headers, headers_len);
    state.response_status = status;
  });
}

static int on_body(void *user, hv_handle, const uint8_t *data, uint32_t len) noexcept {
  bool pause = false;
  const bool ok = guard_callback(shared_of(user), [&](RequestState &state) {
    state.body_chunks.push_back(copy_bytes(data, len));
    state.buffered_bytes = saturating_add(state.buffered_bytes, len);
    // Once the outcome is final there is nothing left to pause.
    if (state.buffered_bytes >= kPauseThreshold && state.outcome.pending()) {
      state.read_paused = true;
      pause = true;
    }
  });
  // After a caught failure the Core is told to keep going.
  return ok && pause ? 0 : 1;
}

static void on_redirect(void *user, hv_handle, int32_t status, const uint8_t *headers,
                        uint32_t headers_len, const uint8_t *first, uint32_t first_len,
                        const uint8_t *second, uint32_t second_len) noexcept {
  guard_callback(shared_of(user), [&](RequestState &state) {
    Redirect redirect{status, copy_bytes(headers, headers_len), copy_string(first, first_len),
                      copy_string(second, second_len)};
    state.redirects.push_back(std::move(redirect));
  });
}

static void on_complete(void *user, hv_handle, int32_t code, int32_t net_error) noexcept {
  // The Core's last call: its reference ends here, failure or not.
  guard_final_callback(shared_of(user), [&](RequestState &state) {
    // Replaces any earlier outcome, a CallbackPanic included.
    const std::optional<Error> error = Error::from_code(code);
    state.outcome = error ? RequestOutcome::failed(*error) : RequestOutcome::succeeded();
    state.net_error = net_error;
  });
}

}  // extern "C"

hv_request_callbacks callback_table(RequestShared &shared) {
  hv_request_callbacks callbacks{};
  callbacks.size = sizeof(hv_request_callbacks);
  callbacks.abi = HV_ABI_VERSION;
  callbacks.user_data = &shared;
  callbacks.on_response = on_response;
  callbacks.on_body = on_body;
  callbacks.on_complete = on_complete;
  callbacks.on_redirect = on_redirect;
  return callbacks;
}

}  // namespace halvane
