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
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "curl_handles.h"
#include "settings.h"

namespace hvcore {

class Transfer;
class ContextUse;
class AsioLoop;

class EngineContext : public std::enable_shared_from_this<EngineContext> {
 public:
  using Command = std::function<void()>;

  // Starts the network thread; the result is the first use. Returns nothing
  // when libcurl cannot be set up.
  static std::unique_ptr<ContextUse> start(EngineSettings settings);
  ~EngineContext();

  const EngineSettings &settings() const { return settings_; }

  // Runs `command` on the network thread soon. Any thread.
  void post(Command command);

  // The WebSocket loop, started on first use. Any thread holding a use.
  AsioLoop &asio_loop();

  // Network thread only.
  CURLM *multi() const { return multi_.get(); }
  CURLSH *share() const { return share_.get(); }
  void track(std::shared_ptr<Transfer> transfer);  // keeps it alive until done
  void untrack(Transfer *transfer);                // drops that reference soon
  bool on_network_thread() const;

 private:
  friend class ContextUse;
  explicit EngineContext(EngineSettings settings);

  void add_use() { uses_.fetch_add(1, std::memory_order_relaxed); }
  void drop_use();
  void stop_asio_loop();
  void run();
  void run_commands();
  void finish_transfers();
  void expire_deferred();
  long poll_timeout_ms() const;

  const EngineSettings settings_;
  MultiPtr multi_;
  SharePtr share_;

  std::mutex queue_mutex_;
  std::vector<Command> queue_;
  bool stopping_ = false;  // guarded by queue_mutex_

  std::atomic<long> uses_{0};
  std::thread thread_;
  std::atomic<std::thread::id> thread_id_{};

  std::mutex asio_mutex_;
  std::unique_ptr<AsioLoop> asio_;  // set once, guarded by asio_mutex_
  std::thread asio_thread_;

  // Network thread only. Finished transfers wait in `retired_` until no
  // method of theirs is running.
  std::unordered_map<Transfer *, std::shared_ptr<Transfer>> transfers_;
  std::vector<std::shared_ptr<Transfer>> retired_;
};

// A counted use of a context; the last one to go stops its thread.
class ContextUse {
 public:
  explicit ContextUse(std::shared_ptr<EngineContext> context);
  ~ContextUse();
  ContextUse(const ContextUse &) = delete;
  ContextUse &operator=(const ContextUse &) = delete;

  EngineContext &operator*() const { return *context_; }
  EngineContext *operator->() const { return context_.get(); }
  const std::shared_ptr<EngineContext> &shared() const { return context_; }

 private:
  std::shared_ptr<EngineContext> context_;
};

}  // namespace hvcore
