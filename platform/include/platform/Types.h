// Basic platform value types and text helpers.
//
// Thread safety: everything here is plain value code; distinct objects may be
// used on distinct threads, one object on one thread at a time.
#pragma once

#include <ctime>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace qvTypes {

using ID = std::string;       // byte-string identifier
using String = std::wstring;  // wide text

// Decimal text of n as wide text.
String toString(long n);

// Whole seconds since 1970 for a count of milliseconds since 1970 (rounded
// towards minus infinity, so times before 1970 stay consistent).
std::time_t fromMillisSinceEpoch(long long millis);

}  // namespace qvTypes

// Byte-string utilities.
class MString {
 public:
  // Splits s at the first occurrence of c. False (and outputs untouched) when
  // c does not occur.
  static bool split(const std::string& s, char c, std::string& before, std::string& after);
  // All pieces of s between occurrences of c (an empty s gives one empty piece).
  static std::vector<std::string> splitAll(const std::string& s, char c);
  // Decimal integer with strtol rules (leading blanks skipped, stops at the
  // first non-digit); false when no digit was read or the value overflows.
  static bool toInt(const std::string& s, long& out);
  // UTF-8 bytes to wide text (invalid sequences become U+FFFD).
  static qvTypes::String toWide(const std::string& utf8);
  // Wide text to UTF-8 bytes (a character that cannot be encoded becomes
  // U+FFFD). No stream is involved: it runs for every text stored.
  static std::string fromWide(const qvTypes::String& text);
  static bool startsWith(const std::string& s, const std::string& prefix);
  // Everything that is left in the stream.
  static std::string readStream(std::istream& in);
};

namespace UTF_8Util {

// Reads UTF-8 from a byte stream one character at a time.
class LineReader {
 public:
  explicit LineReader(std::istream& in) : mIn(in) {}
  // The next code point, -1 at end of stream. A malformed or truncated
  // sequence yields U+FFFD and reading resumes at the next byte.
  long read();
  // The next line without its terminator (LF, or CRLF); false at end of
  // stream when nothing was read.
  bool readLine(qvTypes::String& line);

 private:
  std::istream& mIn;
};

// Writes wide text as UTF-8 to a byte stream.
class LineWriter {
 public:
  explicit LineWriter(std::ostream& out) : mOut(out) {}
  void write(const qvTypes::String& text);
  void writeLine(const qvTypes::String& text);
  void flush() { mOut.flush(); }

 private:
  std::ostream& mOut;
};

}  // namespace UTF_8Util
