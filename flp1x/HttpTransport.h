// The FLP 1.x transport: one HTTP GET per update through the platform HTTP
// stack (platform/Hivra.h), with the network reached through the
// connection profiles of the platform wrapper (each read with
// CNX_ReadProfile). The answer comes back as an HttpResponse: status,
// headers and body, a gzip body (by its Content-Type) inflated and a
// multipart body split into parts.
//
// The URL keeps its scheme: an https URL is spoken to over TLS, with the
// server certificate verified as the stack always does. Both the received
// body and its inflated form are bounded by the stack's body bound (setting
// QVCore.System.Http.MaxBodyBytes); past it the exchange fails.
//
// One Hivra agent serves the whole process: the first init creates it with
// that init's connection profile, and it is kept until the process ends.
//
// Threads: a transport belongs to the engine's thread, which sets its
// request, runs update and reads mResult and the response. cancel may be
// called from any other thread at any time, also while update blocks: it
// marks the result cancelled and aborts the open stack transaction, whose
// blocked call then returns; it takes a lock only for as long as update
// needs to publish or withdraw its transaction, never for the exchange. A
// transport must not be destroyed while another thread may still call
// cancel. The process-wide agent is created on the engine's thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "HttpTypes.h"
#include "platform/PtrRef.h"

class ProtocolRequest;

namespace Hivra {
class ConnectionProfile;
class Transaction;
}  // namespace Hivra

// The outcome of the last update.
enum TransportResult : int {
  TRANSPORT_OK = 0,
  TRANSPORT_FAILED = 1,
  TRANSPORT_CANCELLED = 2,
};

class Transport {
 public:
  Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  virtual ~Transport();

  // Marks the result cancelled; true. Any thread.
  virtual bool cancel();
  // Performs mRequest and returns the response, also after a failure
  // (then with whatever was received). Engine thread.
  virtual PtrRef<HttpResponse> update() = 0;

  // A TransportResult. Written by update and by cancel; read by the engine
  // after update.
  std::atomic<int> mResult{TRANSPORT_OK};
  // Set by the engine before each update.
  PtrRef<HttpRequest> mRequest;
  // The request being served, not owned; may be null. For a content request
  // the transport marks its progress on it (downloading, body received).
  ProtocolRequest* mProtocolRequest = nullptr;

 protected:
  // TRANSPORT_FAILED, unless a cancellation came first.
  void failUnlessCancelled();
};

class HttpTransport : public Transport {
 public:
  HttpTransport() = default;
  ~HttpTransport() override;

  // Sets TRANSPORT_CANCELLED and aborts the open transaction, if any; a
  // cancel that comes during update before the transaction is open aborts
  // it as soon as it opens. (update starts with TRANSPORT_OK, so a cancel
  // before update is forgotten.) Any thread; returns at once.
  bool cancel() override;
  PtrRef<HttpResponse> update() override;

  // The response of the last update (null before the first).
  const PtrRef<HttpResponse>& response() const { return mResponse; }

  // The URL the stack is asked for: scheme, host, ":", port and path of
  // rest. Without a port in rest the scheme's default applies (443 for
  // https, 80 otherwise). False, with the reason, when rest names no host
  // or a port outside 1..65535.
  static bool transactionUrl(const std::string& scheme, const std::string& rest, std::string& url,
                             std::string& reason);

  // Destroys the process-wide agent so that the next init creates one with
  // the profile then in force (tests). Call only while no transport runs.
  static void resetAgentForTesting();

 private:
  struct TransactionDeleter {
    void operator()(Hivra::Transaction* transaction) const;
  };
  using TransactionPtr = std::unique_ptr<Hivra::Transaction, TransactionDeleter>;

  bool init(const std::string& scheme, const std::string& rest);
  static void configureProfile(Hivra::ConnectionProfile& profile, const std::string& name);
  bool sendRequest();
  bool receiveBody(BodyReader& reader);
  void decodeBody(BodyReader& reader);
  void destroyTransaction();

  // Guards mTransaction between update and cancel. Only the engine's thread
  // changes it, so that thread reads it without the lock.
  std::mutex mTransactionLock;
  TransactionPtr mTransaction;
  PtrRef<HttpResponse> mResponse;
  long long mBodyBound = 0;  // of the open transaction
};

// A new transport: TRANSPORT_OK, no request, no transaction, no response.
// The caller owns it.
HttpTransport* createHttpTransport();
