#include "Url.h"

#include <climits>

#include "platform/Types.h"

namespace {

const char kDefaultScheme[] = "http://";
constexpr int kDefaultPort = 80;

// Where the host of rest ends (exclusive) and where its port text starts
// (npos when the authority has no port colon). The authority is the text
// before the first "/".
struct Authority {
  std::string::size_type hostEnd;
  std::string::size_type portBegin;  // just after the colon
  std::string::size_type end;        // the first "/" or the end of rest
};

Authority authorityOf(const std::string& rest) {
  Authority a;
  a.end = rest.find('/');
  if (a.end == std::string::npos) a.end = rest.size();
  std::string::size_type from = 0;
  if (!rest.empty() && rest[0] == '[') {
    // An IPv6 literal: its colons are not the port's.
    std::string::size_type close = rest.find(']');
    from = (close == std::string::npos || close > a.end) ? a.end : close + 1;
  }
  std::string::size_type colon = rest.find(':', from);
  if (colon == std::string::npos || colon >= a.end) {
    a.hostEnd = from == 0 ? a.end : from;
    a.portBegin = std::string::npos;
  } else {
    a.hostEnd = colon;
    a.portBegin = colon + 1;
  }
  return a;
}

}  // namespace

void splitScheme(const std::string& url, std::string& rest, std::string& scheme) {
  std::string::size_type mark = url.find("://");
  if (mark != std::string::npos && url.find('/') == mark + 1) {
    scheme = url.substr(0, mark + 3);
    rest = url.substr(mark + 3);
    return;
  }
  scheme = kDefaultScheme;
  rest = url;
}

std::string hostOf(const std::string& rest) { return rest.substr(0, authorityOf(rest).hostEnd); }

bool hasExplicitPort(const std::string& rest) {
  Authority a = authorityOf(rest);
  return a.portBegin != std::string::npos && a.portBegin < a.end;
}

int portOf(const std::string& rest) {
  Authority a = authorityOf(rest);
  if (a.portBegin == std::string::npos || a.portBegin >= a.end) return kDefaultPort;
  long port = 0;
  if (!MString::toInt(rest.substr(a.portBegin, a.end - a.portBegin), port) || port < INT_MIN || port > INT_MAX) {
    return -1;
  }
  return static_cast<int>(port);
}

std::string pathOf(const std::string& rest) {
  std::string::size_type slash = rest.find('/');
  return slash == std::string::npos ? std::string("/") : rest.substr(slash);
}

std::string resolveUrl(const std::string& base, const std::string& ref) {
  std::string rest, scheme;
  splitScheme(base, rest, scheme);
  if (ref.empty()) return base;

  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const Authority a = authorityOf(rest);
  const std::string host = rest.substr(0, a.hostEnd);
  const std::string port = a.portBegin == std::string::npos ? std::string() : rest.substr(a.hostEnd, a.end - a.hostEnd);
  std::string path = pathOf(rest);

  if (ref[0] == '/') return scheme + host + port + ref;

  if (ref.compare(0, 3, "../") == 0) {
    std::string tail = ref;
    while (tail.compare(0, 3, "../") == 0) {
      std::string::size_type slash = path.rfind('/');
      // Nothing left to climb out of: stay at the base.
      if (path.empty() || path == "/" || slash == std::string::npos) return scheme + rest;
      path.erase(slash);
      tail.erase(0, 3);
    }
    return scheme + host + port + path + "/" + tail;
  }

  if (!rest.empty() && rest.back() == '/') return scheme + rest + ref;
  return scheme + rest + "/" + ref;
}
