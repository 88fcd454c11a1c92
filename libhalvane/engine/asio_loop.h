// An engine's event loop for WebSockets: an Asio io_context run by one thread
// of its own, started with the engine's first WebSocket. Every WebSocket of
// the engine does its I/O and calls back on that thread.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <thread>
#include <utility>

#include "base/settings.h"

namespace hvcore {

class AsioLoop {
 public:
  AsioLoop();
  ~AsioLoop();
  AsioLoop(const AsioLoop &) = delete;
  AsioLoop &operator=(const AsioLoop &) = delete;

  boost::asio::io_context &io() { return io_; }

  // Runs `fn` on the loop thread soon. Any thread.
  template <typename Fn>
  void post(Fn &&fn) {
    boost::asio::post(io_, std::forward<Fn>(fn));
  }

  bool on_loop_thread() const;

  // The loop thread's body: returns once the work is released and nothing
  // is left to do.
  void run();

  // Lets `run` return when it runs out of work. Any thread.
  void release_work();

  // Loop thread only: the engine's TLS client context, made on first use;
  // null when OpenSSL cannot make one.
  boost::asio::ssl::context *tls_context(const EngineSettings &settings);

 private:
  boost::asio::io_context io_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::atomic<std::thread::id> thread_id_{};
  std::unique_ptr<boost::asio::ssl::context> tls_;
};

}  // namespace hvcore
