// The one logging facility of the system.
//
// Every message is formatted with printf rules and written, exactly as
// formatted and with no newline added, to the stream held by
// librunlog_to_module_ptr (standard output when that is null). Only levels 7
// and below are written: 3 is for reports and errors, 7 for lock failures and
// settings traces, 8 (debug) is never written.
//
// Under systemd, when that stream is the journal (its device and inode are
// the ones JOURNAL_STREAM names), each message becomes one journal record:
// it is written with its level as the syslog priority prefix ("<3>" for
// level 3, err; "<7>" for level 7, debug), each further line of the message
// carries the same prefix, and a newline ends it. Elsewhere the text is
// written exactly as formatted.
//
// Thread safety: QV_LOG may be called from any thread; each message is one
// vfprintf call, which stdio serialises. librunlog_to_module_ptr is meant to
// be set once at start-up, before other threads run.
#pragma once

#include <cstdio>

extern "C" {
// The platform log library's stream. Null means standard output.
extern FILE* librunlog_to_module_ptr;
}

namespace qvlog {

constexpr int kMaxWrittenLevel = 7;
constexpr int kDebug = 8;

// Writes fmt with its arguments when level <= kMaxWrittenLevel.
void write(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// True when a message of this level would be written.
inline bool enabled(int level) { return level <= kMaxWrittenLevel; }

// True when stream is the journal stream that JOURNAL_STREAM names.
bool isJournal(FILE* stream);

}  // namespace qvlog

// Every message starts with the fixed prefix, called with the source file's
// name and line.
#define QV_LOG(level, fmt, ...) \
  ::qvlog::write((level), "(%s:%d)[~~~~quorvel~~~~]" fmt, __FILE__, __LINE__, ##__VA_ARGS__)

// Bounds what a message shows of a payload it cannot vouch for (a body, a
// header block): at most kPayloadShownBytes bytes, each byte that is not
// printable ASCII (or a line end or tab) shown as ".", and when cut, the
// total size after it. A log line never carries more than that, at any
// level, whatever the server sends.
#include <cstddef>
#include <string>

namespace qvlog {
constexpr std::size_t kPayloadShownBytes = 400;
std::string payload(const char* data, std::size_t size);
inline std::string payload(const std::string& bytes) { return payload(bytes.data(), bytes.size()); }
}  // namespace qvlog

// Writes one short trace line to standard output (the framework's progress
// trace). withNewline=false writes the text alone. Flushed at once, so a
// reader of a pipe sees it in order with the events.
namespace qvlog {
void trace(const char* text, bool withNewline = true);
}
