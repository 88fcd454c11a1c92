#include "base/diag.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>

#include "base/core_thread.h"

namespace hvcore::diag {
namespace {

// Bytes of lines waiting for the writer; more are dropped.
constexpr size_t kQueueBound = 1 << 20;
// How long the process's exit waits for the lines still queued.
constexpr std::chrono::seconds kExitWait{2};

class Channel {
 public:
  explicit Channel(int fd, Channel *parent = nullptr) : fd_(fd), parent_(parent) {}
  int fd() const { return fd_; }

  void push(std::string_view text) noexcept {
    std::lock_guard lock(mutex_);
    if (queue_.size() + text.size() > kQueueBound) {
      ++dropped_;
      return;
    }
    try {
      queue_.append(text);
      if (!writer_running_) {
        start_core_thread([this] { run(); }).detach();
        writer_running_ = true;
      }
    } catch (...) {
      ++dropped_;
      return;
    }
    wake_.notify_one();
  }

  // At exit: the writer gets a moment to write what is queued.
  void drain() noexcept {
    std::unique_lock lock(mutex_);
    if (writer_running_)
      idle_.wait_for(lock, kExitWait, [&] { return queue_.empty() && dropped_ == 0 && !writing_; });
  }

 private:
  void run() noexcept {
    // Started with signals blocked: a closed pipe fails the write instead
    // of ending the process.
    pthread_setname_np(pthread_self(), "halvane-log");
    std::string batch;
    for (;;) {
      uint64_t dropped = 0;
      {
        std::unique_lock lock(mutex_);
        writing_ = false;
        idle_.notify_all();
        wake_.wait(lock, [&] { return !queue_.empty() || dropped_ != 0; });
        batch.clear();
        batch.swap(queue_);
        std::swap(dropped, dropped_);
        writing_ = true;
      }
      if (dropped != 0) {
        char note[64];
        std::snprintf(note, sizeof note, "halvane: %llu diagnostic lines dropped\n",
                      static_cast<unsigned long long>(dropped));
        write_all(note);
      }
      write_all(batch);
    }
  }

  void write_all(std::string_view text) const noexcept {
    while (!text.empty()) {
      const ssize_t n = ::write(fd_, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // nowhere to write: the lines are lost
      text.remove_prefix(static_cast<size_t>(n));
    }
  }

  const int fd_;
  Channel *const parent_;  // a forked child's parent's, kept reachable, never freed
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::string queue_;
  uint64_t dropped_ = 0;
  bool writer_running_ = false;
  bool writing_ = false;
};

// Never freed: Core threads may still log while the process exits.
std::atomic<Channel *> channel{nullptr};

// A forked child gets a channel of its own on the same file: the parent's
// writer is not in the child, and the parent's lock and condition variables
// are not the child's to use, a thread of the parent having been in them.
void after_fork_in_child() {
  Channel *inherited = channel.load(std::memory_order_acquire);
  if (inherited == nullptr) return;
  Channel *fresh = new (std::nothrow) Channel(inherited->fd(), inherited);
  if (fresh == nullptr) detail::state.store(detail::kOff, std::memory_order_release);
  channel.store(fresh, std::memory_order_release);
}

bool open_channel() noexcept {
  const char *where = std::getenv("HALVANE_LOG");
  int fd = -1;
  if (where == nullptr || where[0] == '\0') {
    detail::state.store(detail::kOff, std::memory_order_release);
    return false;
  }
  if (std::strcmp(where, "stderr") == 0) {
    fd = STDERR_FILENO;
  } else {
    fd = ::open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::fprintf(stderr, "halvane: HALVANE_LOG: cannot open %s (%s); no diagnostics\n", where,
                   std::strerror(errno));
      detail::state.store(detail::kOff, std::memory_order_release);
      return false;
    }
  }
  Channel *made = new (std::nothrow) Channel(fd);
  if (made == nullptr || pthread_atfork(nullptr, nullptr, after_fork_in_child) != 0) {
    detail::state.store(detail::kOff, std::memory_order_release);
    return false;
  }
  channel.store(made, std::memory_order_release);
  detail::state.store(detail::kOn, std::memory_order_release);
  return true;
}

// The lines queued when the process exits are written before it goes.
struct DrainAtExit {
  ~DrainAtExit() {
    if (Channel *c = channel.load(std::memory_order_acquire)) c->drain();
  }
} drain_at_exit;

// "2026-12-09T02:10:11.123456Z "
void append_time_stamp(std::string &out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long>(now.tv_nsec / 1000));
  out += stamp;
}

// One event, one line: control bytes in what a server sent are escaped.
void append_text(std::string &out, std::string_view text) {
  for (unsigned char ch : text) {
    if (ch >= 0x20 && ch != 0x7f) {
      out.push_back(static_cast<char>(ch));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", ch);
      out += escaped;
    }
  }
}

void emit(const char *kind, uint64_t id, std::initializer_list<std::string_view> parts) noexcept {
  Channel *c = channel.load(std::memory_order_acquire);
  if (c == nullptr) return;
  try {
    std::string out;
    out.reserve(160);
    append_time_stamp(out);
    out += kind;
    out += ' ';
    out += std::to_string(id);
    out += ' ';
    for (std::string_view part : parts) append_text(out, part);
    out += '\n';
    c->push(out);
  } catch (...) {
  }
}

const char *http_version_name(long version) {
  switch (version) {
    case CURL_HTTP_VERSION_1_0:
      return "HTTP/1.0";
    case CURL_HTTP_VERSION_1_1:
      return "HTTP/1.1";
    case CURL_HTTP_VERSION_2_0:
      return "HTTP/2";
    case CURL_HTTP_VERSION_3:
      return "HTTP/3";
    default:
      return "no HTTP version";
  }
}

}  // namespace

namespace detail {

bool resolve() noexcept {
  static const bool opened = open_channel();
  (void)opened;
  return state.load(std::memory_order_acquire) == kOn;
}

void line(const char *kind, uint64_t id, std::string_view a, std::string_view b,
          std::string_view c) noexcept {
  emit(kind, id, {a, b, c});
}

void line(const char *kind, uint64_t id, std::string_view a, long n, std::string_view b,
          std::string_view c) noexcept {
  char number[24];
  std::snprintf(number, sizeof number, "%ld", n);
  emit(kind, id, {a, number, b, c});
}

void hop(uint64_t transfer, CURL *easy) noexcept {
  long status = 0, version = 0, connects = 0, remote_port = 0, local_port = 0;
  char *remote = nullptr;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
  curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &remote);
  curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &remote_port);
  curl_easy_getinfo(easy, CURLINFO_LOCAL_PORT, &local_port);
  char text[200];
  if (remote == nullptr || remote[0] == '\0') {
    std::snprintf(text, sizeof text, "response %ld, no connection", status);
  } else {
    // libcurl from 8.2 numbers its connections; the local port tells them
    // apart as well.
    char number[32] = "";
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_off_t id = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONN_ID, &id) == CURLE_OK && id >= 0)
      std::snprintf(number, sizeof number, " #%lld", static_cast<long long>(id));
#endif
    std::snprintf(text, sizeof text,
                  "response %ld %s, connection %s%s from port %ld to %s port %ld", status,
                  http_version_name(version), connects > 0 ? "new" : "reused", number, local_port,
                  remote, remote_port);
  }
  emit("transfer", transfer, {text});
}

}  // namespace detail

}  // namespace hvcore::diag
