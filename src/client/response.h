// Reading a started request: the response head (future) and the body (stream).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "client/error.h"
#include "client/result.h"
#include "halvane/hv_abi.h"

namespace halvane {

struct RequestShared;
struct RequestInner;

struct NotReady {
  friend bool operator==(NotReady, NotReady) = default;
};
struct End {
  friend bool operator==(End, End) = default;
};
using Chunk = std::vector<uint8_t>;

// Body item: a chunk, the failure (reported once), or the end. The blocking
// reader never yields NotReady.
using BodyItem = std::variant<NotReady, Chunk, RequestError, End>;

class ResponseStream {
 public:
  ResponseStream(std::shared_ptr<RequestShared> shared, std::shared_ptr<RequestInner> inner);

  // Blocks until a chunk, the failure or the end is available.
  BodyItem blocking_next();
  // Never blocks: NotReady while nothing is queued and the request runs.
  BodyItem try_next();

 private:
  BodyItem next(bool block);
  std::shared_ptr<RequestShared> shared_;
  std::shared_ptr<RequestInner> inner_;
};

// How the Core answered (its "cache_state" extension).
enum class CacheState : uint8_t { Network, Cache, Revalidated };

// Asks the Core how it answered `request` so far: none before its head, or
// without the extension. Call with no lock of the request held.
std::optional<CacheState> query_cache_state(hv_handle request);

struct Response {
  int32_t status = 0;
  std::vector<uint8_t> headers;  // raw header block as the Core delivered it
  ResponseStream body;
  // None when the Core lacks the extension or does not say.
  std::optional<CacheState> cache_state;
};

using TakeResult = std::variant<NotReady, Response, RequestError>;

class ResponseFuture {
 public:
  ResponseFuture(std::shared_ptr<RequestShared> shared, std::shared_ptr<RequestInner> inner);

  // Blocks without a time limit until the head or the failure in its place.
  // Consumes the future.
  Result<Response, RequestError> wait() &&;
  // Never blocks; NotReady once the head was handed out.
  TakeResult try_take();

 private:
  std::shared_ptr<RequestShared> shared_;
  std::shared_ptr<RequestInner> inner_;
};

}  // namespace halvane
