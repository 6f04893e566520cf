// The records of one FLP 1.x HTTP exchange and the decoding of its answer:
// header lists, MIME entities, the request and the response, multipart
// bodies, the body reader and gzip inflation.
//
// Everything here reads untrusted server bytes. Parsing is linear in the
// input and bounded: a multipart body holds at most Multipart::kMaxParts
// parts of at most Multipart::kMaxHeaderLines header lines each, and unzip
// stops at the size bound its caller gives (the HTTP stack's body bound).
//
// Threads: plain records. A record and the PtrRefs that share it stay on one
// thread at a time (the engine's thread, which fills, sends and reads them).
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "platform/PtrRef.h"

// An ordered list of (name, value) byte-string pairs; duplicates are kept.
class HeaderList {
 public:
  using Field = std::pair<std::string, std::string>;

  // Appends the fields of text: one per line (cut at each LF), each line
  // stripped of trailing blanks, tabs, CRs and LFs; the first empty line
  // ends the text. A line is split at its first ":" into the name (kept as
  // is) and the value (stripped of blanks, tabs, CRs and LFs on both sides).
  // A line without a colon is skipped.
  void parseHeaders(const std::string& text);
  // Each field as name, ": ", value, "\r\n", in order.
  std::string toText() const;

  // The value of the first field whose name matches (ignoring case);
  // the empty text when there is none.
  const std::string& get(const std::string& name) const;
  // The same, null when there is none.
  const std::string* find(const std::string& name) const;
  void add(const std::string& name, const std::string& value) { mFields.emplace_back(name, value); }

  const std::vector<Field>& fields() const { return mFields; }
  std::size_t size() const { return mFields.size(); }
  bool empty() const { return mFields.empty(); }

 private:
  std::vector<Field> mFields;
};

// Headers and a body: request headers, a response, or one multipart part.
struct MimeEntity {
  HeaderList mHeaders;
  std::string mBody;
};

// Bytes and a read position.
class BodyReader {
 public:
  BodyReader() = default;
  explicit BodyReader(std::string bytes) : mBytes(std::move(bytes)) {}

  // Appends received bytes; false (nothing appended) when memory runs out.
  bool append(const char* data, std::size_t length);
  // Replaces the bytes and goes back to position 0.
  void reset(std::string bytes);

  // The bytes from the position up to and including the next LF; the
  // remaining bytes when no LF is left; the empty text at the end.
  std::string readLine();
  bool atEnd() const { return mPosition >= mBytes.size(); }
  // The bytes from the position to the end (the position is kept).
  std::string rest() const { return atEnd() ? std::string() : mBytes.substr(mPosition); }

  const std::string& bytes() const { return mBytes; }
  std::size_t position() const { return mPosition; }

 private:
  std::string mBytes;
  std::size_t mPosition = 0;
};

// The parts of a multipart body.
class Multipart {
 public:
  // Bounds on untrusted input: more parts, or more header lines in one
  // part, fail the parse.
  static constexpr std::size_t kMaxParts = 4096;
  static constexpr std::size_t kMaxHeaderLines = 100;

  explicit Multipart(std::string boundaryLine) : mBoundaryLine(std::move(boundaryLine)) {}

  // Splits the reader's bytes from its position on. The first line must be
  // exactly the boundary line (nothing may precede it). Each part is a
  // header block ended by an empty line (the reader must not end inside
  // it) and a body that runs to the next line beginning with the boundary
  // line; the line end (CR LF, or LF) just before that line belongs to the
  // boundary, not to the body. A body that the end of the bytes cuts off is
  // kept as it stands, and bytes after the closing boundary make one more
  // part. False on a missing first boundary, an unclosed header block or a
  // bound exceeded (logged).
  bool parse(BodyReader& reader);

  std::list<PtrRef<MimeEntity>> mParts;
  std::string mBoundaryLine;  // "--" followed by the boundary
};

// One request of the FLP 1.x engine (a GET; the headers, no body).
struct HttpRequest {
  enum Type { TYPE_CONTENT = 0, TYPE_DATA_BY_IDS = 1, TYPE_DATA_BY_URL = 2 };

  MimeEntity mEntity;
  std::string mUrl;
  int mType = TYPE_CONTENT;
};

// The answer to one request.
struct HttpResponse {
  // Splits the body read from the reader's position: a Content-Type that
  // carries "boundary=" makes it multipart (the boundary is the value's
  // text after its first "="), otherwise the bytes become the entity body.
  // False when a multipart body does not parse.
  bool parseBody(BodyReader& reader);

  MimeEntity mEntity;  // headers and, unless multipart, the body
  int mStatusCode = 200;
  bool mIsMultipart = false;
  PtrRef<Multipart> mMultipart;
};

// Inflates a gzip stream (only gzip: zlib window bits 31) to its end into
// out. Fails, with one log line, when the stream does not inflate (corrupt,
// truncated, needing a dictionary) or inflates to more than maxBytes; out
// is then empty.
bool unzip(const std::string& bytes, std::string& out, std::size_t maxBytes);
