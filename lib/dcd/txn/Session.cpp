#include "txn/Session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Log.h"

namespace txn {

const char* const kAttrSubscriberId = "subscriber-id";
const char* const kAttrGzipEnabled = "gzip-enabled";
const char* const kAttrMsisdnReported = "is-msisdn-reported";
const char* const kAttrPhoneModelId = "phone-model-id";
const char* const kAttrPhoneSoftwareVersion = "phone-software-version";
const char* const kAttrProtocolVer = "protocol_ver";
const char* const kAttrFallbackCode = "fallback_code";
const char* const kSessionProtocolVersion = "18344";

// --- Session --------------------------------------------------------------

Session::~Session() = default;

std::optional<std::string> Session::nextTransactionId() { return std::nullopt; }

std::optional<std::string> Session::getCurrentSessionId() { return std::nullopt; }

std::string Session::getAttribute(const std::string& name) const {
  auto it = mAttributes.find(name);
  if (it == mAttributes.end()) {
    QV_LOG(8, "Unable to find session attribute named %s", name.c_str());
    return std::string();
  }
  QV_LOG(8, "Returning session attribute, %s, with value, %s", name.c_str(), it->second.c_str());
  return it->second;
}

void Session::setAttribute(const std::string& name, const std::string& value) {
  QV_LOG(8, "Setting session-attribute, %s, to the value, %s", name.c_str(), value.c_str());
  mAttributes[name] = value;
}

bool Session::isValid() { return false; }

void Session::setValid(bool) {}

// --- FileSession ----------------------------------------------------------

namespace {

// Owns one file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : mFd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (mFd >= 0) ::close(mFd);
  }
  int get() const { return mFd; }
  int release() {
    int fd = mFd;
    mFd = -1;
    return fd;
  }

 private:
  int mFd;
};

std::string sessionPathFromEnvironment() {
  const char* path = std::getenv("QUORVEL_SESSION_FILE");
  return path != nullptr && path[0] != '\0' ? std::string(path) : std::string(FileSession::kDefaultPath);
}

// Whether an opened session file may be used: a regular file of our own.
// Logs the reason when not.
bool usableSessionFile(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    QV_LOG(3, "[18344]Could not examine the session file %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    QV_LOG(3, "[18344]The session file %s is not a regular file. Treating it as no session.", path.c_str());
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    QV_LOG(3, "[18344]The session file %s belongs to another user. Treating it as no session.", path.c_str());
    return false;
  }
  return true;
}

void logSymlink(const std::string& path) {
  QV_LOG(3, "[18344]The session file %s is a symbolic link. Treating it as no session.", path.c_str());
}

}  // namespace

FileSession::FileSession() : mPath(sessionPathFromEnvironment()) {}

FileSession::FileSession(std::string path) : mPath(std::move(path)) {}

std::optional<std::string> FileSession::nextTransactionId() {
  mLastTransactionId.reset(new std::string(std::to_string(mTransactionCounter)));
  ++mTransactionCounter;
  return *mLastTransactionId;
}

std::optional<std::string> FileSession::getCurrentSessionId() {
  char buf[kMaxSessionIdLength + 1];
  int count = readSessionFromFile(buf, kMaxSessionIdLength);
  if (count <= 0) {
    QV_LOG(3, "[18344]No session id in file, so getCurrentSessionId returned zero string");
    mLastSessionId.reset(new std::string());
  } else {
    mLastSessionId.reset(new std::string(buf));
  }
  return *mLastSessionId;
}

bool FileSession::isValid() {
  char buf[kMaxSessionIdLength + 1];
  return readSessionFromFile(buf, kMaxSessionIdLength) > 0;
}

void FileSession::setValid(bool valid) {
  if (valid) {
    QV_LOG(3, "[18344]setValid is only used to set false now");
    return;
  }
  UniqueFd fd(openForWriting());
  (void)fd;
}

void FileSession::writeSessionId(const std::string& id) {
  UniqueFd fd(openForWriting());
  if (fd.get() < 0) return;
  const char* data = id.data();
  std::size_t left = id.size();
  while (left > 0) {
    ssize_t written = ::write(fd.get(), data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      QV_LOG(3, "[18344]Could not write the session id to %s: %s", mPath.c_str(), std::strerror(errno));
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  // The id is a credential: its value is never logged.
  QV_LOG(3, "[18344]Write the session id (%zu bytes) in file %s", id.size(), mPath.c_str());
}

int FileSession::readSessionFromFile(char* buf, std::size_t capacity) {
  if (buf == nullptr) {
    QV_LOG(3, "[18344]Pass a NULL buf to readSessionFromFile");
    return -1;
  }
  UniqueFd fd(::open(mPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ELOOP) {
      logSymlink(mPath);
    } else {
      QV_LOG(3, "[18344]Could not find the session file %s", mPath.c_str());
    }
    return -1;
  }
  if (!usableSessionFile(fd.get(), mPath)) return -1;
  std::size_t total = 0;
  while (total < capacity) {
    ssize_t got = ::read(fd.get(), buf + total, capacity - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      QV_LOG(3, "[18344]Could not read the session file %s: %s", mPath.c_str(), std::strerror(errno));
      return -1;
    }
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  if (total == 0) {
    QV_LOG(3, "[18344]No content in the session file %s", mPath.c_str());
    return -1;
  }
  buf[total] = '\0';
  return static_cast<int>(total);
}

int FileSession::openForWriting() {
  UniqueFd fd(::open(mPath.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
  if (fd.get() < 0) {
    if (errno == ELOOP) {
      logSymlink(mPath);
    } else {
      QV_LOG(3, "[18344]Could not open the session file %s for writing", mPath.c_str());
    }
    return -1;
  }
  // Truncate only once the file is known to be ours.
  if (!usableSessionFile(fd.get(), mPath)) return -1;
  if (::ftruncate(fd.get(), 0) != 0 || ::fchmod(fd.get(), 0600) != 0) {
    QV_LOG(3, "[18344]Could not empty the session file %s: %s", mPath.c_str(), std::strerror(errno));
    return -1;
  }
  return fd.release();
}

}  // namespace txn
