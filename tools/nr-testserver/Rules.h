// Fault injection of nr-testserver: the rules that change an answer
// (status, headers, delay, drip, early close, gzip, body), read from the
// rules file given with --rules and from sidecar files "<answer file>.rules"
// in the root. The format is described in docs/nr-testserver.md.
//
// A rule section holds a sequence of answers separated by "next": the n-th
// request that the section matches gets the n-th answer, and the last one
// repeats. Both kinds of file are read again when they change on disk (their
// sequences then start over).
//
// Threads: RuleSet and Answer are plain values. RuleBook is shared by the
// connection threads; resolve() may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Http.h"

namespace testserver {

// What the matching rules say about one answer. Unset fields keep the
// server's own answer.
struct Answer {
  int status = 0;              // 0: unset
  std::string statusLine;      // verbatim status line; empty: unset
  std::vector<Header> headers; // set in order; an empty value removes the header
  std::vector<std::string> rawHeaders;  // verbatim lines, appended
  long delayMillis = -1;       // pause before the status line
  std::size_t dripBytes = 0;   // 0: no drip
  long dripMillis = 0;
  long closeAfter = -1;        // close after this many body bytes; -1: unset
  bool closeWithReset = false;
  enum Gzip { kGzipUnset, kGzipAlways, kGzipIfAccepted } gzip = kGzipUnset;
  bool hasBodyFile = false;
  std::string bodyFile;        // relative to the root
  bool hasBodyText = false;
  std::string bodyText;

  // Lays from over this answer: set fields of from win, headers add up.
  void merge(const Answer& from);
};

struct Section {
  enum Selector { kAny, kPath, kFile, kKind } selector = kAny;
  std::string value;            // the path, file name or kind
  std::vector<Answer> answers;  // at least one
  std::size_t served = 0;       // requests matched so far
};

// Request kinds a [kind ...] section can name.
bool isKnownKind(const std::string& kind);

struct RuleSet {
  std::vector<Section> sections;

  // Parses a rules file. A sidecar (sidecarFor non-empty) has no section
  // headers: its directives form one section for that answer file. On error
  // returns false with a message naming sourceName and the line.
  static bool parse(const std::string& text, const std::string& sourceName, const std::string& sidecarFor,
                    RuleSet& out, std::string& error);
};

// A request as the rules see it.
struct RuleQuery {
  std::string path;  // request path
  std::string kind;  // request kind
  std::string file;  // answer file relative to the root; empty for none
};

class RuleBook {
 public:
  // rulesPath may be empty (no rules file).
  RuleBook(std::string root, std::string rulesPath);

  // Reads the rules file at start-up. False with a message on error.
  bool load(std::string& error);

  // The merged answer of the sidecar of query.file and then the rules file,
  // advancing the sequence of every matching section. False with a message
  // when a file changed on disk and no longer parses.
  bool resolve(const RuleQuery& query, Answer& out, std::string& error);

 private:
  struct Source {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long long mtimeNanos = 0;
    RuleSet rules;
  };
  // Re-reads path into source when it changed. False on a read or parse error.
  static bool refresh(const std::string& path, const std::string& sidecarFor, Source& source, std::string& error);
  static void apply(RuleSet& rules, const RuleQuery& query, Answer& out);

  std::string mRoot;
  std::string mRulesPath;
  std::mutex mLock;
  Source mRules;
  std::map<std::string, Source> mSidecars;
};

}  // namespace testserver
