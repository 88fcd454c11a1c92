#include "python/request/wake_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#if __has_include(<sys/eventfd.h>)
#include <sys/eventfd.h>
#define STRANDEL_HAVE_EVENTFD 1
#endif

namespace strandel {
namespace {

// Opens a fresh pair into `fds` (one descriptor twice for an eventfd).
bool open_pair(int fds[2]) {
#ifdef STRANDEL_HAVE_EVENTFD
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd >= 0) {
    fds[0] = fds[1] = fd;
    return true;
  }
  if (errno != ENOSYS && errno != EINVAL) return false;
#endif
  return pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0;
}

}  // namespace

bool WakeFd::open() noexcept {
  int fds[2];
  if (!open_pair(fds)) return false;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  return true;
}

void WakeFd::signal() noexcept {
  if (write_fd_ < 0) return;
  const uint64_t one = 1;
  // A full pipe or counter is readable already; nothing else can fail here.
  ssize_t written;
  do {
    written = ::write(write_fd_, &one, read_fd_ == write_fd_ ? sizeof one : 1);
  } while (written < 0 && errno == EINTR);
}

void WakeFd::reset() noexcept {
  if (read_fd_ < 0) return;
  uint64_t buffer[64];
  for (;;) {
    const ssize_t got = ::read(read_fd_, buffer, read_fd_ == write_fd_ ? 8 : sizeof buffer);
    if (got > 0 && read_fd_ != write_fd_) continue;  // a pipe may hold more
    if (got < 0 && errno == EINTR) continue;
    return;
  }
}

void WakeFd::close() noexcept {
  if (write_fd_ >= 0 && write_fd_ != read_fd_) ::close(write_fd_);
  if (read_fd_ >= 0) ::close(read_fd_);
  read_fd_ = write_fd_ = -1;
}

void WakeFd::renew() noexcept {
  if (read_fd_ < 0) return;
  int fresh[2];
  if (!open_pair(fresh)) {
    // No descriptor left to give: a closed waker is better than a shared one.
    close();
    return;
  }
  const bool same = fresh[0] == fresh[1];
  if ((read_fd_ == write_fd_) == same) {
    // dup3 replaces atomically and keeps close-on-exec.
    dup3(fresh[0], read_fd_, O_CLOEXEC);
    if (!same) dup3(fresh[1], write_fd_, O_CLOEXEC);
    ::close(fresh[0]);
    if (!same) ::close(fresh[1]);
  } else {
    close();
    read_fd_ = fresh[0];
    write_fd_ = fresh[1];
  }
}

}  // namespace strandel
