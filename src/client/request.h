// One HTTP exchange driven by the Core.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "client/duration.h"
#include "client/engine.h"
#include "client/event_callback.h"
#include "client/redirect.h"
#include "client/request_config.h"
#include "client/response.h"
#include "client/result.h"

namespace halvane {

class Request {
 public:
  // Creates the Core request (not started). Reached through Engine::request.
  static Result<Request> create(const Engine &engine, RequestConfig config);

  // Starts once; a second start is InvalidState. A Core refusal leaves the
  // request startable.
  Result<ResponseFuture> start();

  Status cancel();
  Status resume_read();
  Status upload_write(std::span<const uint8_t> data, bool final_chunk);
  Status upload_finish();
  bool is_finished() const;

  void set_event_callback(EventCallbackPtr callback);
  void clear_event_callback();

  std::optional<Redirect> take_redirect();
  // Waits once on the state's condition, at most `timeout`.
  Result<std::optional<Redirect>> wait_for_redirect(Duration timeout);
  Status follow_redirect();
  // How the Core answered, once the head is in (response.h).
  std::optional<CacheState> cache_state() const;

 private:
  explicit Request(std::shared_ptr<RequestInner> inner);
  std::shared_ptr<RequestInner> inner_;
};

}  // namespace halvane
