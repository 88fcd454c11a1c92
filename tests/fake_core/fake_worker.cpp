#include "fake_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace fake {
namespace {

struct Worker {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> queue;
  bool busy = false;
  std::thread::id id;

  Worker() {
    // Detached and never joined: the process may exit with it parked.
    std::thread t([this] { run(); });
    id = t.get_id();
    t.detach();
  }

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return !queue.empty(); });
      auto action = std::move(queue.front());
      queue.pop_front();
      busy = true;
      lock.unlock();
      action();
      action = nullptr;
      lock.lock();
      busy = false;
      changed.notify_all();
    }
  }
};

Worker &worker() {
  static Worker *w = new Worker();  // never destroyed
  return *w;
}

}  // namespace

void post(std::function<void()> action) {
  Worker &w = worker();
  std::lock_guard lock(w.mutex);
  w.queue.push_back(std::move(action));
  w.changed.notify_all();
}

void wait_idle() {
  Worker &w = worker();
  std::unique_lock lock(w.mutex);
  w.changed.wait(lock, [&] { return w.queue.empty() && !w.busy; });
}

bool on_worker_thread() { return std::this_thread::get_id() == worker().id; }

}  // namespace fake

extern "C" {

int fake_wait_idle(void) {
  fake::wait_idle();
  return 1;
}

void fake_post_sleep(uint32_t ms) {
  fake::post([ms] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); });
}

}  // extern "C"
