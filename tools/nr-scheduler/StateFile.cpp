#include "StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "platform/Home.h"
#include "platform/Log.h"

namespace nrsched {

namespace {

// A file descriptor owned from the open that returns it.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : mFd(fd) {}
  ~UniqueFd() {
    if (mFd >= 0) ::close(mFd);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int operator*() const { return mFd; }

 private:
  int mFd;
};

int openFd(const std::string& path, int flags, mode_t mode = 0) {
  return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

std::string encode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  if (text.empty()) return "%";  // an empty text still takes a field
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '%' || c == '=') {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool decode(const std::string& field, std::string& out) {
  out.clear();
  if (field == "%") return true;
  for (std::string::size_type i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      out.push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) return false;
    int hi = hexValue(field[i + 1]);
    int lo = hexValue(field[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

bool toInt64(const std::string& text, int64_t& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = static_cast<int64_t>(v);
  return true;
}

bool toInt(const std::string& text, int& out) {
  int64_t v = 0;
  if (!toInt64(text, v) || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

// Splits "key=value" fields; positional fields (without "=") go to words.
void splitFields(const std::vector<std::string>& fields, size_t first, std::vector<std::string>& words,
                 std::map<std::string, std::string>& named) {
  for (size_t i = first; i < fields.size(); ++i) {
    std::string::size_type eq = fields[i].find('=');
    if (eq == std::string::npos) {
      words.push_back(fields[i]);
    } else {
      named[fields[i].substr(0, eq)] = fields[i].substr(eq + 1);
    }
  }
}

bool parseKind(const std::string& text, Pending::Kind& out) {
  if (text == "update") out = Pending::UPDATE;
  else if (text == "retry") out = Pending::RETRY;
  else if (text == "message") out = Pending::MESSAGE;
  else return false;
  return true;
}

bool parseVersionLine(const std::vector<std::string>& fields, VersionState& v) {
  std::vector<std::string> words;
  std::map<std::string, std::string> named;
  splitFields(fields, 1, words, named);
  if (words.size() != 1 || !decode(words[0], v.version) || v.version.empty()) return false;
  bool ok = true;
  auto num = [&](const char* key, int64_t& out) {
    auto it = named.find(key);
    if (it != named.end()) ok = ok && toInt64(it->second, out);
  };
  auto small = [&](const char* key, int& out) {
    auto it = named.find(key);
    if (it != named.end()) ok = ok && toInt(it->second, out);
  };
  int retryEvent = 0;
  num("due", v.dueMs);
  small("retry-event", retryEvent);
  num("interval", v.intervalMs);
  small("result", v.lastResult);
  num("last", v.lastUpdateMs);
  small("retries", v.retries);
  v.dueIsRetry = retryEvent != 0;
  if (named.count("retry-type") != 0) ok = ok && decode(named["retry-type"], v.retryType);
  if (named.count("state") != 0) ok = ok && parseRetryState(named["state"], v.retryState);
  return ok && v.retries >= 0;
}

bool parsePendingLine(const std::vector<std::string>& fields, Pending& p) {
  std::vector<std::string> words;
  std::map<std::string, std::string> named;
  splitFields(fields, 1, words, named);
  if (words.size() != 3 || !parseKind(words[0], p.kind) || !decode(words[1], p.version) ||
      !decode(words[2], p.trigger)) {
    return false;
  }
  bool ok = true;
  auto num = [&](const char* key, int64_t& out) {
    auto it = named.find(key);
    if (it != named.end()) ok = ok && toInt64(it->second, out);
  };
  int64_t own = 0;
  int64_t echo = 0;
  num("since", p.sinceMs);
  num("own", own);
  num("echo", echo);
  num("announced-at", p.announcedAtMs);
  num("announced", p.announcedMs);
  p.own = own != 0;
  p.echoAwaited = echo != 0;
  if (named.count("type") != 0) ok = ok && decode(named["type"], p.type);
  return ok;
}

}  // namespace

std::string statePath() {
  std::string home = qvhome::path();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home + "/scheduler.state";
}

std::string formatState(const State& state) {
  std::ostringstream out;
  out << "# nr-scheduler state: written by nr-scheduler, read by nrctl status\n";
  out << "waiting-for-network " << state.waitingForNetworkSinceMs << "\n";
  for (const VersionState& v : state.versions) {
    out << "version " << encode(v.version) << " due=" << v.dueMs << " retry-event=" << (v.dueIsRetry ? 1 : 0)
        << " retry-type=" << encode(v.retryType) << " interval=" << v.intervalMs << " result=" << v.lastResult
        << " last=" << v.lastUpdateMs << " retries=" << v.retries << " state=" << retryStateName(v.retryState)
        << "\n";
  }
  for (const Pending& p : state.pending) {
    out << "pending " << pendingKindName(p.kind) << " " << encode(p.version) << " " << encode(p.trigger)
        << " since=" << p.sinceMs << " own=" << (p.own ? 1 : 0) << " echo=" << (p.echoAwaited ? 1 : 0)
        << " type=" << encode(p.type) << " announced-at=" << p.announcedAtMs << " announced=" << p.announcedMs
        << "\n";
  }
  return out.str();
}

namespace {
constexpr int kShownSkippedLines = 10;
}  // namespace

int parseState(const std::string& text, State& out) {
  out = State();
  int skipped = 0;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::vector<std::string> fields;
    std::istringstream words(line);
    std::string w;
    while (words >> w) fields.push_back(w);
    if (fields.empty() || fields[0][0] == '#') continue;
    bool ok = false;
    if (fields[0] == "waiting-for-network") {
      int64_t since = 0;
      ok = fields.size() == 2 && toInt64(fields[1], since);
      if (ok) out.waitingForNetworkSinceMs = since;
    } else if (fields[0] == "version") {
      VersionState v;
      ok = parseVersionLine(fields, v);
      for (const VersionState& known : out.versions) ok = ok && known.version != v.version;
      if (ok) out.versions.push_back(v);
    } else if (fields[0] == "pending") {
      Pending p;
      ok = parsePendingLine(fields, p);
      if (ok) out.pending.push_back(p);
    }
    if (!ok) {
      // A file damaged as a whole must not flood the log: each line is
      // shown cut short, and only the first few are shown at all.
      if (skipped < kShownSkippedLines) {
        QV_LOG(3, "Skipping line %d of the scheduler state: %s", lineNo, qvlog::payload(line).c_str());
      }
      ++skipped;
    }
  }
  if (skipped > kShownSkippedLines) {
    QV_LOG(3, "Skipped %d damaged lines of the scheduler state in all", skipped);
  }
  return skipped;
}

bool loadState(const std::string& path, State& out, std::string& error) {
  out = State();
  UniqueFd fd(openFd(path, O_RDONLY));
  if (*fd < 0) {
    if (errno == ENOENT) return true;
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(*fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  parseState(text, out);
  return true;
}

bool saveState(const std::string& path, const State& state, std::string& error) {
  const std::string text = formatState(state);
  const std::string temp = path + ".new";
  {
    UniqueFd fd(openFd(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0640));
    if (*fd < 0) {
      error = "cannot write " + temp + ": " + std::strerror(errno);
      return false;
    }
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(*fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
      }
      done += static_cast<size_t>(n);
    }
    if (::fsync(*fd) != 0) {
      error = "cannot sync " + temp + ": " + std::strerror(errno);
      ::unlink(temp.c_str());
      return false;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself is durable once the directory is synced.
  std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
  UniqueFd dirFd(openFd(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY));
  if (*dirFd >= 0) ::fsync(*dirFd);
  return true;
}

}  // namespace nrsched
