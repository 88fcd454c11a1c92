// libcurl's callbacks for one request: response heads, body data with flow
// control, and the request body. They run on the network thread inside
// curl_multi_perform and never let an exception reach libcurl.
#include <cstring>
#include <new>

#include "base/diag.h"
#include "base/http_text.h"
#include "transfer/redirects.h"
#include "transfer/transfer.h"

namespace hvcore {
namespace {

// A redirect's own body is read and dropped so the connection can be reused,
// unless it is large; then the connection is given up instead.
constexpr size_t kRedirectBodyLimit = 64 * 1024;

// A response head larger than this is refused as malformed, as browsers do;
// libcurl's own limits (100 KiB a line, 300 KiB a head) are mapped to the
// same failure.
constexpr size_t kMaxResponseHead = 256 * 1024;

}  // namespace

bool Transfer::on_header_line(std::string_view line) {
  constexpr std::string_view kSetCookie = "set-cookie:";
  if (line.size() > kSetCookie.size() && iequals(line.substr(0, kSetCookie.size()), kSetCookie))
    saw_set_cookie_ = true;
  const HeadBuilder::Step step = head_.add(line);
  if (head_.block().size() > kMaxResponseHead) {
    callback_failure_ = Outcome{kProtocol, net::kResponseHeadersTooBig};
    return false;
  }
  if (step != HeadBuilder::Step::Complete) return true;
  const int status = head_.status();
  if (status >= 100 && status < 200) return true;  // informational heads are not reported
  note_alt_svc(head_.block());
  if (cookies_by_hand_ && saw_set_cookie_) store_response_cookies();
  if (head_delivered_ || redirect_ || cache_.holding()) return true;
  if (cache_.takes_head(hop_, status, head_.block(), sent_fields())) return true;
  if (is_redirect_status(status)) {
    if (auto location = find_header(head_.block(), "location")) {
      redirect_ = PendingRedirect{status, head_.block(), std::move(*location)};
      return true;
    }
  }
  head_delivered_ = true;
  cache_state_.store(HV_EXT_CACHE_STATE_NETWORK, std::memory_order_release);
  chunked_ = is_chunked(head_.block());
  decoder_ = ContentDecoder::for_head(head_.block());
  if (callbacks_.on_response)
    callbacks_.on_response(callbacks_.user, handle_, status,
                           reinterpret_cast<const uint8_t *>(head_.block().data()),
                           static_cast<uint32_t>(head_.block().size()));
  return true;
}

void Transfer::store_response_cookies() {
  const std::vector<std::string> values = find_headers(head_.block(), "set-cookie");
  if (!values.empty()) context_->store_cookies(hop_.url, values);
}

size_t Transfer::on_body_data(char *data, size_t len) {
  if (redirect_) {
    redirect_body_bytes_ += len;
    if (redirect_body_bytes_ > kRedirectBodyLimit) {
      redirect_body_dropped_ = true;
      return CURL_WRITEFUNC_ERROR;
    }
    return len;
  }
  // A response the cache takes instead of the caller.
  if (cache_.holding()) {
    cache_.store_body(reinterpret_cast<const uint8_t *>(data), len);
    return len;
  }
  // Held by libcurl and handed over again after the resume.
  if (recv_paused_) return CURL_WRITEFUNC_PAUSE;
  if (len == 0) return 0;
  bool keep = true;
  if (decoder_) {
    // All of this read is taken; a pause keeps its undecoded rest here.
    switch (decoder_->push(std::string_view(data, len),
                           [this](const uint8_t *piece, size_t n) { return deliver(piece, n); })) {
      case ContentDecoder::Result::Failed:
        callback_failure_ = Outcome{kNetwork, net::kContentDecodingFailed};
        return CURL_WRITEFUNC_ERROR;
      case ContentDecoder::Result::Paused:
        keep = false;
        break;
      case ContentDecoder::Result::Drained:
        break;
    }
  } else {
    keep = deliver(reinterpret_cast<const uint8_t *>(data), len);
  }
  if (!keep) {
    // This chunk was taken; pausing now also closes the HTTP/2 stream
    // window so that the peer stops sending.
    recv_paused_ = true;
    set_pause();
  }
  return len;
}

void Transfer::note_alt_svc(std::string_view head) {
  const EngineSettings &s = context_->settings();
  // Only Auto engines switch versions, never through a proxy, and only on
  // the word of a server whose certificate was checked.
  if (s.http_version != HttpVersion::Auto || !s.proxy.empty() ||
      s.tls == TlsVerification::Disabled || !curl_speaks_http3() || !hop_https_)
    return;
  const std::vector<std::string> fields = find_headers(head, "alt-svc");
  if (fields.empty()) return;
  std::string value;
  for (const std::string &f : fields) {
    if (!value.empty()) value += ", ";
    value += f;
  }
  context_->alt_services().advertised(hop_origin_, value, now_seconds());
}

// Hands one piece to the caller; false when it asks to pause.
bool Transfer::deliver(const uint8_t *data, size_t len) {
  cache_.store_body(data, len);
  if (!callbacks_.on_body) return true;
  return callbacks_.on_body(callbacks_.user, handle_, data, static_cast<uint32_t>(len)) != 0;
}

size_t Transfer::on_upload_read(char *out, size_t cap) {
  if (hop_.body == BodyKind::Bytes) {
    const size_t n = std::min(cap, request_.body.size() - body_offset_);
    if (n > 0) std::memcpy(out, request_.body.data() + body_offset_, n);
    body_offset_ += n;
    return n;
  }
  if (hop_.body != BodyKind::Streamed) return 0;
  bool end = false;
  const size_t n = upload_.read(out, cap, end);
  if (n > 0 || end) return n;
  send_paused_ = true;
  return CURL_READFUNC_PAUSE;
}

size_t Transfer::header_cb(char *data, size_t size, size_t n, void *self) noexcept {
  auto *t = static_cast<Transfer *>(self);
  try {
    return t->on_header_line(std::string_view(data, size * n)) ? size * n : 0;
  } catch (...) {
    t->callback_failure_ = Outcome{kOutOfMemory, net::kOutOfMemory};
    return 0;
  }
}

size_t Transfer::write_cb(char *data, size_t size, size_t n, void *self) noexcept {
  auto *t = static_cast<Transfer *>(self);
  try {
    return t->on_body_data(data, size * n);
  } catch (...) {
    t->callback_failure_ = Outcome{kOutOfMemory, net::kOutOfMemory};
    return CURL_WRITEFUNC_ERROR;
  }
}

size_t Transfer::read_cb(char *out, size_t size, size_t n, void *self) noexcept {
  auto *t = static_cast<Transfer *>(self);
  try {
    return t->on_upload_read(out, size * n);
  } catch (...) {
    t->callback_failure_ = Outcome{kOutOfMemory, net::kOutOfMemory};
    return CURL_READFUNC_ABORT;
  }
}

int Transfer::seek_cb(void *self, curl_off_t offset, int origin) noexcept {
  auto *t = static_cast<Transfer *>(self);
  // Only a body held whole can be sent again (a retry on a fresh connection).
  if (t->hop_.body != BodyKind::Bytes || origin != SEEK_SET || offset < 0 ||
      static_cast<uint64_t>(offset) > t->request_.body.size())
    return CURL_SEEKFUNC_CANTSEEK;
  t->body_offset_ = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// The connection is there, its HTTP version known, and the request not yet
// written.
int Transfer::prereq_cb(void *self, char *, char *, int, int) noexcept {
  auto *t = static_cast<Transfer *>(self);
  t->connected_ = true;
  try {
    if (t->on_connection()) return CURL_PREREQFUNC_OK;
  } catch (...) {
  }
  t->callback_failure_ = Outcome{kOutOfMemory, net::kOutOfMemory};
  return CURL_PREREQFUNC_ABORT;
}

// ---- responses from the cache ----------------------------------------------

TransferCache::SentFields Transfer::sent_fields() const {
  return [this] { return sent_headers(); };
}

// Decides what this hop does with the cache before anything is sent. True
// when the hop was handled without the network: delivered from the cache,
// replayed as a stored redirect, or ended as a cache miss.
bool Transfer::consult_cache() {
  switch (cache_.start_hop(easy_.get(), hop_, sent_fields())) {
    case TransferCache::Start::Network:
      if (cache_.revalidating())
        diag::cache(handle_, "revalidating");
      else if (cache_.keyed() && hop_.method == "GET")
        diag::cache(handle_, "miss");
      return false;
    case TransferCache::Start::Use:
      if (cache_.renews()) {
        diag::cache(handle_, "stale, revalidating in the background");
        renew_in_background();
      } else {
        diag::cache(handle_, "hit");
      }
      replay(cache_.take_entry(), HV_EXT_CACHE_STATE_CACHE);
      return true;
    case TransferCache::Start::Miss:
      if (cache_.keyed()) diag::cache(handle_, "miss");
      complete({kCacheMiss, net::kCacheMiss});
      return true;
  }
  return false;
}

// The hop the cache held has ended. True when the stored response is now on
// its way to the caller instead (or the request ended on the store's failure).
bool Transfer::finish_held(CURLcode result) {
  TransferCache::HeldEnd end;
  auto entry = cache_.finish_held(result, hop_, head_.block(), end);
  if (end.write_failed) {
    complete({kNetwork, net::kCacheWriteFailure});
    return true;
  }
  if (!entry) return false;
  diag::cache(handle_, end.validated ? "revalidated" : "stale, the origin failed");
  // A renewal in the background has no caller to give the response to.
  if (renewal_key_) {
    complete({kOk, 0});
    return true;
  }
  replay(std::move(*entry),
         end.validated ? HV_EXT_CACHE_STATE_REVALIDATED : HV_EXT_CACHE_STATE_CACHE);
  return true;
}

// The exchange failed before a head came: true when a stale stored response
// stands in for the origin.
bool Transfer::stand_in_for_failure(CURLcode result) {
  if (head_delivered_ || redirect_ || callback_failure_ || renewal_key_) return false;
  auto entry = cache_.stale_for_failure(result, hop_);
  if (!entry) return false;
  diag::cache(handle_, "stale, the origin failed");
  replay(std::move(*entry), HV_EXT_CACHE_STATE_CACHE);
  return true;
}

// A stored response goes out as one from the network would: a redirect
// through the redirect reports, anything else as a head and body chunks.
void Transfer::replay(cache::Entry entry, uint32_t state) {
  std::string head = cache_.replay_head(entry, state == HV_EXT_CACHE_STATE_REVALIDATED);
  if (is_redirect_status(entry.meta.status)) {
    if (auto location = find_header(head, "location")) {
      redirect_ = PendingRedirect{entry.meta.status, std::move(head), std::move(*location), true};
      handle_redirect();
      return;
    }
  }
  head_delivered_ = true;
  cache_state_.store(state, std::memory_order_release);
  const int status = parse_status_line(status_line(head));
  cache_.start_replay(std::move(entry));
  if (callbacks_.on_response)
    callbacks_.on_response(callbacks_.user, handle_, status,
                           reinterpret_cast<const uint8_t *>(head.data()),
                           static_cast<uint32_t>(head.size()));
  continue_replay();
}

void Transfer::continue_replay() {
  if (done_ || recv_paused_) return;
  const auto step =
      cache_.replay_body([this](const uint8_t *data, size_t len) { return deliver(data, len); });
  switch (step) {
    case TransferCache::Replay::Done:
      return complete({kOk, 0});
    case TransferCache::Replay::Paused:
      recv_paused_ = true;
      return;
    case TransferCache::Replay::Turn:
      context_->post([self = shared_from_this()] { self->continue_replay(); });
      return;
    case TransferCache::Replay::Failed:
      return complete({kNetwork, net::kCacheReadFailure});
  }
}

}  // namespace hvcore
