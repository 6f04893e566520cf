#include "Rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Content.h"

namespace testserver {

namespace {

// Bounds on numbers in rules: an hour of delay, a GiB of bytes.
constexpr long kMaxMillis = 3600L * 1000;
constexpr long kMaxBytes = 1L << 30;
constexpr std::size_t kMaxRulesFile = 1 << 20;

bool parseNumber(const std::string& text, long min, long max, long& out) {
  if (text.empty() || text.size() > 12) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || text[0] == '+' || text[0] == ' ') return false;
  if (v < min || v > max) return false;
  out = v;
  return true;
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) break;
    std::size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
    out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

// Reads a whole small file; false when it cannot be read.
bool readSmallFile(const std::string& path, std::string& out, std::string& error) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  out.clear();
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    out.append(buf, n);
    if (out.size() > kMaxRulesFile) {
      error = path + ": rules file too large";
      return false;
    }
  }
  if (std::ferror(f.get())) {
    error = path + ": read error";
    return false;
  }
  return true;
}

// Parses one directive line (already trimmed, not a comment) into answer.
// Returns an error text or "" on success.
std::string parseDirective(const std::string& line, Answer& answer) {
  const std::size_t sp = line.find_first_of(" \t");
  const std::string word = line.substr(0, sp);
  const std::string rest = sp == std::string::npos ? "" : trim(line.substr(sp + 1));
  const std::vector<std::string> args = words(rest);
  long n = 0;
  long m = 0;

  if (word == "status") {
    if (args.size() != 1 || !parseNumber(args[0], 100, 999, n)) return "status needs a code from 100 to 999";
    answer.status = static_cast<int>(n);
  } else if (word == "status-line") {
    if (rest.empty()) return "status-line needs a text";
    answer.statusLine = rest;
  } else if (word == "header") {
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos || colon == 0) return "header needs 'Name: value'";
    Header h{trim(rest.substr(0, colon)), trim(rest.substr(colon + 1))};
    if (h.name.empty() || h.name.find_first_of(" \t") != std::string::npos) return "header name must be one word";
    answer.headers.push_back(h);
  } else if (word == "raw-header") {
    if (rest.empty()) return "raw-header needs a text";
    answer.rawHeaders.push_back(rest);
  } else if (word == "delay") {
    if (args.size() != 1 || !parseNumber(args[0], 0, kMaxMillis, n)) return "delay needs milliseconds";
    answer.delayMillis = n;
  } else if (word == "drip") {
    if (args.size() != 2 || !parseNumber(args[0], 1, kMaxBytes, n) || !parseNumber(args[1], 0, kMaxMillis, m)) {
      return "drip needs a piece size in bytes (1 or more) and milliseconds";
    }
    answer.dripBytes = static_cast<std::size_t>(n);
    answer.dripMillis = m;
  } else if (word == "close-after") {
    if (args.empty() || args.size() > 2 || !parseNumber(args[0], 0, kMaxBytes, n) ||
        (args.size() == 2 && args[1] != "reset")) {
      return "close-after needs a byte count and optionally 'reset'";
    }
    answer.closeAfter = n;
    answer.closeWithReset = args.size() == 2;
  } else if (word == "gzip") {
    if (args.empty() || (args.size() == 1 && args[0] == "always")) {
      answer.gzip = Answer::kGzipAlways;
    } else if (args.size() == 1 && args[0] == "if-accepted") {
      answer.gzip = Answer::kGzipIfAccepted;
    } else {
      return "gzip takes 'always' or 'if-accepted'";
    }
  } else if (word == "body") {
    if (args.size() != 1 || !isSafeRelativePath(args[0])) return "body needs a file name inside the root";
    answer.hasBodyFile = true;
    answer.bodyFile = args[0];
    answer.hasBodyText = false;
  } else if (word == "body-text") {
    answer.hasBodyText = true;
    answer.bodyText = rest;
    answer.hasBodyFile = false;
  } else {
    return "unknown directive '" + word + "'";
  }
  return "";
}

}  // namespace

void Answer::merge(const Answer& from) {
  if (from.status != 0) status = from.status;
  if (!from.statusLine.empty()) statusLine = from.statusLine;
  headers.insert(headers.end(), from.headers.begin(), from.headers.end());
  rawHeaders.insert(rawHeaders.end(), from.rawHeaders.begin(), from.rawHeaders.end());
  if (from.delayMillis >= 0) delayMillis = from.delayMillis;
  if (from.dripBytes > 0) {
    dripBytes = from.dripBytes;
    dripMillis = from.dripMillis;
  }
  if (from.closeAfter >= 0) {
    closeAfter = from.closeAfter;
    closeWithReset = from.closeWithReset;
  }
  if (from.gzip != kGzipUnset) gzip = from.gzip;
  if (from.hasBodyFile) {
    hasBodyFile = true;
    bodyFile = from.bodyFile;
    hasBodyText = false;
  }
  if (from.hasBodyText) {
    hasBodyText = true;
    bodyText = from.bodyText;
    hasBodyFile = false;
  }
}

bool isKnownKind(const std::string& kind) {
  static const char* const kKinds[] = {"content-update", "get",    "service-registration", "data-by-ids",
                                       "data-by-url",    "type-1", "type-2",               "type-3",
                                       "invalid"};
  for (const char* k : kKinds) {
    if (kind == k) return true;
  }
  return false;
}

bool RuleSet::parse(const std::string& text, const std::string& sourceName, const std::string& sidecarFor,
                    RuleSet& out, std::string& error) {
  out.sections.clear();
  if (!sidecarFor.empty()) {
    Section s;
    s.selector = Section::kFile;
    s.value = sidecarFor;
    s.answers.emplace_back();
    out.sections.push_back(s);
  }
  std::size_t lineNo = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t lf = text.find('\n', start);
    if (lf == std::string::npos) lf = text.size();
    const std::string line = trim(text.substr(start, lf - start));
    start = lf + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#') continue;
    const std::string where = sourceName + ":" + std::to_string(lineNo) + ": ";

    if (line[0] == '[') {
      if (!sidecarFor.empty()) {
        error = where + "a sidecar file has no sections";
        return false;
      }
      if (line.back() != ']') {
        error = where + "section header must end with ']'";
        return false;
      }
      const std::vector<std::string> sel = words(line.substr(1, line.size() - 2));
      Section s;
      if (sel.size() == 1 && sel[0] == "any") {
        s.selector = Section::kAny;
      } else if (sel.size() == 2 && sel[0] == "path" && !sel[1].empty() && sel[1][0] == '/') {
        s.selector = Section::kPath;
      } else if (sel.size() == 2 && sel[0] == "file" && isSafeRelativePath(sel[1])) {
        s.selector = Section::kFile;
      } else if (sel.size() == 2 && sel[0] == "kind" && isKnownKind(sel[1])) {
        s.selector = Section::kKind;
      } else {
        error = where + "expected [any], [path /P], [file NAME] or [kind KIND]";
        return false;
      }
      if (sel.size() == 2) s.value = sel[1];
      s.answers.emplace_back();
      out.sections.push_back(s);
      continue;
    }
    if (out.sections.empty()) {
      error = where + "directive before the first section";
      return false;
    }
    Section& current = out.sections.back();
    if (line == "next") {
      current.answers.emplace_back();
      continue;
    }
    const std::string problem = parseDirective(line, current.answers.back());
    if (!problem.empty()) {
      error = where + problem;
      return false;
    }
  }
  return true;
}

RuleBook::RuleBook(std::string root, std::string rulesPath)
    : mRoot(std::move(root)), mRulesPath(std::move(rulesPath)) {}

bool RuleBook::load(std::string& error) {
  if (mRulesPath.empty()) return true;
  std::lock_guard<std::mutex> guard(mLock);
  if (!refresh(mRulesPath, "", mRules, error)) return false;
  if (!mRules.exists) {
    error = mRulesPath + ": no such file";
    return false;
  }
  return true;
}

bool RuleBook::refresh(const std::string& path, const std::string& sidecarFor, Source& source,
                       std::string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (source.exists) source = Source();
    return true;
  }
  const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  if (source.exists && source.dev == st.st_dev && source.ino == st.st_ino && source.size == st.st_size &&
      source.mtimeNanos == mtime) {
    return true;
  }
  std::string text;
  if (!readSmallFile(path, text, error)) return false;
  Source fresh;
  if (!RuleSet::parse(text, path, sidecarFor, fresh.rules, error)) return false;
  fresh.exists = true;
  fresh.dev = st.st_dev;
  fresh.ino = st.st_ino;
  fresh.size = st.st_size;
  fresh.mtimeNanos = mtime;
  source = std::move(fresh);
  return true;
}

void RuleBook::apply(RuleSet& rules, const RuleQuery& query, Answer& out) {
  for (Section& s : rules.sections) {
    bool match = false;
    switch (s.selector) {
      case Section::kAny: match = true; break;
      case Section::kPath: match = query.path == s.value; break;
      case Section::kFile: match = !query.file.empty() && query.file == s.value; break;
      case Section::kKind: match = query.kind == s.value; break;
    }
    if (!match) continue;
    const std::size_t index = s.served < s.answers.size() ? s.served : s.answers.size() - 1;
    out.merge(s.answers[index]);
    ++s.served;
  }
}

bool RuleBook::resolve(const RuleQuery& query, Answer& out, std::string& error) {
  out = Answer();
  std::lock_guard<std::mutex> guard(mLock);
  if (!query.file.empty()) {
    // Only sidecars that exist are remembered, so request names that the
    // client makes up do not grow the map.
    const std::string path = mRoot + "/" + query.file + ".rules";
    auto it = mSidecars.find(query.file);
    if (it == mSidecars.end()) {
      struct stat st;
      if (::stat(path.c_str(), &st) == 0) it = mSidecars.emplace(query.file, Source()).first;
    }
    if (it != mSidecars.end()) {
      if (!refresh(path, query.file, it->second, error)) return false;
      if (it->second.exists) {
        apply(it->second.rules, query, out);
      } else {
        mSidecars.erase(it);
      }
    }
  }
  if (!mRulesPath.empty()) {
    if (!refresh(mRulesPath, "", mRules, error)) return false;
    apply(mRules.rules, query, out);
  }
  return true;
}

}  // namespace testserver
