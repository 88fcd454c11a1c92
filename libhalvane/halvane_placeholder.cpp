// Placeholder Core shipped in the wheel until the networked Core lands: it
// answers the version calls and creates engines, but refuses to create
// requests and WebSockets, so the module loads and fails cleanly.
#include <atomic>

#include "core/hv_abi.h"

namespace {
constexpr int32_t kInitializationFailed = 4;
std::atomic<hv_handle> next_handle{1};
}  // namespace

extern "C" {

uint32_t hv_abi_version(void) { return HV_ABI_VERSION; }
const char *hv_version_string(void) { return "halvane 2.0 (placeholder, no networking)"; }

int32_t hv_engine_create(const hv_engine_record *record, hv_handle *out) {
  if (record == nullptr || out == nullptr || record->abi != HV_ABI_VERSION) return 1;
  *out = next_handle++;
  return 0;
}
void hv_engine_release(hv_handle) {}

int32_t hv_request_create(hv_handle, const hv_request_record *, hv_handle *out) {
  if (out) *out = 0;
  return kInitializationFailed;
}
int32_t hv_request_start(hv_handle) { return 1; }
int32_t hv_request_cancel(hv_handle) { return 1; }
int32_t hv_request_follow_redirect(hv_handle) { return 1; }
int32_t hv_request_resume_read(hv_handle) { return 1; }
int32_t hv_request_upload_write(hv_handle, const uint8_t *, uint32_t, uint32_t) { return 1; }
void hv_request_release(hv_handle) {}

int32_t hv_websocket_create(hv_handle, const hv_websocket_record *, hv_handle *out) {
  if (out) *out = 0;
  return kInitializationFailed;
}
int32_t hv_websocket_start(hv_handle) { return 1; }
int32_t hv_websocket_send(hv_handle, uint32_t, const uint8_t *, uint32_t) { return 1; }
int32_t hv_websocket_close(hv_handle, uint32_t, const uint8_t *, uint32_t) { return 1; }
int32_t hv_websocket_cancel(hv_handle) { return 1; }
void hv_websocket_release(hv_handle) {}

}  // extern "C"
