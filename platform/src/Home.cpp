#include "platform/Home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qvhome {

namespace {

std::string reason(const std::string& what, int err) { return what + ": " + std::strerror(err); }

// mkdir -p with mode 0755 for every directory it creates.
bool makeDirectories(const std::string& dir, std::string& error) {
  std::string::size_type pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    std::string prefix = dir.substr(0, pos);
    if (prefix.empty() || prefix == "/") continue;
    if (::mkdir(prefix.c_str(), 0755) == 0) continue;
    int err = errno;
    struct stat st;
    if (err == EEXIST && ::stat(prefix.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      error = prefix + " is not a directory";
      return false;
    }
    error = reason("cannot create " + prefix, err);
    return false;
  }
  return true;
}

}  // namespace

std::string path() {
  const char* env = std::getenv("QUORVEL_HOME");
  if (env != nullptr && *env != '\0') return env;
  return "/var/lib/quorvel";
}

bool ensure(std::string& error) {
  std::string home = path();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (!makeDirectories(home, error)) return false;
  if (::access(home.c_str(), W_OK | X_OK) != 0) {
    error = reason(home + " is not writable", errno);
    return false;
  }
  // access() answers for the real user and ignores read-only mounts: a file
  // that can really be created settles it.
  std::string probe = home + "/.write-probe-" + std::to_string(::getpid());
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = reason(home + " is not writable", errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace qvhome
