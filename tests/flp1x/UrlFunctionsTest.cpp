// The URL functions of the FLP 1.x transport: splitting, the URL the stack
// is asked for, and joining a server URL with a server-given reference.
#include <gtest/gtest.h>

#include <string>

#include "HttpTransport.h"
#include "Url.h"

namespace {

TEST(UrlFunctions, SplitIntoSchemeHostPortAndPath) {
  struct Case {
    const char* url;
    const char* scheme;
    const char* rest;
    const char* host;
    int port;
    const char* path;
  } cases[] = {
      {"http://h/a/b", "http://", "h/a/b", "h", 80, "/a/b"},
      {"https://h:8443/x?y=1", "https://", "h:8443/x?y=1", "h", 8443, "/x?y=1"},
      {"host:8080/x", "http://", "host:8080/x", "host", 8080, "/x"},
      {"host/x", "http://", "host/x", "host", 80, "/x"},
      {"host", "http://", "host", "host", 80, "/"},
      {"host:", "http://", "host:", "host", 80, "/"},
      {"host:81", "http://", "host:81", "host", 81, "/"},
      // A colon or a "://" past the authority does not split there.
      {"http://h/x?t=12:30", "http://", "h/x?t=12:30", "h", 80, "/x?t=12:30"},
      {"h/go?to=http://o/p", "http://", "h/go?to=http://o/p", "h", 80, "/go?to=http://o/p"},
      {"[::1]:8080/x", "http://", "[::1]:8080/x", "[::1]", 8080, "/x"},
      {"[::1]/x", "http://", "[::1]/x", "[::1]", 80, "/x"},
      // Untrusted oddities: no host, ports that are no ports.
      {"http:///p", "http://", "/p", "", 80, "/p"},
      {"h:8080abc/x", "http://", "h:8080abc/x", "h", 8080, "/x"},
      {"h:abc/x", "http://", "h:abc/x", "h", -1, "/x"},
      {"h:99999999999999999999/x", "http://", "h:99999999999999999999/x", "h", -1, "/x"},
      {"h:99999/x", "http://", "h:99999/x", "h", 99999, "/x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string rest, scheme;
    splitScheme(c.url, rest, scheme);
    EXPECT_EQ(c.scheme, scheme);
    EXPECT_EQ(c.rest, rest);
    EXPECT_EQ(c.host, hostOf(rest));
    EXPECT_EQ(c.port, portOf(rest));
    EXPECT_EQ(c.path, pathOf(rest));
  }
}

TEST(UrlFunctions, TransactionUrlKeepsTheSchemeAndChecksHostAndPort) {
  struct Case {
    const char* url;
    bool usable;
    const char* expected;  // the URL handed to the stack
  } cases[] = {
      {"http://h/a", true, "http://h:80/a"},
      {"https://h/a", true, "https://h:443/a"},
      {"HTTPS://h", true, "HTTPS://h:443/"},
      {"https://h:8443", true, "https://h:8443/"},
      {"h:8080/x?q", true, "http://h:8080/x?q"},
      {"http:///p", false, "http://:80/p"},
      {"http://h:0/", false, "http://h:0/"},
      {"http://h:70000/", false, "http://h:70000/"},
      {"http://h:x/", false, "http://h:-1/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string rest, scheme, url, reason;
    splitScheme(c.url, rest, scheme);
    EXPECT_EQ(c.usable, HttpTransport::transactionUrl(scheme, rest, url, reason)) << reason;
    EXPECT_EQ(c.expected, url);
    EXPECT_EQ(c.usable, reason.empty());
  }
}

TEST(UrlFunctions, ResolveUrl) {
  struct Case {
    const char* base;
    const char* ref;
    const char* expected;
  } cases[] = {
      {"http://h/a/b", "", "http://h/a/b"},
      // Relative references join the whole base, not its directory.
      {"http://h/a/b", "c", "http://h/a/b/c"},
      {"http://h/a/b/", "c", "http://h/a/b/c"},
      {"http://h/a/b//", "c", "http://h/a/b/c"},
      {"http://h/", "c?x=1", "http://h/c?x=1"},
      {"h/a", "c", "http://h/a/c"},
      {"http://h:81/a/b/", "/x", "http://h:81/x"},
      {"https://h/a/b", "/x", "https://h/x"},
      {"http://h/a/b", "../c", "http://h/a/c"},
      {"http://h/a/b", "../../c", "http://h/c"},
      {"https://h:8443/a", "../x", "https://h:8443/x"},
      {"http://h/a?q=1:2", "../c", "http://h/c"},
      // Climbing beyond the root stays at the base.
      {"http://h/a/b", "../../../c", "http://h/a/b"},
      {"http://h/", "../c", "http://h"},
      {"http://h", "../../c", "http://h"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.base) + " + " + c.ref);
    EXPECT_EQ(c.expected, resolveUrl(c.base, c.ref));
  }
}

}  // namespace
