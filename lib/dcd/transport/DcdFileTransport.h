// The FILE binding of the DCD transport: answers every request from local
// files instead of a server, so the whole engine can run against canned
// answers. File names are used as they are (relative names resolve against
// the working directory):
// - a content-update request is answered with the file named by its
//   application's sync anchor ("content-update-response.xml" for an empty
//   anchor, "default.xml" when that file cannot be served);
// - a get-request with "get-response.xml";
// - a data request by ids with a multipart/mixed body of the files named by
//   the ids (ids without a file are left out);
// - a data request by URL with the file named by the URL's last path
//   segment, with its MIME type as the "Content-Type" response header.
// Only non-empty regular files of at most kMaxFileBytes are served.
//
// The multipart answer starts with its own "Content-Type" line and also
// carries that type as the "Content-Type" response header, so that the
// multipart syntax, which needs the header, can read it.
//
// Threads: one worker thread uses a transport; cancel (which has nothing to
// end) may be called from any thread.
#pragma once

#include <map>
#include <string>

#include "transport/DcdTransport.h"

namespace txn {
class ContentUpdateRequest;
}

class DcdFileTransport : public DcdTransport {
 public:
  static constexpr const char* kBoundary = "foobar123-1234";
  static constexpr const char* kDefaultMimeType = "text/plain";
  static constexpr long kMaxFileBytes = 64L * 1024 * 1024;

  DcdFileTransport();

  // SEND_SUCCESS (statusCode 200, responseBody and responseLength set) or
  // SEND_FAILURE.
  [[nodiscard]] int send() override;
  // Data requests: "X-FL-RequestType" "data", and for one by ids
  // "X-FL-Request-Id" with the ids joined by ","; every other request:
  // "Content-Type" of DCD XML.
  void setHeaders(HeaderMap& headers, const txn::Request& request, const txn::Session& session) override;
  // Nothing to end; true.
  [[nodiscard]] bool cancel() override;

  // The MIME type of a file name by its extension; kDefaultMimeType when it
  // has none or an unknown one.
  std::string mimeType(const std::string& fileName) const;

 private:
  [[nodiscard]] int sendMultipart(const std::string& idList);
  [[nodiscard]] int sendByUrl();
  [[nodiscard]] int sendDcd();
  [[nodiscard]] int sendContentUpdate(const txn::ContentUpdateRequest& request);
  // Answers with the whole file; false (logged) when it cannot be served.
  [[nodiscard]] bool respondWithFile(const std::string& name);
  void setResponse(const std::string& bytes);

  std::map<std::string, std::string> mMimeTypes;  // extension to MIME type
};
