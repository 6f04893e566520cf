// What nr-testserver answers before any fault rule: the request is sorted
// into its kind and answered from the files of the root directory.
//
// DCD mode: a data request ("X-FL-RequestType: data") with "X-FL-Request-Id"
// gets a multipart/mixed body of the files named by the ids, without it the
// file named by the last path segment; every other request must carry DCD
// XML, whose request element chooses the file (content update: the file
// named by the application's sync anchor, "content-update-response.xml" for
// an empty anchor, "default.xml" when that file is missing; get request:
// "get-response.xml"; service registration:
// "service-registration-response.xml").
//
// FLP 1.x mode: "X-FL-RequestType: data" is a type-2 request (multipart of
// the ids), "data3" a type-3 request (the file of the last path segment),
// anything else a type-1 request answered with the sync package at the
// request path, gzip-compressed when the request accepts the gzip type.
//
// Threads: pure functions over the file system; any thread may call them.
#pragma once

#include <string>
#include <vector>

#include "Http.h"

namespace testserver {

enum class Mode { kDcd, kFlp1x };

// The DCD XML content type.
extern const char* const kDcdContentType;  // "application/vnd.kestrova.quorvel+xml"
// FLP 1.x sync packages, plain and compressed.
extern const char* const kFlp1xXmlType;   // "application/vnd.kestrova.quorvel+xml"
extern const char* const kFlp1xGzipType;  // "application/vnd.kestrova.quorvel+gzip"

// The answer before the rules.
struct Plan {
  int status = 200;
  std::string kind;         // request kind (see isKnownKind)
  std::string file;         // answer file relative to the root; empty for a multipart answer
  std::string contentType;  // empty: no Content-Type header
  std::string body;
  std::string note;         // why the request was refused (for the log)
};

Plan planAnswer(Mode mode, const std::string& root, const Request& request);

// A relative path inside the root: non-empty components separated by "/",
// none of them "." or "..", no NUL byte, no leading "/".
bool isSafeRelativePath(const std::string& path);

// Reads root/relPath when it is a safe path naming a regular file.
bool readRootFile(const std::string& root, const std::string& relPath, std::string& out);

// MIME type by the extension of a file name ("text/plain" by default).
std::string mimeTypeOf(const std::string& name);

// gzip stream of data; false when zlib fails.
bool gzipCompress(const std::string& data, std::string& out);

// What a DCD XML request body holds: the request element (the first child
// of the dcd root) and, for a content-update request, its application's
// sync anchor.
struct DcdRequestInfo {
  bool wellFormed = false;
  std::string primitive;
  bool hasApplication = false;
  bool hasSyncAnchor = false;
  std::string syncAnchor;
};
DcdRequestInfo inspectDcdXml(const std::string& body);

// One-time set-up of the XML library (no error output on stderr).
void initXml();

}  // namespace testserver
