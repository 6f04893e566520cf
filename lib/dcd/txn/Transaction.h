// One request/response exchange with the content server: completes the
// request from the session store, picks the syntax, lets the transport build
// the headers and send the body, judges the outcome (transport errors,
// configured fallback status codes, DCD-level error results, session errors)
// and turns the answer body into a response primitive. Progress goes to an
// optional listener; another thread may cancel the exchange.
//
// Threads: execute runs on the engine's worker thread, once per transaction.
// cancel and isCancelled may be called from any thread while the transaction
// exists; cancel reaches the transport's cancel, which ends a blocked send.
// The listener is called on the thread that runs execute.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "txn/Primitives.h"
#include "txn/Session.h"

class DcdTransport;
namespace dcd {
class Syntax;
}  // namespace dcd

// Receives the progress codes of a transaction.
class TransactionListener {
 public:
  static constexpr int STARTED = 0;    // execute starts
  static constexpr int FAILED = 2;     // transport error, HTTP status other than 200, or no usable response
  static constexpr int DCD_ERROR = 3;  // the server answered with a DCD-level error result; retry
  static constexpr int SUCCEEDED = 4;  // execute returns the response
  static constexpr int SENDING = 5;    // the request is about to be prepared and sent

  virtual ~TransactionListener() = default;
  virtual void notify(int code) = 0;
};

namespace txn {

class Transaction {
 public:
  // The send result for a request that could not be prepared (the
  // transport's own results are DcdTransport::SEND_*).
  static constexpr int SEND_NOT_PREPARED = 1;

  // None of the pointers is owned; listener may be null. request, transport
  // and session must outlive the transaction.
  Transaction(Request* request, DcdTransport* transport, Session* session, TransactionListener* listener);
  Transaction(Request* request, DcdTransport* transport, Session* session);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Runs the exchange. The response (owned by the caller), or null: after a
  // failure, a DCD-level error, a status listed in the session's
  // "fallback_code" (the caller reads the transport's status itself) or a
  // cancellation.
  [[nodiscard]] std::unique_ptr<Response> execute();
  // Marks the transaction cancelled and cancels the transport's pending
  // activity; whether the transport accepted it. Any thread.
  [[nodiscard]] bool cancel();
  bool isCancelled();

  // Whether status, written in decimal, occurs in fallbackCode (the codes
  // written one after another, each followed by a blank).
  static bool isFallbackCode(int status, const std::string& fallbackCode);

 private:
  void notify(int code);
  [[nodiscard]] int send();
  // The syntax for the request's type: binary for a data request by URL,
  // multipart for one by ids, XML for everything else. Null when out of
  // memory.
  std::unique_ptr<dcd::Syntax> makeSyntax() const;
  [[nodiscard]] std::unique_ptr<Response> readResponse();
  // True when response carries a DCD-level error (the caller should retry).
  bool hasDcdError(const Response& response);
  void completeRequest();

  Request* mRequest;
  DcdTransport* mTransport;
  Session* mSession;
  TransactionListener* mListener;

  // Guards mCancelled and the transport's cancel state between the worker
  // (send) and a cancelling thread.
  std::mutex mCancelLock;
  bool mCancelled = false;
};

}  // namespace txn
