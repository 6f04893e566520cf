// The HTTP binding of the DCD transport: sends the request data block to the
// content server through the platform HTTP stack (platform/Hivra.h) with the
// FLP 2.0 request headers, follows at most one redirect per send, remembers
// permanent redirects for its lifetime, and reads the whole answer.
//
// Every exchange gets a fresh connection profile built from mProfileNames
// (each name read with CNX_ReadProfile; a profile's enabled proxy slots
// become proxy entries, a profile without proxy a direct entry), the
// time-outs (mTimeoutMinutes, in minutes) and gzip content decoding
// (mEnableGzip). A certificate problem ends the exchange with
// SEND_FAILURE: the server's identity is always verified.
//
// Threads: send, setHeaders and the fields belong to the worker thread that
// runs the exchange. cancel (and clearCancel) may be called from any thread
// at any time, also while send blocks: the blocked stack call then returns
// and send returns SEND_CANCELLED. A cancel that comes while no exchange is
// under way ends the next exchange as soon as it starts, unless clearCancel
// is called first; send forgets it when it returns. The object must not be
// destroyed while another thread may still call cancel.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Hivra.h"
#include "transport/DcdTransport.h"

// The agent and the synchronized transaction of one exchange.
class HivraSession;

class DcdHttpTransport : public DcdTransport {
 public:
  // Bytes asked of the stack per body read.
  static constexpr int kBodyPieceBytes = 2048;

  DcdHttpTransport();
  DcdHttpTransport(bool permanentRedirectEnabled, bool redirectEnabled);
  ~DcdHttpTransport() override;

  [[nodiscard]] int send() override;
  // The FLP 2.0 request headers for request: Accept-Charset, X-FL-DCD-Version,
  // Accept-Encoding (session attribute "gzip-enabled"), User-Agent,
  // X-FL-MSISDN ("is-msisdn-reported" and "subscriber-id"), and, when the
  // request has a device type, X-FL-Device-Type, the data-request headers or
  // Content-Type, and QVPv2-Session-ID.
  void setHeaders(HeaderMap& headers, const txn::Request& request, const txn::Session& session) override;
  // Aborts the pending exchange; always true.
  [[nodiscard]] bool cancel() override;
  void clearCancel() override;

  // The connection profile the next exchange uses.
  Hivra::ConnectionProfile buildConnectionProfile() const;

  // What an answer's status asks of the client.
  enum class Redirect {
    NONE,     // not a redirect (neither 301 nor 307)
    FOLLOW,   // location holds the absolute http or https URL to go to
    REFUSED,  // a redirect without a usable Location (logged)
  };
  // Judges a 301 or 307 answer to a request for url: the "Location" header
  // (any case) resolved against url, http and https only. Pure apart from
  // its log lines; the headers come from the server and are untrusted.
  static Redirect judgeRedirect(int status, const std::string& url, const HeaderMap& headers,
                                std::string& location);
  // Copies the response header fields into map (the first of repeated names
  // wins); fields with an empty name or value are skipped with a log line.
  static void copyResponseHeaders(const Hivra::Headers& fields, HeaderMap& map);

  // Requested URL to the location of its 301 answer.
  std::map<std::string, std::string> mPermanentRedirects;
  bool mPermanentRedirectEnabled = true;  // apply and record permanent redirects
  bool mRedirectEnabled = true;           // follow one redirect

 private:
  // One exchange with mUrl; the result of send. location receives the
  // target of a redirect answer (SEND_FAILURE with a location).
  [[nodiscard]] int exchange(std::string& location);
  // Builds the session for mUrl and makes it the current one (destroying
  // the previous one); false when it is not usable.
  [[nodiscard]] bool startSession(const Hivra::ConnectionProfile& profile);
  [[nodiscard]] int sendRequest(Hivra::Transaction& transaction);
  [[nodiscard]] int receiveResponse(Hivra::Transaction& transaction, std::string& location);
  [[nodiscard]] int receiveBody(Hivra::Transaction& transaction);

  // Guards mSession against cancel, and mCancelRequested. The worker thread
  // reads mSession without it (only that thread changes it).
  std::mutex mSessionLock;
  std::unique_ptr<HivraSession> mSession;
  bool mCancelRequested = false;
};
