#include "Http.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace testserver {

namespace {

bool isTokenChar(unsigned char c) {
  if (std::isalnum(c)) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

bool isToken(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (!isTokenChar(c)) return false;
  }
  return true;
}

// Splits the head into lines, accepting CRLF or a bare LF as line end. A CR
// anywhere else makes the head malformed.
bool splitLines(const std::string& head, std::vector<std::string>& lines) {
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t lf = head.find('\n', start);
    if (lf == std::string::npos) lf = head.size();
    std::size_t end = lf;
    if (end > start && head[end - 1] == '\r') --end;
    std::string line = head.substr(start, end - start);
    if (line.find('\r') != std::string::npos || line.find('\0') != std::string::npos) return false;
    lines.push_back(line);
    start = lf + 1;
  }
  return true;
}

// Path of a request-target: origin-form "/p?q" gives "/p"; absolute-form
// "http://host/p?q" (as sent to a proxy) gives "/p", "http://host" gives "/".
bool targetPath(const std::string& target, std::string& path) {
  std::string rest = target;
  if (rest.empty()) return false;
  if (rest[0] != '/') {
    const std::size_t scheme = rest.find("://");
    if (scheme == std::string::npos || scheme == 0) return false;
    const std::size_t slash = rest.find('/', scheme + 3);
    if (slash == std::string::npos) {
      rest = "/";
    } else {
      rest = rest.substr(slash);
    }
  }
  const std::size_t q = rest.find_first_of("?#");
  path = q == std::string::npos ? rest : rest.substr(0, q);
  return true;
}

bool parseDecimal(const std::string& s, std::size_t& out) {
  if (s.empty() || s.size() > 18) return false;
  std::size_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::size_t>(c - '0');
  }
  out = v;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const std::string* Request::header(const std::string& name) const {
  for (const Header& h : headers) {
    if (equalsIgnoreCase(h.name, name)) return &h.value;
  }
  return nullptr;
}

std::size_t findHeadEnd(const std::string& data) {
  // The first empty line: "\n\r\n" or "\n\n" (a head starting with an empty
  // line is malformed and caught by parseHead).
  for (std::size_t i = data.find('\n'); i != std::string::npos; i = data.find('\n', i + 1)) {
    if (i + 1 < data.size() && data[i + 1] == '\n') return i + 2;
    if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return std::string::npos;
}

int parseHead(const std::string& head, Request& out) {
  std::vector<std::string> lines;
  if (!splitLines(head, lines) || lines.empty()) return 400;
  // Drop the terminating empty line(s).
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return 400;

  const std::string& requestLine = lines[0];
  const std::size_t sp1 = requestLine.find(' ');
  if (sp1 == std::string::npos) return 400;
  const std::size_t sp2 = requestLine.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || requestLine.find(' ', sp2 + 1) != std::string::npos) return 400;
  out.method = requestLine.substr(0, sp1);
  out.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  out.version = requestLine.substr(sp2 + 1);
  if (!isToken(out.method) || out.target.empty()) return 400;
  if (out.version.compare(0, 5, "HTTP/") != 0) return 400;
  if (out.version != "HTTP/1.1" && out.version != "HTTP/1.0") return 505;
  if (out.method == "CONNECT") return 501;
  if (!targetPath(out.target, out.path)) return 400;

  if (lines.size() - 1 > kMaxHeaderCount) return 431;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) return 400;
    // Folded continuation lines are obsolete and refused.
    if (line[0] == ' ' || line[0] == '\t') return 400;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return 400;
    Header h;
    h.name = line.substr(0, colon);
    if (!isToken(h.name)) return 400;
    h.value = trim(line.substr(colon + 1));
    out.headers.push_back(h);
  }
  return 0;
}

BodyFraming bodyFraming(const Request& request, std::size_t maxBody) {
  BodyFraming f;
  const std::string* te = nullptr;
  const std::string* cl = nullptr;
  for (const Header& h : request.headers) {
    if (equalsIgnoreCase(h.name, "Transfer-Encoding")) {
      if (te != nullptr) {
        f.error = 400;
        return f;
      }
      te = &h.value;
    } else if (equalsIgnoreCase(h.name, "Content-Length")) {
      if (cl != nullptr && *cl != h.value) {
        f.error = 400;
        return f;
      }
      cl = &h.value;
    }
  }
  if (te != nullptr) {
    if (cl != nullptr) {
      f.error = 400;
    } else if (!equalsIgnoreCase(*te, "chunked")) {
      f.error = 501;
    } else {
      f.kind = BodyFraming::kChunked;
    }
    return f;
  }
  if (cl != nullptr) {
    std::size_t n = 0;
    if (!parseDecimal(*cl, n)) {
      f.error = 400;
    } else if (n > maxBody) {
      f.error = 413;
    } else if (n > 0) {
      f.kind = BodyFraming::kLength;
      f.length = n;
    }
  }
  return f;
}

int ChunkedDecoder::feed(const std::string& raw, std::string& body) {
  while (!mDone) {
    const std::size_t lf = raw.find('\n', mPos);
    if (lf == std::string::npos) {
      return raw.size() - mPos > kMaxChunkLine ? 400 : 0;
    }
    if (lf - mPos > kMaxChunkLine) return 400;
    std::string line = raw.substr(mPos, lf - mPos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (mInTrailers) {
      // Trailer fields are read past and dropped; an empty line ends them.
      mPos = lf + 1;
      if (line.empty()) mDone = true;
      continue;
    }
    const std::size_t semi = line.find(';');
    const std::string sizeText = trim(semi == std::string::npos ? line : line.substr(0, semi));
    if (sizeText.empty() || sizeText.size() > 15) return 400;
    std::size_t size = 0;
    for (char c : sizeText) {
      const int v = hexValue(c);
      if (v < 0) return 400;
      size = size * 16 + static_cast<std::size_t>(v);
    }
    if (size == 0) {
      mPos = lf + 1;
      mInTrailers = true;
      continue;
    }
    if (size > mMaxBody || body.size() > mMaxBody - size) return 413;
    const std::size_t dataStart = lf + 1;
    if (raw.size() < dataStart + size + 1) return 0;
    std::size_t after = dataStart + size;
    if (raw[after] == '\r') {
      if (raw.size() < after + 2) return 0;
      if (raw[after + 1] != '\n') return 400;
      after += 2;
    } else if (raw[after] == '\n') {
      after += 1;
    } else {
      return 400;
    }
    body.append(raw, dataStart, size);
    mPos = after;
  }
  return 0;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool containsIgnoreCase(const std::string& haystack, const std::string& needle) {
  if (needle.size() > haystack.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (equalsIgnoreCase(haystack.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

std::string trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  const std::size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  const std::size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

bool percentDecode(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    const int hi = hexValue(in[i + 1]);
    const int lo = hexValue(in[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool isValidUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

namespace {

void appendEscaped(std::string& out, unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", c);
  out += buf;
}

}  // namespace

std::string jsonString(const std::string& s) {
  const bool utf8 = isValidUtf8(s);
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
          appendEscaped(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string base64(const std::string& data) {
  static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i + 1 == data.size()) {
    const std::uint32_t v = p[i] << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == data.size()) {
    const std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

}  // namespace testserver
