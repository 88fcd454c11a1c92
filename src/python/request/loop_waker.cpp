#include "python/request/loop_waker.h"

#include <pthread.h>

#include <algorithm>

#include "client/spin_lock.h"
#include "python/module/gil.h"

namespace strandel {

// Every live waker, so that a fork finds each one in a consistent state: the
// parent locks them all before forking, and the child gives each a
// descriptor of its own (it must not drain the parent's wake-ups).
struct WakerForkGuard {
  static std::mutex &mutex() {
    static auto *m = new std::mutex();  // lives for the process
    return *m;
  }
  static std::vector<LoopWakerState *> &live() {
    static auto *v = new std::vector<LoopWakerState *>();
    return *v;
  }

  static void prepare() {
    mutex().lock();
    for (LoopWakerState *state : live()) state->mutex_.lock();
  }
  static void parent() {
    for (LoopWakerState *state : live()) state->mutex_.unlock();
    mutex().unlock();
  }
  static void child() {
    for (LoopWakerState *state : live()) {
      state->fd_.renew();
      if (!state->queue_.empty()) state->fd_.signal();
      state->mutex_.unlock();
    }
    mutex().unlock();
  }

  static void add(LoopWakerState *state) {
    static const bool installed = [] {
      pthread_atfork(&WakerForkGuard::prepare, &WakerForkGuard::parent, &WakerForkGuard::child);
      return true;
    }();
    (void)installed;
    std::lock_guard lock(mutex());
    live().push_back(state);
  }
  static void remove(LoopWakerState *state) {
    std::lock_guard lock(mutex());
    auto &v = live();
    v.erase(std::remove(v.begin(), v.end(), state), v.end());
  }
};

std::shared_ptr<LoopWakerState> LoopWakerState::create() {
  std::shared_ptr<LoopWakerState> state(new LoopWakerState());
  if (!state->fd_.open()) return nullptr;
  WakerForkGuard::add(state.get());
  return state;
}

LoopWakerState::~LoopWakerState() {
  WakerForkGuard::remove(this);
  // The Python owner closes before it goes; this covers an owner that never
  // ran (an interpreter torn down first), on whatever thread ends last.
  for (auto &[key, entry] : active_) release_anywhere(std::exchange(entry->object, nullptr));
}

int LoopWakerState::fileno() {
  std::lock_guard lock(mutex_);
  return fd_.fileno();
}

PyObject *LoopWakerState::end_locked(WakerEntry &entry) {
  PyObject *obj = std::exchange(entry.object, nullptr);
  // A queued entry stays on the queue: drain skips it, and the descriptor
  // stays readable until then, which costs one empty drain at most.
  auto it = active_.find(entry.key);
  if (it != active_.end() && it->second.get() == &entry) active_.erase(it);  // may free `entry`
  return obj;
}

std::shared_ptr<WakerEntry> LoopWakerState::add(PyObject *obj) {
  auto entry = std::make_shared<WakerEntry>(obj);
  PyObject *replaced = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return nullptr;
    auto [it, inserted] = active_.try_emplace(obj, entry);
    if (!inserted) {
      replaced = end_locked(*it->second);
      active_.emplace(obj, entry);
    }
    Py_INCREF(obj);
  }
  Py_XDECREF(replaced);
  return entry;
}

void LoopWakerState::announce(const std::shared_ptr<WakerEntry> &entry) noexcept {
  try {
    // Held across the descriptor's write, which the waiting thread wakes
    // for and at once drains: it spins rather than sleeps on the mutex.
    std::unique_lock lock = halvane::lock_spinning(mutex_);
    if (entry->object == nullptr || entry->queued) return;
    entry->queued = true;
    queue_.push_back(entry);
    if (queue_.size() == 1) fd_.signal();
  } catch (...) {
    // Out of memory: wake the loop all the same rather than stall it.
    std::lock_guard lock(mutex_);
    fd_.signal();
  }
}

void LoopWakerState::remove(const std::shared_ptr<WakerEntry> &entry) noexcept {
  PyObject *released;
  {
    std::lock_guard lock(mutex_);
    released = end_locked(*entry);
  }
  release_anywhere(released);
}

bool LoopWakerState::discard(PyObject *obj) {
  PyObject *released = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = active_.find(obj);
    if (it == active_.end()) return false;
    std::shared_ptr<WakerEntry> entry = it->second;
    released = end_locked(*entry);
  }
  Py_XDECREF(released);
  return true;
}

std::vector<PyRef> LoopWakerState::drain() {
  std::vector<PyRef> objects;
  std::deque<std::shared_ptr<WakerEntry>> taken;
  {
    std::unique_lock lock = halvane::lock_spinning(mutex_);
    // Queue and descriptor are reset together: news after this point finds
    // the queue empty and signals again, so no wake-up is lost.
    taken.swap(queue_);
    fd_.reset();
    objects.reserve(taken.size());
    for (auto &entry : taken) {
      entry->queued = false;
      if (entry->object != nullptr) objects.push_back(PyRef::borrow(entry->object));
    }
  }
  return objects;
}

void LoopWakerState::close() {
  std::vector<PyObject *> released;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    for (auto &[key, entry] : active_) released.push_back(std::exchange(entry->object, nullptr));
    active_.clear();
    queue_.clear();
    fd_.close();
  }
  // Outside the mutex: a release may run Python code that uses this waker.
  for (PyObject *obj : released) Py_DECREF(obj);
}

namespace {

// Owned by one event callback; see make_waker_callback.
class WakerLink {
 public:
  WakerLink(std::shared_ptr<LoopWakerState> state, std::shared_ptr<WakerEntry> entry)
      : state_(std::move(state)), entry_(std::move(entry)) {}
  ~WakerLink() { state_->remove(entry_); }
  WakerLink(const WakerLink &) = delete;
  WakerLink &operator=(const WakerLink &) = delete;
  void operator()() const noexcept { state_->announce(entry_); }

 private:
  std::shared_ptr<LoopWakerState> state_;
  std::shared_ptr<WakerEntry> entry_;
};

}  // namespace

halvane::EventCallbackPtr make_waker_callback(std::shared_ptr<LoopWakerState> state,
                                              std::shared_ptr<WakerEntry> entry) {
  auto link = std::make_shared<const WakerLink>(std::move(state), std::move(entry));
  return std::make_shared<const halvane::EventCallback>([link] { (*link)(); });
}

}  // namespace strandel
