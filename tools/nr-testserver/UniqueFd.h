// A file descriptor owned from the line that opens it.
//
// Threads: one owner at a time; get() may be read by any thread while the
// owner keeps it open.
#pragma once

#include <unistd.h>

namespace testserver {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : mFd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : mFd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return mFd; }
  bool valid() const { return mFd >= 0; }
  int release() {
    const int fd = mFd;
    mFd = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (mFd >= 0) ::close(mFd);
    mFd = fd;
  }

 private:
  int mFd = -1;
};

}  // namespace testserver
