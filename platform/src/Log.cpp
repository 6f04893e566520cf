#include "platform/Log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
FILE* librunlog_to_module_ptr = nullptr;
}

namespace {

// Set while the last trace on standard output ended without a newline, so
// that a journal record written to standard output starts a line of its own.
std::atomic<bool> gStdoutMidLine{false};

// The journal's stream protocol reads a "<p>" prefix at the start of every
// line as that line's priority; the written levels use the syslog numbers.
int priorityOf(int level) { return level < 0 ? 0 : (level > 7 ? 7 : level); }

// Writes one message as journal records: every line of it carries the
// priority, and the message ends its line.
void writeJournal(FILE* out, int level, const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  std::string text;
  if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), fmt, ap);
    text.resize(static_cast<size_t>(n));
  }
  char prefix[8];
  std::snprintf(prefix, sizeof prefix, "<%d>", priorityOf(level));
  flockfile(out);
  if (out == stdout && gStdoutMidLine.exchange(false)) std::fputc('\n', out);
  std::fputs(prefix, out);
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    std::fputc(text[i], out);
    if (text[i] == '\n' && i + 1 < text.size()) std::fputs(prefix, out);
  }
  if (text.empty() || text.back() != '\n') std::fputc('\n', out);
  std::fflush(out);
  funlockfile(out);
}

}  // namespace

namespace qvlog {

bool isJournal(FILE* stream) {
  const char* env = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr || env == nullptr || *env == '\0') return false;
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  if (std::sscanf(env, "%llu:%llu", &dev, &ino) != 2) return false;
  int fd = fileno(stream);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

void write(int level, const char* fmt, ...) {
  if (!enabled(level)) return;
  FILE* out = librunlog_to_module_ptr != nullptr ? librunlog_to_module_ptr : stdout;
  va_list ap;
  va_start(ap, fmt);
  if (isJournal(out)) {
    writeJournal(out, level, fmt, ap);
  } else {
    std::vfprintf(out, fmt, ap);
    std::fflush(out);
  }
  va_end(ap);
}

void trace(const char* text, bool withNewline) {
  flockfile(stdout);
  std::fputs(text, stdout);
  if (withNewline) std::fputc('\n', stdout);
  if (withNewline || *text != '\0') gStdoutMidLine.store(!withNewline);
  std::fflush(stdout);
  funlockfile(stdout);
}

}  // namespace qvlog

namespace qvlog {

std::string payload(const char* data, std::size_t size) {
  const std::size_t shown = size < kPayloadShownBytes ? size : kPayloadShownBytes;
  std::string out;
  out.reserve(shown + 48);
  for (std::size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    out.push_back((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t' ? static_cast<char>(c) : '.');
  }
  if (shown < size) out += "... [" + std::to_string(size) + " bytes in all]";
  return out;
}

}  // namespace qvlog
