// A descriptor that an event loop watches for readability: an eventfd, or a
// non-blocking pipe where there is none. Not synchronised: its owner locks.
#pragma once

namespace strandel {

class WakeFd {
 public:
  // Opens the descriptors (close-on-exec, non-blocking); false with errno.
  bool open() noexcept;
  ~WakeFd() { close(); }
  WakeFd() = default;
  WakeFd(const WakeFd &) = delete;
  WakeFd &operator=(const WakeFd &) = delete;

  // The end to watch; -1 when closed.
  int fileno() const { return read_fd_; }
  // Makes the descriptor readable (it stays so until reset).
  void signal() noexcept;
  // Makes it unreadable again.
  void reset() noexcept;
  void close() noexcept;
  // In a forked child: puts fresh descriptors at the same numbers, so that
  // the child never reads or writes the parent's.
  void renew() noexcept;

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;  // the same descriptor as read_fd_ for an eventfd
};

}  // namespace strandel
