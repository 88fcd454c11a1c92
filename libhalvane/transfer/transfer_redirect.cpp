// What happens when a hop ends in a redirect: it is reported, then followed,
// deferred until the caller follows it, or turned into the request's failure.
#include "base/diag.h"
#include "base/url.h"
#include "transfer/redirects.h"
#include "transfer/transfer.h"

namespace hvcore {

void Transfer::handle_redirect() {
  const PendingRedirect redirect = std::move(*redirect_);
  redirect_.reset();
  diag::redirect(handle_, redirect.status, redirect.location);
  if (!redirect.from_cache) cache_.on_redirect(hop_, redirect.status, redirect.head, sent_fields());
  if (++redirects_ > kMaxRedirects) return complete({kRedirect, net::kTooManyRedirects});
  const auto target = resolve_url(hop_.url, redirect.location);
  if (!target) return complete({kRedirect, net::kInvalidRedirect});

  Hop next;
  next.url = *target;
  next.method = redirect_method(redirect.status, hop_.method);
  const bool keeps_body = next.method == hop_.method && hop_.body != BodyKind::None;
  next.body = keeps_body ? hop_.body : BodyKind::None;
  const bool cross_origin = url_origin(next.url) != origin_;
  next.headers = hop_.headers;
  strip_redirect_headers(next.headers, cross_origin && !credentials_dropped_, !keeps_body);

  // Decide before reporting, so that a caller woken by the report finds a
  // deferred redirect ready to follow.
  Outcome failure{};
  if (!has_http_scheme(next.url))
    failure = {kRedirect, net::kUnsafeRedirect};
  else if (request_.redirect_mode == RedirectMode::Error)
    failure = {kRedirect, net::kUnsafeRedirect};
  else if (next.body == BodyKind::Streamed)
    // What was streamed has gone out and cannot be sent again.
    failure = {kRedirect, net::kUploadStreamRewindNotSupported};
  const bool defer = failure.code == kOk && request_.redirect_mode == RedirectMode::Manual;
  if (defer) {
    std::lock_guard lock(mutex_);
    redirect_deferred_ = true;
  }

  if (callbacks_.on_redirect)
    callbacks_.on_redirect(callbacks_.user, handle_, redirect.status,
                           reinterpret_cast<const uint8_t *>(redirect.head.data()),
                           static_cast<uint32_t>(redirect.head.size()),
                           reinterpret_cast<const uint8_t *>(next.url.data()),
                           static_cast<uint32_t>(next.url.size()),
                           reinterpret_cast<const uint8_t *>(next.method.data()),
                           static_cast<uint32_t>(next.method.size()));
  if (failure.code != kOk) return complete(failure);

  if (hop_.body == BodyKind::Streamed && next.body == BodyKind::None)
    upload_.close(kInvalidState);  // the body is no longer wanted
  credentials_dropped_ = credentials_dropped_ || cross_origin;
  hop_ = std::move(next);
  if (defer) {
    deferred_ = true;
    return;
  }
  begin_hop();
}

void Transfer::do_follow() {
  if (done_ || !deferred_) return;
  deferred_ = false;
  begin_hop();
}

}  // namespace hvcore
