// Renewing a stale response in the background (stale-while-revalidate): the
// caller has the stored response already; a request of the engine's own
// asks the origin, and its answer renews or replaces the stored one. No
// caller waits for it, so it has no handle and no callbacks.
#include "base/diag.h"
#include "transfer/transfer.h"

namespace hvcore {
namespace {

// The origin gets this long to answer; a renewal that takes longer is of no
// use to anyone.
constexpr uint64_t kRenewalTimeoutMs = 60 * 1000;

}  // namespace

Transfer::Transfer(std::shared_ptr<EngineContext> context, RequestSettings settings,
                   std::string renewal_key)
    : context_(std::move(context), ContextUse::kUncounted),
      callbacks_(),
      request_(std::move(settings)),
      cache_(*context_, request_.cache_mode),
      renewal_key_(std::move(renewal_key)) {}

void Transfer::renew_in_background() {
  const std::optional<std::string> &key = cache_.key();
  // One renewal a stored response at a time: until it ends, later requests
  // take the stale response without asking again.
  if (!key || !context_->begin_renewal(*key)) return;
  RequestSettings settings;
  settings.url = hop_.url;
  settings.method = "GET";
  settings.headers = hop_.headers;
  // Asks with the stored response's validators whatever its freshness; the
  // whole response, whatever part the caller took.
  std::erase_if(settings.headers, [](const HeaderField &h) { return iequals(h.name, "range"); });
  settings.cache_mode = CacheMode::Validate;
  // A redirect is stored when it is storable, never followed.
  settings.redirect_mode = RedirectMode::Error;
  settings.timeout_ms = kRenewalTimeoutMs;
  settings.connect_timeout_ms = request_.connect_timeout_ms;
  settings.priority = Priority::Low;
  try {
    auto renewal = std::make_shared<Transfer>(context_.shared(), std::move(settings), *key);
    renewal->begin();
  } catch (...) {
    context_->end_renewal(*key);
  }
}

}  // namespace hvcore
