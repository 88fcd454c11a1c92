#include "engine/asio_loop.h"

#include <pthread.h>

#include "base/core_thread.h"
#include "tls/ws_tls.h"

namespace hvcore {

AsioLoop::AsioLoop() : work_(boost::asio::make_work_guard(io_)) {}

AsioLoop::~AsioLoop() = default;

bool AsioLoop::on_loop_thread() const {
  return thread_id_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void AsioLoop::run() {
  thread_id_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  mark_core_thread();
  pthread_setname_np(pthread_self(), "halvane-ws");
  // Handlers catch what they throw; a stray exception must still not end
  // the loop while WebSockets depend on it.
  for (;;) {
    try {
      io_.run();
      break;
    } catch (...) {
    }
  }
  tls_.reset();
}

void AsioLoop::release_work() { work_.reset(); }

boost::asio::ssl::context *AsioLoop::tls_context(const EngineSettings &settings) {
  if (!tls_) tls_ = make_tls_client_context(settings);
  return tls_.get();
}

}  // namespace hvcore
