#include "platform/Types.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace qvTypes {

String toString(long n) { return std::to_wstring(n); }

std::time_t fromMillisSinceEpoch(long long millis) {
  long long secs = millis / 1000;
  if (millis % 1000 < 0) --secs;
  return static_cast<std::time_t>(secs);
}

}  // namespace qvTypes

bool MString::split(const std::string& s, char c, std::string& before, std::string& after) {
  std::string::size_type pos = s.find(c);
  if (pos == std::string::npos) return false;
  before = s.substr(0, pos);
  after = s.substr(pos + 1);
  return true;
}

std::vector<std::string> MString::splitAll(const std::string& s, char c) {
  std::vector<std::string> out;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type pos = s.find(c, start);
    if (pos == std::string::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

bool MString::toInt(const std::string& s, long& out) {
  const char* begin = s.c_str();
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  out = v;
  return true;
}

qvTypes::String MString::toWide(const std::string& utf8) {
  std::istringstream in(utf8);
  UTF_8Util::LineReader reader(in);
  qvTypes::String out;
  for (long c = reader.read(); c != -1; c = reader.read()) out.push_back(static_cast<wchar_t>(c));
  return out;
}

std::string MString::fromWide(const qvTypes::String& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    unsigned long cp = static_cast<unsigned long>(wc);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

bool MString::startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string MString::readStream(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace UTF_8Util {

long LineReader::read() {
  int b0 = mIn.get();
  if (b0 == std::char_traits<char>::eof()) return -1;
  unsigned char c0 = static_cast<unsigned char>(b0);
  if (c0 < 0x80) return c0;
  int extra;
  long cp;
  long minimum;
  if ((c0 & 0xE0) == 0xC0) {
    extra = 1; cp = c0 & 0x1F; minimum = 0x80;
  } else if ((c0 & 0xF0) == 0xE0) {
    extra = 2; cp = c0 & 0x0F; minimum = 0x800;
  } else if ((c0 & 0xF8) == 0xF0) {
    extra = 3; cp = c0 & 0x07; minimum = 0x10000;
  } else {
    return 0xFFFD;
  }
  for (int i = 0; i < extra; ++i) {
    int b = mIn.peek();
    if (b == std::char_traits<char>::eof() || (static_cast<unsigned char>(b) & 0xC0) != 0x80) return 0xFFFD;
    mIn.get();
    cp = (cp << 6) | (static_cast<unsigned char>(b) & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

bool LineReader::readLine(qvTypes::String& line) {
  line.clear();
  long c = read();
  if (c == -1) return false;
  while (c != -1 && c != '\n') {
    line.push_back(static_cast<wchar_t>(c));
    c = read();
  }
  if (!line.empty() && line.back() == L'\r') line.pop_back();
  return true;
}

void LineWriter::write(const qvTypes::String& text) {
  const std::string bytes = MString::fromWide(text);
  mOut.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void LineWriter::writeLine(const qvTypes::String& text) {
  write(text);
  mOut.put('\n');
}

}  // namespace UTF_8Util

