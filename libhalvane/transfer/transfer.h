// One request: the object behind a request handle.
//
// The public operations may be called from any thread; they check the
// request's state under `mutex_`, then post a command to the engine's network
// thread. Everything else (the curl easy handle, the hop being sent, the head
// being received, pauses) belongs to the network thread, which is also the
// thread that calls the caller's callbacks, never with a lock held. The one
// exception is a plain GET that a fresh response in the memory cache
// answers: start() delivers it from inside the call, before the network
// thread ever sees the request, which spares two thread hand-overs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/codes.h"
#include "base/curl_handles.h"
#include "base/header_block.h"
#include "base/settings.h"
#include "engine/engine_context.h"
#include "tls/curl_tls.h"
#include "transfer/content_decoder.h"
#include "transfer/transfer_cache.h"
#include "transfer/upload_buffer.h"

namespace hvcore {

class Transfer final : public MultiWork, public std::enable_shared_from_this<Transfer> {
 public:
  Transfer(std::shared_ptr<EngineContext> context, RequestSettings settings, Callbacks callbacks);
  // A request of the engine's own that renews the stored response of
  // `renewal_key` in the background: it keeps the engine's thread only as
  // long as some caller's use does, and is cancelled when the last goes.
  Transfer(std::shared_ptr<EngineContext> context, RequestSettings settings,
           std::string renewal_key);
  ~Transfer();

  // The handle value passed back to the callbacks; set once after creation.
  void set_handle(hv_handle handle) { handle_ = handle; }

  // Any thread; each returns a result code.
  int32_t start();
  int32_t cancel();
  int32_t follow_redirect();
  int32_t resume_read();
  int32_t upload_write(const uint8_t *data, uint32_t len, bool final_chunk);
  // The caller lets go of its handle: a running request is cancelled, and
  // still reports its completion.
  void release();
  // How the response head was answered (HV_EXT_CACHE_STATE_*). Any thread.
  uint32_t cache_state() const { return cache_state_.load(std::memory_order_acquire); }

  // Network thread, called by the context.
  void on_done(CURLcode result) override;
  void abandon() override { do_cancel(); }
  void tick(Clock::time_point now) override;
  std::optional<Clock::time_point> wake_deadline() const override;

 private:
  struct PendingRedirect {
    int status = 0;
    std::string head;
    std::string location;
    bool from_cache = false;  // replayed from the cache, not to be stored again
  };

  // The caller's thread, inside start(): answers a plain GET from a fresh
  // response in the engine's memory cache (transfer_quick.cpp). False,
  // having delivered nothing, when the full path must decide.
  bool answer_at_start();

  // Network thread (transfer.cpp).
  void begin();
  void begin_hop();
  bool configure_easy();
  bool configure_method();
  // The hop's CURLOPT_HTTP_VERSION, and whether QUIC is tried for it.
  long choose_http_version();
  long http_version() const { return hop_version_; }
  // Adds the configured easy handle to the multi handle, with what is left
  // of the request's time; false when that failed (the request is complete).
  bool launch_hop();
  // Whether the hop's fields go out on HTTP/2 or later: as the connection
  // negotiated once it is there, else as asked for.
  bool sends_http2() const;
  // Whether they go out on HTTP/3, likewise.
  bool sends_http3() const;
  // Learns what the connection is once it is there: composes the hop's
  // fields again when its version is not the one they were composed for
  // (false when libcurl refuses the new list), and notes whether QUIC
  // answered an origin it was tried for.
  bool on_connection();
  // Hands the race back when this hop was given one and ends without having
  // seen its connection.
  void settle_race();
  // An origin's Alt-Svc advertisement, from a response head of this hop.
  void note_alt_svc(std::string_view head);
  // QUIC alone was tried and failed before anything was sent: true when the
  // hop was started again over TCP.
  bool fall_back_from_quic(CURLcode result);
  // The hop's request fields as sent: the caller's (with a revalidation's
  // validators), or a profile's with them, and the engine's defaults.
  // Cookies from the jar are not among them.
  std::vector<HeaderField> sent_headers() const;
  curl_slist *build_header_list(std::string &cookies) const;
  void finish(CURLcode result);
  void complete(Outcome outcome);
  void do_cancel();
  void do_resume();
  void do_upload_wake();
  // The streamed body broke its declared Content-Length.
  void do_upload_mismatch();
  bool upload_mismatch() {
    std::lock_guard lock(mutex_);
    return upload_mismatch_;
  }
  void set_pause();
  Outcome failure_outcome(CURLcode result) const;

  // Network thread, libcurl callbacks (transfer_io.cpp).
  bool on_header_line(std::string_view line);
  // Stores the Set-Cookie fields of the hop's complete head in the jar.
  void store_response_cookies();
  size_t on_body_data(char *data, size_t len);
  bool deliver(const uint8_t *data, size_t len);
  size_t on_upload_read(char *out, size_t cap);
  static size_t header_cb(char *data, size_t size, size_t n, void *self) noexcept;
  static size_t write_cb(char *data, size_t size, size_t n, void *self) noexcept;
  static size_t read_cb(char *out, size_t size, size_t n, void *self) noexcept;
  static int seek_cb(void *self, curl_off_t offset, int origin) noexcept;
  static int prereq_cb(void *self, char *, char *, int, int) noexcept;

  // Network thread, redirects (transfer_redirect.cpp).
  void handle_redirect();
  void do_follow();

  // Network thread, responses from the HTTP cache (transfer_io.cpp).
  bool consult_cache();
  bool finish_held(CURLcode result);
  bool stand_in_for_failure(CURLcode result);
  // Revalidates the stale response just delivered with a request of the
  // engine's own, which no caller waits for (transfer_renewal.cpp).
  void renew_in_background();
  void replay(cache::Entry entry, uint32_t state);
  void continue_replay();
  TransferCache::SentFields sent_fields() const;

  ContextUse context_;
  const Callbacks callbacks_;
  const RequestSettings request_;
  hv_handle handle_ = 0;
  TransferCache cache_;  // network thread only
  UploadBuffer upload_;

  // Shared between callers and the network thread.
  std::mutex mutex_;
  bool started_ = false;
  bool cancel_requested_ = false;
  bool finished_ = false;
  bool redirect_deferred_ = false;
  // start() is answering from the cache on the caller's thread: a cancel
  // meanwhile is only noted (begin() honours it should the answer fail).
  bool answering_ = false;
  // A streamed body with a Content-Length: what callers have written, and
  // whether it broke the length (the request then fails, nothing more is sent).
  uint64_t upload_written_ = 0;
  bool upload_mismatch_ = false;
  std::atomic<uint32_t> cache_state_{HV_EXT_CACHE_STATE_UNKNOWN};

  // Network thread only.
  EasyPtr easy_;
  SlistPtr header_list_;
  Hop hop_;
  HeadBuilder head_;
  std::unique_ptr<ContentDecoder> decoder_;  // the final head's content codings
  // The transfer ended while decoded body was still held back by a pause;
  // its result is reported once the caller has taken the rest.
  std::optional<CURLcode> end_result_;
  std::optional<PendingRedirect> redirect_;
  std::optional<Clock::time_point> deadline_;
  std::string origin_;
  size_t redirect_body_bytes_ = 0;
  size_t body_offset_ = 0;
  int redirects_ = 0;
  bool head_delivered_ = false;
  bool chunked_ = false;
  bool connected_ = false;
  bool redirect_body_dropped_ = false;
  bool credentials_dropped_ = false;
  bool in_multi_ = false;
  bool deferred_ = false;
  bool recv_paused_ = false;
  bool send_paused_ = false;
  bool done_ = false;
  std::optional<Outcome> callback_failure_;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  SslCtxData ssl_ctx_data_;  // what the TLS context callback of this hop needs
  long hop_version_ = CURL_HTTP_VERSION_NONE;
  AltServices::Use quic_use_ = AltServices::Use::None;  // the hop's use of HTTP/3
  bool race_settled_ = true;                            // a race this hop was given has been ended
  std::string hop_origin_;
  bool hop_https_ = false;
  // The HTTP version (1, 2, 3) of the hop's connection; none: not known yet.
  std::optional<int> wire_version_;
  bool saw_set_cookie_ = false;  // a namespace's jar is saved when this ends
  // The caller gave a Cookie field: the jar's cookies are merged with it
  // here (the caller's value of a name alone goes out), and the responses'
  // cookies stored here, since libcurl's cookie engine would send both
  // values. Set once in begin().
  bool cookies_by_hand_ = false;
  // Set for a renewal in the background: the entry it renews.
  const std::optional<std::string> renewal_key_;
};

}  // namespace hvcore
