// The network-thread side of a request: setting up each hop on the easy
// handle, and ending the request exactly once.
#include "transfer/transfer.h"

#include <algorithm>
#include <climits>
#include <new>

#include "base/diag.h"
#include "base/error_map.h"
#include "base/header_block.h"
#include "base/http_text.h"
#include "base/url.h"
#include "namespaces/cookie_lines.h"
#include "namespaces/namespace_store.h"
#include "profiles/profiles.h"
#include "tls/curl_tls.h"
#include "tls/tls_store.h"

namespace hvcore {
namespace {

constexpr long kReceiveBufferSize = 64 * 1024;
constexpr long kUploadBufferSize = 128 * 1024;
// An origin's QUIC is raced against TCP for this long: libcurl starts TCP
// after a quarter of it (500 ms) when QUIC has not answered at all, and at
// once when QUIC failed. A QUIC connection to an origin where QUIC worked
// before has a second to come up.
constexpr long kQuicRaceMs = 2000;
constexpr long kQuicConnectMs = 1000;

long http_version_option(HttpVersion v) {
  switch (v) {
    case HttpVersion::Http1:
      return CURL_HTTP_VERSION_1_1;
    case HttpVersion::Http2:
      return CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
    case HttpVersion::Http3:
      return CURL_HTTP_VERSION_3;
    case HttpVersion::Auto:
    default:
      return CURL_HTTP_VERSION_2TLS;
  }
}

// HTTP/2 stream weights, rising with the priority.
long stream_weight(Priority p) {
  switch (p) {
    case Priority::Highest:
      return 256;
    case Priority::Medium:
      return 128;
    case Priority::Low:
      return 64;
    case Priority::Lowest:
      return 32;
    case Priority::Idle:
      return 8;
    case Priority::Default:
    default:
      return 16;  // the protocol's default weight
  }
}

// RFC 9218 urgencies, as a browser maps its priorities on HTTP/3.
int urgency(Priority p) {
  switch (p) {
    case Priority::Highest:
      return 0;
    case Priority::Medium:
      return 1;
    case Priority::Low:
      return 2;
    case Priority::Lowest:
      return 3;
    case Priority::Idle:
      return 4;
    case Priority::Default:
    default:
      return 3;  // the protocol's default urgency
  }
}

bool sends_empty_body(const std::string &method) {
  return method == "POST" || method == "PUT" || method == "PATCH";
}

// nghttp2 refuses to send a header block over 64 KiB, and libcurl then
// leaves the stream waiting for ever. This bounds the block from above: every
// field costs at most its bytes and ten of HPACK's length and type bytes; the
// margin covers the pseudo-headers, libcurl's own fields and the cookie jar.
constexpr size_t kHttp2HeadLimit = 48 * 1024;

size_t http2_head_bound(const std::string &url, const std::string &method,
                        const std::vector<HeaderField> &headers, const EngineSettings &s) {
  size_t size = url.size() + method.size() + s.user_agent.size() + s.accept_language.size();
  for (const HeaderField &h : headers) size += h.name.size() + h.value.size() + 10;
  return size;
}

}  // namespace

// ---- start and per-hop setup ---------------------------------------------

void Transfer::begin() {
  context_->track(shared_from_this());
  bool cancelled;
  {
    std::lock_guard lock(mutex_);
    cancelled = cancel_requested_;
  }
  if (cancelled) return complete({kCanceled, net::kAborted});
  if (upload_mismatch()) return complete({kNetwork, net::kUploadFileChanged});

  if (request_.body_kind == BodyKind::Streamed) {
    std::weak_ptr<Transfer> weak = weak_from_this();
    EngineContext *context = &*context_;
    upload_.activate([weak, context] {
      if (auto self = weak.lock()) context->post([self] { self->do_upload_wake(); });
    });
  }
  // The clock counts 64-bit nanoseconds: a deadline past about 292 years would
  // overflow and fire at once. A timeout of a century or more never expires.
  constexpr uint64_t kNeverMs = uint64_t{100} * 365 * 24 * 3600 * 1000;
  if (request_.timeout_ms > 0 && request_.timeout_ms < kNeverMs)
    deadline_ = Clock::now() + std::chrono::milliseconds(request_.timeout_ms);
  origin_ = url_origin(request_.url);
  hop_ = Hop{request_.url, request_.method, request_.headers, request_.body_kind};
  easy_.reset(curl_easy_init());
  if (!easy_) return complete({kOutOfMemory, net::kOutOfMemory});
  cookies_by_hand_ = std::any_of(request_.headers.begin(), request_.headers.end(),
                                 [](const HeaderField &h) { return iequals(h.name, "cookie"); });
  if (Namespace *ns = context_->profile_namespace()) {
    // Cookies other processes stored in the namespace since the last look
    // (by hand, the jar's header is read through a handle that loads them).
    curl_easy_setopt(easy_.get(), CURLOPT_SHARE, context_->share());
    if (!cookies_by_hand_) ns->load_cookies(easy_.get());
  }
  begin_hop();
}

void Transfer::begin_hop() {
  diag::request(handle_, hop_.method, hop_.url);
  head_ = HeadBuilder();
  decoder_.reset();
  redirect_.reset();
  redirect_body_bytes_ = 0;
  redirect_body_dropped_ = false;
  head_delivered_ = chunked_ = connected_ = false;
  recv_paused_ = send_paused_ = false;
  body_offset_ = 0;
  wire_version_.reset();
  error_buffer_[0] = '\0';

  if (deadline_ && *deadline_ <= Clock::now()) return complete({kTimeout, net::kTimedOut});
  // HTTP/2 or HTTP/3 was asked for, and this head cannot travel on it.
  const HttpVersion asked = context_->settings().http_version;
  if ((asked == HttpVersion::Http2 || asked == HttpVersion::Http3) &&
      http2_head_bound(hop_.url, hop_.method, hop_.headers, context_->settings()) > kHttp2HeadLimit)
    return complete({kInvalidArgument, net::kInvalidArgument});
  settle_race();
  hop_origin_ = url_origin(hop_.url);
  hop_https_ = url_scheme(hop_.url) == "https";
  hop_version_ = choose_http_version();
  race_settled_ = false;
  if (consult_cache()) return;
  launch_hop();
}

bool Transfer::launch_hop() {
  long timeout_ms = 0;
  if (deadline_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
    if (left <= 0) {
      complete({kTimeout, net::kTimedOut});
      return false;
    }
    // curl takes a long, 32 bits on i386 (about 24.8 days); a longer wait is
    // timed by tick alone.
    if (left <= LONG_MAX) timeout_ms = static_cast<long>(left);
  }
  bool configured = false;
  try {
    configured = configure_easy();
  } catch (const std::bad_alloc &) {
  }
  if (!configured) {
    complete({kOutOfMemory, net::kOutOfMemory});
    return false;
  }
  curl_easy_setopt(easy_.get(), CURLOPT_TIMEOUT_MS, timeout_ms);
  if (curl_multi_add_handle(context_->multi(), easy_.get()) != CURLM_OK) {
    complete({kOutOfMemory, net::kOutOfMemory});
    return false;
  }
  in_multi_ = true;
  return true;
}

bool Transfer::configure_easy() {
  CURL *e = easy_.get();
  const EngineSettings &s = context_->settings();
  curl_easy_reset(e);
  bool ok = true;
  auto set = [&](CURLoption opt, auto value) {
    ok = ok && curl_easy_setopt(e, opt, value) == CURLE_OK;
  };

  set(CURLOPT_PRIVATE,
      static_cast<void *>(static_cast<MultiWork *>(this)));  // read back by the context
  set(CURLOPT_URL, hop_.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 0L);  // every hop is reported and may wait
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_SHARE, context_->share());
  // The engine's jar, in memory only. Left off, libcurl neither sends the
  // jar's cookies nor takes the responses' (cookies_by_hand_); a handle
  // never turns it off again, so it is never turned on for such a request.
  if (!cookies_by_hand_) set(CURLOPT_COOKIEFILE, "");
  // Bodies are decoded here (content_decoder.h), so that a pause holds back
  // the decoding too; libcurl would keep everything one read decodes to.
  set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  set(CURLOPT_HTTP_VERSION, http_version());
  set(CURLOPT_PIPEWAIT, 1L);
  // The caller's bound on establishing a connection (TCP and TLS, or QUIC);
  // a shorter one of our own below wins.
  long connect_ms = 0;
  if (request_.connect_timeout_ms > 0)
    connect_ms = static_cast<long>(std::min<uint64_t>(request_.connect_timeout_ms, LONG_MAX));
  switch (quic_use_) {
    case AltServices::Use::Try:
      // A connection of its own, not the TCP one that brought the
      // advertisement, with QUIC and TCP raced: TCP starts once QUIC has
      // been silent for a quarter of this, or failed.
      set(CURLOPT_FRESH_CONNECT, 1L);
      set(CURLOPT_HAPPY_EYEBALLS_TIMEOUT_MS, kQuicRaceMs);
      break;
    case AltServices::Use::Working:
      // A new QUIC connection that does not come up soon is given up for
      // TCP (fall_back_from_quic).
      connect_ms = connect_ms > 0 ? std::min(connect_ms, kQuicConnectMs) : kQuicConnectMs;
      break;
    case AltServices::Use::None:
      break;
  }
  if (connect_ms > 0) set(CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  set(CURLOPT_STREAM_WEIGHT, stream_weight(request_.priority));
  set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  set(CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  set(CURLOPT_ERRORBUFFER, error_buffer_);
  set(CURLOPT_HEADERFUNCTION, &Transfer::header_cb);
  set(CURLOPT_HEADERDATA, static_cast<void *>(this));
  set(CURLOPT_WRITEFUNCTION, &Transfer::write_cb);
  set(CURLOPT_WRITEDATA, static_cast<void *>(this));
  set(CURLOPT_PREREQFUNCTION, &Transfer::prereq_cb);
  set(CURLOPT_PREREQDATA, static_cast<void *>(this));

  // Proxy: only the engine's; the environment is never consulted.
  set(CURLOPT_PROXY, s.proxy.c_str());
  set(CURLOPT_NOPROXY, "");
  if (!s.proxy_username.empty() || !s.proxy_password.empty()) {
    set(CURLOPT_PROXYUSERNAME, s.proxy_username.c_str());
    set(CURLOPT_PROXYPASSWORD, s.proxy_password.c_str());
    // Sent with the first request: a challenge round would show the
    // proxy's 407 head as if it were the response.
    set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
  }

  // TLS 1.0 and 1.1 are refused like a current browser does.
  set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  set(CURLOPT_PROXY_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  switch (s.tls) {
    case TlsVerification::Disabled:
      set(CURLOPT_SSL_VERIFYPEER, 0L);
      set(CURLOPT_SSL_VERIFYHOST, 0L);
      set(CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
      set(CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
      break;
    case TlsVerification::CustomCa:
      // Only the engine's own bundle, nothing from the system store. libcurl
      // keys its TLS sessions on the bundle, so that an engine of the same
      // namespace that trusts other certificates never resumes a session
      // these verified. An empty bundle leaves libcurl's store empty.
      set(CURLOPT_CAINFO, static_cast<const char *>(nullptr));
      set(CURLOPT_CAPATH, static_cast<const char *>(nullptr));
      set(CURLOPT_PROXY_CAINFO, static_cast<const char *>(nullptr));
      set(CURLOPT_PROXY_CAPATH, static_cast<const char *>(nullptr));
      if (const std::string &pem = s.ca->pem(); !pem.empty()) {
        // libcurl copies it into each connection's settings; the engine's
        // bundle outlives the transfer that points at it.
        curl_blob blob{const_cast<char *>(pem.data()), pem.size(), CURL_BLOB_NOCOPY};
        set(CURLOPT_CAINFO_BLOB, &blob);
        set(CURLOPT_PROXY_CAINFO_BLOB, &blob);
      }
      break;
    case TlsVerification::Default:
      break;
  }
  // The certificate policy and the profile's ClientHello (or the Core's TLS
  // defaults) go into the context libcurl makes for each connection.
  if (needs_ssl_ctx_callback(s)) {
    ssl_ctx_data_ = {.settings = &s, .offers_h2 = http_version() != CURL_HTTP_VERSION_1_1};
    set(CURLOPT_SSL_CTX_FUNCTION, &engine_ssl_ctx_callback);
    set(CURLOPT_SSL_CTX_DATA, static_cast<void *>(&ssl_ctx_data_));
  }
#ifdef HALVANE_OWN_TLS_STACK
  // A new HTTP/2 connection opens the way the profile's browser opens one.
  if (s.profile != nullptr) set(CURLOPT_HTTP2_FINGERPRINT, s.profile->http2.c_str());
#endif

  std::string cookies;
  header_list_.reset(build_header_list(cookies));
  set(CURLOPT_HTTPHEADER, header_list_.get());
  if (cookies_by_hand_) cookies = merge_cookie_fields(context_->cookie_header(hop_.url), cookies);
  if (!cookies.empty()) set(CURLOPT_COOKIE, cookies.c_str());  // copied by libcurl
  return ok && configure_method();
}

bool Transfer::configure_method() {
  CURL *e = easy_.get();
  bool ok = true;
  auto set = [&](CURLoption opt, auto value) {
    ok = ok && curl_easy_setopt(e, opt, value) == CURLE_OK;
  };
  const std::string &method = hop_.method;
  if (method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
    return ok;
  }
  if (hop_.body == BodyKind::None && !sends_empty_body(method)) {
    set(CURLOPT_HTTPGET, 1L);
    if (method != "GET") set(CURLOPT_CUSTOMREQUEST, method.c_str());
    return ok;
  }
  // Bodies go through the read callback in upload mode, which adds no
  // content type of its own; the method is named explicitly.
  set(CURLOPT_UPLOAD, 1L);
  set(CURLOPT_CUSTOMREQUEST, method.c_str());
  set(CURLOPT_READFUNCTION, &Transfer::read_cb);
  set(CURLOPT_READDATA, static_cast<void *>(this));
  set(CURLOPT_SEEKFUNCTION, &Transfer::seek_cb);
  set(CURLOPT_SEEKDATA, static_cast<void *>(this));
  curl_off_t size = 0;
  if (hop_.body == BodyKind::Bytes) size = static_cast<curl_off_t>(request_.body.size());
  // Chunked on HTTP/1.1, unless the caller declared the length: then libcurl
  // sends it, and upload_write holds the body to it.
  if (hop_.body == BodyKind::Streamed)
    size = request_.upload_length ? static_cast<curl_off_t>(*request_.upload_length) : -1;
  set(CURLOPT_INFILESIZE_LARGE, size);
  return ok;
}

long Transfer::choose_http_version() {
  const EngineSettings &s = context_->settings();
  quic_use_ = AltServices::Use::None;
  const bool https = hop_https_;
  // There is no HTTP/3 without TLS: an h3 engine's http URLs go over
  // HTTP/1.1, as other clients that ask for HTTP/3 do.
  if (s.http_version == HttpVersion::Http3)
    return https ? CURL_HTTP_VERSION_3ONLY : CURL_HTTP_VERSION_1_1;
  if (s.http_version != HttpVersion::Auto) return http_version_option(s.http_version);
  // Without TLS there is no HTTP/2 to negotiate. Asking for it anyway would
  // let a request wait for the origin's first connection to show whether it
  // multiplexes, and wait for ever if that connection failed before a reply.
  if (!https) return CURL_HTTP_VERSION_1_1;
  if (http2_head_bound(hop_.url, hop_.method, hop_.headers, s) > kHttp2HeadLimit)
    return CURL_HTTP_VERSION_1_1;  // a new connection: HTTP/1.1 ones never share an HTTP/2 one
  if (s.proxy.empty() && curl_speaks_http3()) {
    quic_use_ = context_->alt_services().use_for(hop_origin_, now_seconds(), Clock::now());
    if (quic_use_ == AltServices::Use::Try) return CURL_HTTP_VERSION_3;
    if (quic_use_ == AltServices::Use::Working) return CURL_HTTP_VERSION_3ONLY;
  }
  return http_version_option(s.http_version);
}

bool Transfer::sends_http2() const {
  if (wire_version_) return *wire_version_ >= 2;
  return http_version() != CURL_HTTP_VERSION_1_1;
}

bool Transfer::sends_http3() const {
  if (wire_version_) return *wire_version_ == 3;
  return http_version() == CURL_HTTP_VERSION_3ONLY || http_version() == CURL_HTTP_VERSION_3;
}

bool Transfer::on_connection() {
  const EngineSettings &s = context_->settings();
  // Only ALPN and a race of QUIC with TCP leave the version open until the
  // connection is there.
  const long asked = http_version();
  if (asked != CURL_HTTP_VERSION_2TLS && asked != CURL_HTTP_VERSION_3) return true;
  // Nothing depends on the answer without a race, a profile or a priority.
  const bool racing = quic_use_ == AltServices::Use::Try && !race_settled_;
  if (!racing && s.profile == nullptr && request_.priority == Priority::Default) return true;
  const int version = negotiated_version(easy_.get(), hop_https_);
  if (racing) {
    race_settled_ = true;
    if (version == 3)
      context_->alt_services().reached(hop_origin_);
    else
      context_->alt_services().broken(hop_origin_, Clock::now());
  }
  // A profile's fields depend on the version, and so does a priority field.
  const bool http2 = sends_http2(), http3 = sends_http3();
  wire_version_ = version;
  if ((s.profile == nullptr || sends_http2() == http2) &&
      (request_.priority == Priority::Default || sends_http3() == http3))
    return true;
  // libcurl writes the request from this list after this callback.
  std::string cookies;
  SlistPtr list(build_header_list(cookies));
  if (curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, list.get()) != CURLE_OK) return false;
  header_list_ = std::move(list);
  return true;
}

std::vector<HeaderField> Transfer::sent_headers() const {
  const EngineSettings &s = context_->settings();
  // Under a profile its browser's fields lead, in its order, holding the
  // caller's and the engine's values where the names meet.
  const BrowserProfile *profile = s.profile;
  // A revalidation asks with the stored response's validators, as if the
  // caller had given them.
  std::vector<HeaderField> caller = hop_.headers;
  std::vector<HeaderField> added = cache_.validators();
  // The cache's Range (a missing part) goes out instead of the caller's.
  if (!added.empty())
    std::erase_if(caller, [&](const HeaderField &h) {
      return std::any_of(added.begin(), added.end(),
                         [&](const HeaderField &a) { return iequals(a.name, h.name); });
    });
  for (HeaderField &h : added) caller.push_back(std::move(h));
  std::vector<HeaderField> fields =
      profile ? compose_request_headers(*profile, s, caller, sends_http2()) : std::move(caller);
  bool has_user_agent = false, has_accept_language = false, has_accept_encoding = false;
  for (const HeaderField &h : fields) {
    has_user_agent = has_user_agent || iequals(h.name, "user-agent");
    has_accept_language = has_accept_language || iequals(h.name, "accept-language");
    has_accept_encoding = has_accept_encoding || iequals(h.name, "accept-encoding");
  }
  if (!has_user_agent && !s.user_agent.empty()) fields.push_back({"User-Agent", s.user_agent});
  if (!has_accept_language && !s.accept_language.empty())
    fields.push_back({"Accept-Language", s.accept_language});
  if (!has_accept_encoding) fields.push_back({"Accept-Encoding", std::string(kAcceptedCodings)});
  // HTTP/3 carries a request's priority in this field (RFC 9218), where
  // HTTP/2 has a stream weight libcurl sends.
  if (request_.priority != Priority::Default && sends_http3() &&
      std::none_of(fields.begin(), fields.end(),
                   [](const HeaderField &h) { return iequals(h.name, "priority"); }))
    fields.push_back({"priority", "u=" + std::to_string(urgency(request_.priority))});
  return fields;
}

curl_slist *Transfer::build_header_list(std::string &cookies) const {
  SlistBuilder list;
  bool has_expect = false;
  std::string line;
  for (const HeaderField &h : sent_headers()) {
    if (iequals(h.name, "cookie")) {
      // One Cookie line, merged with the jar's cookies (configure_easy).
      if (!cookies.empty()) cookies += "; ";
      cookies += h.value;
      continue;
    }
    // The body's framing is the Core's: a caller's length or coding could
    // contradict what is sent.
    if (iequals(h.name, "content-length") || iequals(h.name, "transfer-encoding")) continue;
    has_expect = has_expect || iequals(h.name, "expect");
    // "Name;" is libcurl's form for a header with an empty value.
    line.assign(h.name);
    line += h.value.empty() ? ";" : ": ";
    line += h.value;
    list.append(line.c_str());
  }
  if (!has_expect) list.append("Expect:");  // no 100-continue round trip
  return list.release();
}

// ---- control commands ------------------------------------------------------

void Transfer::do_cancel() {
  if (!done_) complete({kCanceled, net::kAborted});
}

void Transfer::set_pause() {
  const int bits = (recv_paused_ ? CURLPAUSE_RECV : 0) | (send_paused_ ? CURLPAUSE_SEND : 0);
  curl_easy_pause(easy_.get(), bits);
}

void Transfer::do_resume() {
  if (cache_.replaying()) {
    if (done_ || !recv_paused_) return;
    recv_paused_ = false;
    return continue_replay();
  }
  if (done_ || !recv_paused_ || (!in_multi_ && !end_result_)) return;
  recv_paused_ = false;
  if (decoder_ && decoder_->holding()) {
    const auto result =
        decoder_->drain([this](const uint8_t *data, size_t len) { return deliver(data, len); });
    if (result == ContentDecoder::Result::Failed)
      return complete({kNetwork, net::kContentDecodingFailed});
    if (result == ContentDecoder::Result::Paused) {
      recv_paused_ = true;  // libcurl stays paused too
      return;
    }
  }
  if (end_result_) return finish(*end_result_);
  set_pause();  // may deliver held data, and pause again, right here
}

void Transfer::do_upload_mismatch() {
  // Removing the easy handle mid-body closes an HTTP/1.1 connection and
  // resets an HTTP/2 or HTTP/3 stream: nothing short or long is taken as
  // the request.
  if (!done_) complete({kNetwork, net::kUploadFileChanged});
}

void Transfer::do_upload_wake() {
  upload_.woken();
  if (done_ || !in_multi_ || !send_paused_) return;
  send_paused_ = false;
  set_pause();
}

// libcurl's own timeout does not run while a transfer waits for a
// connection, nor once it has ended with body still held here: the deadline
// is watched here as well, with the outcome libcurl would give.
void Transfer::tick(Clock::time_point now) {
  if (!done_ && deadline_ && now >= *deadline_)
    complete({kTimeout, connected_ || deferred_ ? net::kTimedOut : net::kConnectionTimedOut});
}

std::optional<Transfer::Clock::time_point> Transfer::wake_deadline() const {
  if (!done_) return deadline_;
  return std::nullopt;
}

// ---- the end -----------------------------------------------------------------

void Transfer::on_done(CURLcode result) {
  if (done_) return;
  diag::hop(handle_, easy_.get());
  curl_multi_remove_handle(context_->multi(), easy_.get());
  in_multi_ = false;
  if (fall_back_from_quic(result)) return;
  if (finish_held(result)) return;
  if (redirect_ && (result == CURLE_OK || (result == CURLE_WRITE_ERROR && redirect_body_dropped_)))
    return handle_redirect();
  if (result != CURLE_OK && stand_in_for_failure(result)) return;
  if (callback_failure_) return complete(*callback_failure_);
  if (decoder_ && decoder_->holding()) {
    end_result_ = result;
    return;
  }
  finish(result);
}

bool Transfer::fall_back_from_quic(CURLcode result) {
  // Only QUIC alone, under Auto, and only while nothing of the request went
  // out: a failure after that is the request's own.
  if (quic_use_ != AltServices::Use::Working || connected_ || callback_failure_ ||
      result == CURLE_OK || result == CURLE_ABORTED_BY_CALLBACK || result == CURLE_OUT_OF_MEMORY)
    return false;
  if (deadline_ && *deadline_ <= Clock::now()) return false;
  context_->alt_services().broken(hop_origin_, Clock::now());
  diag::quic_fallback(handle_);
  quic_use_ = AltServices::Use::None;
  hop_version_ = CURL_HTTP_VERSION_2TLS;
  error_buffer_[0] = '\0';
  launch_hop();
  return true;
}

void Transfer::finish(CURLcode result) {
  if (result == CURLE_OK) {
    // A transfer never succeeds without a head to show for it.
    if (!head_delivered_) return complete({kNetwork, net::kEmptyResponse});
    return complete({kOk, 0});
  }
  complete(failure_outcome(result));
}

Outcome Transfer::failure_outcome(CURLcode result) const {
  FailureFacts facts;
  facts.curl = result;
  curl_easy_getinfo(easy_.get(), CURLINFO_OS_ERRNO, &facts.os_errno);
  curl_easy_getinfo(easy_.get(), CURLINFO_HTTP_CONNECTCODE, &facts.connect_code);
  curl_easy_getinfo(easy_.get(), CURLINFO_SSL_VERIFYRESULT, &facts.verify_result);
  curl_easy_getinfo(easy_.get(), CURLINFO_PROXY_SSL_VERIFYRESULT, &facts.proxy_verify);
  facts.connected = connected_;
  facts.via_proxy = !context_->settings().proxy.empty();
  facts.chunked = chunked_;
  facts.awaiting_head = connected_ && !head_delivered_ && !redirect_;
  facts.message = error_buffer_;
  return map_failure(facts);
}

void Transfer::settle_race() {
  if (quic_use_ == AltServices::Use::Try && !race_settled_)
    context_->alt_services().race_abandoned(hop_origin_);
  race_settled_ = true;
}

void Transfer::complete(Outcome outcome) {
  if (done_) return;
  done_ = true;
  settle_race();
  deferred_ = false;
  if (cache_.keyed() && !cache_.replaying() && head_delivered_)
    diag::cache(handle_, cache_.storing() && outcome.code == kOk ? "stored" : "not stored");
  cache_.on_complete(outcome.code == kOk, hop_, head_delivered_, head_.status(), head_.block());
  // The namespace's jar takes what the responses set once they are all in.
  if (saw_set_cookie_ && easy_) {
    context_->bound_cookies();
    if (Namespace *ns = context_->profile_namespace()) ns->save_cookies(easy_.get());
  }
  if (renewal_key_) context_->end_renewal(*renewal_key_);
  diag::end(handle_, outcome.code);
  if (in_multi_) curl_multi_remove_handle(context_->multi(), easy_.get());
  in_multi_ = false;
  easy_.reset();  // the share is touched here, so only on this thread
  header_list_.reset();
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
    redirect_deferred_ = false;
  }
  upload_.close(outcome.code == kOk ? kInvalidState : outcome.code);
  if (callbacks_.on_complete)
    callbacks_.on_complete(callbacks_.user, handle_, outcome.code, outcome.net_error);
  context_->untrack(this);  // released at the context's next safe point
}

}  // namespace hvcore
