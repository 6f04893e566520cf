// Splitting and joining the server URLs of the FLP 1.x engine.
//
// A URL is handled as scheme ("http://", with its "://") plus the rest
// ("host:port/path"). The authority of the rest is the text before its
// first "/"; a port colon and a scheme's "://" count only where they belong
// (in the authority, and before the first "/"), so a colon in a path or a
// URL inside a query does not split the URL at the wrong place. An IPv6
// literal in brackets keeps its colons.
//
// Threads: plain functions of their arguments; any thread.
#pragma once

#include <string>

// rest and scheme of url: when url starts with "<scheme>://" (no "/" before
// the "://"), scheme is the text up to and including "://" and rest what
// follows; otherwise scheme is "http://" and rest the whole url.
void splitScheme(const std::string& url, std::string& rest, std::string& scheme);

// The host of a rest: its authority without the port ("h" of "h:81/x").
std::string hostOf(const std::string& rest);

// The port of a rest: 80 when the authority has no port (or an empty one);
// otherwise the number its port text begins with (strtol rules, so
// "8080abc" is 8080); -1 when that text holds no number or overflows. The
// value is not range-checked here.
int portOf(const std::string& rest);

// True when the authority of rest carries port text after a colon.
bool hasExplicitPort(const std::string& rest);

// The path of a rest: from its first "/" on; "/" when there is none.
std::string pathOf(const std::string& rest);

// Joins a server URL and a server-given reference: the scheme of base
// followed by the joined rest. An empty ref gives base. A ref starting
// with "/" replaces the path; each leading "../" drops the last segment of
// the base path (the base with its trailing "/" dropped when nothing is
// left to drop); any other ref is appended to the whole base with exactly
// one "/" between them (base http://h/a/b and ref c give http://h/a/b/c).
std::string resolveUrl(const std::string& base, const std::string& ref);
