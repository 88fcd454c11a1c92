// An engine's network context: one thread that owns a libcurl multi handle
// and a share handle (cookie jar, DNS cache, TLS sessions), and the queue of
// commands through which other threads reach it.
//
// WebSockets run on a second thread, an Asio event loop started with the
// engine's first WebSocket (asio_loop.h).
//
// The context lives while anything uses it: the engine handle, every request
// and every WebSocket hold a ContextUse. When the last use goes both threads
// finish their work and end.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/alt_svc.h"
#include "base/curl_handles.h"
#include "base/settings.h"
#include "cache/cache_store.h"

namespace hvcore {

class ContextUse;
class CookieBound;
struct CookieLine;
class AsioLoop;
class Namespace;

// What the network thread drives on its multi handle: a transfer, seen from
// below (transfers include this header, never the other way).
class MultiWork {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~MultiWork() = default;
  // libcurl finished the work's easy handle with `result`.
  virtual void on_done(CURLcode result) = 0;
  // Timers of the work's own (deadlines, deferred ends); `now` is past the
  // deadline last returned.
  virtual void tick(Clock::time_point now) = 0;
  virtual std::optional<Clock::time_point> wake_deadline() const = 0;
  // The engine is closing while the work still runs: only work no caller
  // waits for can be left then, and it ends now.
  virtual void abandon() = 0;
};

class EngineContext : public std::enable_shared_from_this<EngineContext> {
 public:
  using Command = std::function<void()>;

  // Opens the engine's profile namespace, if it names one, and starts the
  // network thread; `out` is the first use. Returns kOk or the Core code
  // of what failed.
  static int32_t start(EngineSettings settings, std::unique_ptr<ContextUse> &out);
  ~EngineContext();

  const EngineSettings &settings() const { return settings_; }

  // The HTTP cache: the namespace's on disk, or the engine's own in memory;
  // null when the engine's cache is switched off. Any thread.
  cache::Store *cache() const { return cache_.get(); }
  // The namespace this engine shares state through; null without one.
  Namespace *profile_namespace() const { return namespace_.get(); }

  // The cookie jar seen from outside a transfer (WebSocket handshakes). Any
  // thread: the jar's share handle has locks. store_cookies takes as many
  // of one response's cookies as libcurl takes of a transfer's, and keeps
  // the jar within its bound.
  std::string cookie_header(const std::string &url);
  void store_cookies(const std::string &url, const std::vector<std::string> &set_cookies);
  // Keeps the jar within its bound after a transfer's response set cookies
  // (cookie_bound.h). Any thread.
  void bound_cookies();

  // The jar as the caller sees it (engine_cookies.cpp). Any thread; a
  // namespace's jar is loaded first and saved after a change.
  std::vector<CookieLine> list_cookies();
  // Stores `cookie`, replacing the one of the same domain, path and name;
  // false when libcurl refused it.
  bool set_cookie(const CookieLine &cookie);
  // Removes the cookies matching every filter given (domain compared
  // exactly, without a leading dot); returns how many went.
  size_t delete_cookies(const std::optional<std::string> &domain,
                        const std::optional<std::string> &path,
                        const std::optional<std::string> &name);

  // The HTTP/3 alternatives origins advertised: the namespace's, or the
  // engine's own. Any thread.
  AltServices &alt_services() const { return *alt_services_; }

  // Runs `command` on the network thread soon. Any thread.
  void post(Command command);

  // The WebSocket loop, started on first use. Any thread holding a use.
  AsioLoop &asio_loop();

  // Network thread only (the share may be used anywhere).
  CURLM *multi() const { return multi_.get(); }
  CURLSH *share() const;
  void track(std::shared_ptr<MultiWork> transfer);  // keeps it alive until done
  void untrack(MultiWork *transfer);                // drops that reference soon
  bool on_network_thread() const;
  // A stored response is being renewed in the background: false when a
  // renewal of it runs already. Network thread.
  bool begin_renewal(const std::string &key) { return renewals_.insert(key).second; }
  void end_renewal(const std::string &key) { renewals_.erase(key); }

 private:
  friend class ContextUse;
  explicit EngineContext(EngineSettings settings);

  void add_use() { uses_.fetch_add(1, std::memory_order_relaxed); }
  void drop_use();
  void stop_asio_loop();
  void run();
  void run_commands();
  // Waits for news: a command, a socket, a timer.
  void await_news(long timeout_ms);
  void finish_transfers();
  void expire_deferred();
  void retry_cookie_save();
  bool save_cookies_now();
  long poll_timeout_ms() const;

  static void lock_share(CURL *, curl_lock_data data, curl_lock_access, void *self);
  static void unlock_share(CURL *, curl_lock_data data, void *self);

  const EngineSettings settings_;
  MultiPtr multi_;
  // The engine's own jar, DNS cache and TLS sessions; unused when a profile
  // namespace brings its shared ones.
  SharePtr share_;
  std::mutex share_locks_[CURL_LOCK_DATA_LAST];
  std::shared_ptr<Namespace> namespace_;
  std::shared_ptr<cache::Store> cache_;
  // The jar's bound: the engine's own, or the one of the namespace's jar.
  std::shared_ptr<CookieBound> cookie_bound_;
  std::shared_ptr<AltServices> alt_services_;

  std::mutex queue_mutex_;
  std::vector<Command> queue_;
  bool stopping_ = false;  // guarded by queue_mutex_
  // The thread is in (or about to enter) its wait on the multi handle, and
  // whether a poster woke it already; guarded by queue_mutex_. A post wakes
  // the thread only then: an awake thread finds the command on its next turn.
  bool sleeping_ = false;
  bool wake_sent_ = false;

  std::atomic<long> uses_{0};
  std::thread thread_;
  std::atomic<std::thread::id> thread_id_{};

  std::mutex asio_mutex_;
  std::unique_ptr<AsioLoop> asio_;  // set once, guarded by asio_mutex_
  std::thread asio_thread_;

  // Network thread only. Finished transfers wait in `retired_` until no
  // method of theirs is running.
  std::unordered_map<MultiWork *, std::shared_ptr<MultiWork>> transfers_;
  std::vector<std::shared_ptr<MultiWork>> retired_;
  std::unordered_set<std::string> renewals_;  // keys of the renewals running
  // Network thread only: when cookies the namespace's database did not take
  // are tried again, and the wait after that, doubling up to a bound.
  std::optional<std::chrono::steady_clock::time_point> cookie_retry_at_;
  std::chrono::milliseconds cookie_retry_wait_;
};

// A counted use of a context; the last one to go stops its thread.
class ContextUse {
 public:
  explicit ContextUse(std::shared_ptr<EngineContext> context);
  // A use that does not keep the thread running: the engine's own work in
  // the background, abandoned when the last counted use goes.
  enum Uncounted { kUncounted };
  ContextUse(std::shared_ptr<EngineContext> context, Uncounted)
      : context_(std::move(context)), counted_(false) {}
  ~ContextUse();
  ContextUse(const ContextUse &) = delete;
  ContextUse &operator=(const ContextUse &) = delete;

  EngineContext &operator*() const { return *context_; }
  EngineContext *operator->() const { return context_.get(); }
  const std::shared_ptr<EngineContext> &shared() const { return context_; }

 private:
  std::shared_ptr<EngineContext> context_;
  bool counted_ = true;
};

}  // namespace hvcore
