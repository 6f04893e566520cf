// The platform's MIME parser: one entity (headers and body) read from
// memory; a multipart entity holds its parts as child entities.
//
// What it reads:
// - header lines end with CRLF or a bare LF; continuation lines (starting
//   with a blank or a tab) are joined to the previous header. The header
//   section ends at an empty line, or at the first line that is not a header
//   field (no "name:" at its start, or a line starting with "--"), which is
//   then the first line of the body;
// - a multipart entity ("multipart/..." content type) needs a boundary
//   parameter, quoted or not (at most kMaxBoundaryLength bytes). Its body is
//   split at delimiter lines ("--" boundary, optional blanks, line end);
//   the preamble before the first delimiter and the epilogue after the close
//   delimiter ("--" boundary "--") are ignored. The line end before a
//   delimiter belongs to the delimiter. Nested multiparts are parsed up to
//   kMaxDepth levels; one that does not parse stays a leaf with its raw body;
// - part bodies are delivered as they stand, byte for byte (NUL bytes
//   included); no transfer decoding is applied.
//
// Limits: at most kMaxHeaderBytes of header text and kMaxHeaders headers
// per entity, at most kMaxParts parts per multipart. The parser only reads
// inside the buffer it was given. It keeps its own copy of the bytes.
//
// Threads: an Entity and its children are used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace multipart {

// Results of parse() and readBodyStream().
constexpr int kOk = 0;
constexpr int kErrNoData = 1;             // null or empty input
constexpr int kErrHeaderTooLarge = 2;     // header section over the limits
constexpr int kErrNoBoundary = 3;         // multipart without a usable boundary
constexpr int kErrBoundaryNotFound = 4;   // no delimiter line in the body
constexpr int kErrTooManyParts = 5;
constexpr int kErrUnterminated = 6;       // part not closed by a delimiter
constexpr int kErrBadArgument = 7;        // readBodyStream without buffer
constexpr int kErrNotParsed = 8;          // parse() not called or failed
constexpr int kEndOfBody = 9;             // readBodyStream: no more data

class Entity {
 public:
  static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr std::size_t kMaxHeaders = 128;
  static constexpr std::size_t kMaxParts = 4096;
  static constexpr std::size_t kMaxBoundaryLength = 200;
  static constexpr int kMaxDepth = 8;

  // Copies length bytes from data.
  Entity(const char* data, std::size_t length);
  ~Entity();
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  // Parses headers and, for a multipart, the parts. kOk or an error code.
  // A part that is not closed by a delimiter still counts as a part; reading
  // its body gives kErrUnterminated.
  int parse();

  int getChildCount() const;
  // Parts in body order; owned by this entity. Null when there is none.
  Entity* getFirstChild() const;
  Entity* getNextSibling() const;

  // The first header with this name (compared ignoring case), trimmed, as a
  // malloc'd string the caller releases with free; null when absent.
  char* getHeader(const char* name) const;
  // The media type of the Content-Type header ("type/subtype", without its
  // parameters), malloc'd as getHeader; null when there is no such header.
  char* getContentType() const;

  // Copies the next at most size bytes of the body into buffer and sets
  // *count: 0 while data is delivered, kEndOfBody (count 0) once the body is
  // exhausted, another code on error.
  int readBodyStream(char* buffer, std::size_t size, std::size_t* count);

 private:
  Entity(std::shared_ptr<const std::string> data, std::size_t begin, std::size_t end, Entity* parent,
         std::size_t index, int depth);
  int parseRange();
  int parseHeaders(std::size_t& bodyBegin);
  int parseParts(const std::string& boundary);
  const std::string* findHeader(const char* name) const;

  std::shared_ptr<const std::string> mData;
  std::size_t mBegin;
  std::size_t mEnd;
  Entity* mParent = nullptr;
  std::size_t mIndex = 0;
  int mDepth = 0;
  bool mParsed = false;
  int mPartError = kOk;  // reported by readBodyStream
  std::vector<std::pair<std::string, std::string>> mHeaders;
  std::size_t mBodyBegin = 0;
  std::size_t mBodyEnd = 0;
  std::size_t mReadPos = 0;
  std::vector<std::unique_ptr<Entity>> mChildren;
};

}  // namespace multipart
