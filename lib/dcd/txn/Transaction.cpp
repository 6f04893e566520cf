#include "txn/Transaction.h"

#include <strings.h>

#include <cstdint>
#include <new>
#include <sstream>
#include <utility>

#include "platform/Log.h"
#include "syntax/BinarySyntax.h"
#include "syntax/MultipartSyntax.h"
#include "syntax/XmlSyntax.h"
#include "transport/DcdTransport.h"

namespace txn {

namespace {

// Headers as key, " : ", value, ", " per header, for log lines. The session
// id is a credential: its header shows only that it is there.
std::string formatHeaders(const DcdTransport::HeaderMap& headers) {
  std::string text;
  for (const auto& header : headers) {
    const bool secret = strcasecmp(header.first.c_str(), "QVPv2-Session-ID") == 0;
    text += header.first + " : " + (secret ? std::string("(hidden)") : header.second) + ", ";
  }
  return text;
}

bool isResponseType(const std::string& type) {
  return type == "Status" || type == "GetResponse" || type == "ContentUpdateResponse" || type == "DataResponse" ||
         type == "ServiceRegistrationResponse";
}

}  // namespace

Transaction::Transaction(Request* request, DcdTransport* transport, Session* session, TransactionListener* listener)
    : mRequest(request), mTransport(transport), mSession(session), mListener(listener) {}

Transaction::Transaction(Request* request, DcdTransport* transport, Session* session)
    : Transaction(request, transport, session, nullptr) {}

Transaction::~Transaction() = default;

void Transaction::notify(int code) {
  if (mListener != nullptr) mListener->notify(code);
}

std::unique_ptr<Response> Transaction::execute() {
  notify(TransactionListener::STARTED);
  if (mRequest == nullptr || mTransport == nullptr || mSession == nullptr) {
    QV_LOG(3, "A transaction needs a request, a transport and a session store. Aborting.");
    notify(TransactionListener::FAILED);
    return nullptr;
  }
  const int sent = send();

  const std::string fallbackCode = mSession->getAttribute(kAttrFallbackCode);
  const int status = mTransport->mStatusCode;
  if (isFallbackCode(status, fallbackCode)) {
    // The engine reads the status itself and falls back.
    QV_LOG(8, "Find transport error %d in fallback code %s", status, fallbackCode.c_str());
    return nullptr;
  }
  if (sent == DcdTransport::SEND_FAILURE || status != 200) {
    QV_LOG(3, "A transport-level error occurred.");
    if (mTransport->mResponseBody) {
      const std::size_t length = mTransport->mResponseLength > 0 ? static_cast<std::size_t>(mTransport->mResponseLength) : 0;
      QV_LOG(3, "The body of response since there is an error. (%s)",
             qvlog::payload(mTransport->mResponseBody.get(), length).c_str());
    }
    notify(TransactionListener::FAILED);
    return nullptr;
  }
  if (sent != DcdTransport::SEND_SUCCESS) return nullptr;  // not prepared, or cancelled after a 200

  std::unique_ptr<Response> response = readResponse();
  if (!response) {
    notify(TransactionListener::FAILED);
    return nullptr;
  }
  if (hasDcdError(*response)) {
    notify(TransactionListener::DCD_ERROR);
    return nullptr;
  }
  notify(TransactionListener::SUCCEEDED);
  return response;
}

void Transaction::completeRequest() {
  if (std::optional<std::string> id = mSession->nextTransactionId()) mRequest->setTransactionId(*id);
  if (std::optional<std::string> id = mSession->getCurrentSessionId()) mRequest->setSessionId(*id);
  const std::string deviceType = mSession->getAttribute(kAttrPhoneModelId) + "/" +
                                 mSession->getAttribute(kAttrPhoneSoftwareVersion) + " " + kDcdName + "/" +
                                 kDcdVersion;
  QV_LOG(8, "Determined that device-type is %s", deviceType.c_str());
  mRequest->setDeviceType(deviceType + " FLP");
  const std::string subscriber = mSession->getAttribute(kAttrSubscriberId);
  QV_LOG(8, "Determined that subscriber-id is %s", subscriber.c_str());
  mRequest->setSubscriberId(subscriber);
}

std::unique_ptr<dcd::Syntax> Transaction::makeSyntax() const {
  const std::string type = mRequest->getType();
  dcd::Syntax* syntax = nullptr;
  if (type == "DataRequestByUrl") {
    syntax = new (std::nothrow) dcd::BinarySyntax(static_cast<const DataRequestByUrl&>(*mRequest).getId());
  } else if (type == "DataRequestByIds") {
    syntax = new (std::nothrow) dcd::MultipartSyntax();
  } else {
    syntax = new (std::nothrow) dcd::XmlSyntax();
  }
  return std::unique_ptr<dcd::Syntax>(syntax);
}

int Transaction::send() {
  notify(TransactionListener::SENDING);
  // An answer of an earlier exchange on this transport must not count.
  mTransport->clearResponse();
  completeRequest();
  if (!mRequest->isValid()) {
    QV_LOG(3, "Encountered an invalid request. Aborting.");
    return SEND_NOT_PREPARED;
  }

  DcdTransport::HeaderMap headers;
  mTransport->setHeaders(headers, *mRequest, *mSession);
  mTransport->mRequestHeaders = std::move(headers);
  const std::string headerText = qvlog::payload(formatHeaders(mTransport->mRequestHeaders));
  QV_LOG(8, "Set the following headers for this request: %s", headerText.c_str());
  QV_LOG(3, "Set the following headers for this request: %s", headerText.c_str());

  std::unique_ptr<dcd::Syntax> syntax = makeSyntax();
  if (!syntax) {
    QV_LOG(3, "Unable to determine which syntax to use when converting the request to a data block.");
    return SEND_NOT_PREPARED;
  }
  std::ostringstream block;
  if (syntax->unmarshall(*mRequest, block)) {
    const std::string text = block.str();
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
      QV_LOG(3, "The request data-block of %zu bytes is too large to send. Aborting.", text.size());
      return SEND_NOT_PREPARED;
    }
    QV_LOG(8, "Sending the request as the following data-block over the air: \n\n%s", qvlog::payload(text).c_str());
    mTransport->setRequestBody(text.data(), static_cast<int32_t>(text.size()));
  } else {
    QV_LOG(3,
           "Can't unmarshall request to a data-block, using the specified syntax. Will not be setting the request "
           "body.");
    mTransport->clearRequestBody();
  }
  syntax.reset();

  // A cancel that came before the transport had anything to abort must
  // still end this exchange; one meant for an earlier exchange must not.
  bool cancelled = false;
  {
    std::lock_guard<std::mutex> guard(mCancelLock);
    cancelled = mCancelled;
    if (!cancelled) mTransport->clearCancel();
  }

  const int result = cancelled ? DcdTransport::SEND_CANCELLED : mTransport->send();
  if (result == DcdTransport::SEND_CANCELLED) {
    QV_LOG(3, "This transport has been marked cancelled while the request was being sent.");
  }
  return result;
}

std::unique_ptr<Response> Transaction::readResponse() {
  const int32_t length = mTransport->mResponseLength;
  QV_LOG(8, "Response received from the network, got status code %d and %ld bytes of data returned.",
         mTransport->mStatusCode, static_cast<long>(length));
  if (!mTransport->mResponseBody || length <= 0) {
    QV_LOG(3, "Did not obtain a response body.");
    return nullptr;
  }
  std::unique_ptr<dcd::Syntax> syntax = makeSyntax();
  if (!syntax) {
    QV_LOG(3, "Unable to determine which syntax to use when converting the request to a data block.");
    return nullptr;
  }
  const std::string headerText = formatHeaders(mTransport->mResponseHeaders);
  const std::string shown = qvlog::payload(headerText);
  QV_LOG(3, "Received the following headers in the server response: %s", shown.c_str());
  QV_LOG(8, "Received the following headers in the server response: %s", shown.c_str());

  std::unique_ptr<Primitive> primitive =
      syntax->marshall(dcd::SyntaxHeaders(mTransport->mResponseHeaders), mTransport->mResponseBody.get(), length, "UTF-8");
  if (!primitive) return nullptr;
  Response* response = isResponseType(primitive->getType()) ? dynamic_cast<Response*>(primitive.get()) : nullptr;
  if (response == nullptr) {
    QV_LOG(3, "The server answered with a %s, which is not a response. Ignoring it.", primitive->getType().c_str());
    return nullptr;
  }
  primitive.release();
  response->setDataSize(length);
  return std::unique_ptr<Response>(response);
}

bool Transaction::hasDcdError(const Response& response) {
  const std::string protocolVersion = mSession->getAttribute(kAttrProtocolVer);
  const std::string fallbackCode = mSession->getAttribute(kAttrFallbackCode);
  const Result* result = response.getResult();
  if (result == nullptr || result->getCode() == nullptr) return false;
  const int code = result->getCode()->code();
  if (code == 600 || code == 602) {
    // Session errors are delivered; the engine registers again.
    if (protocolVersion == kSessionProtocolVersion) {
      mSession->setValid(false);
    } else {
      QV_LOG(3, "[18344]Wired! Got wrong session response but protocol does not support session");
    }
    return false;
  }
  if (!isFallbackCode(code, fallbackCode) && ((code >= 400 && code <= 699) || (code >= 900 && code <= 999))) {
    QV_LOG(3, "Encountered a DCD response that has reported a DCD-level error, %d. Retrying", code);
    return true;
  }
  return false;
}

bool Transaction::isFallbackCode(int status, const std::string& fallbackCode) {
  if (fallbackCode.empty()) {
    QV_LOG(8, "The length of Fallback code is ZERO");
    return false;
  }
  if (fallbackCode.find(std::to_string(status)) == std::string::npos) {
    QV_LOG(8, "The result of find is %d", -1);
    return false;
  }
  return true;
}

bool Transaction::cancel() {
  std::lock_guard<std::mutex> guard(mCancelLock);
  mCancelled = true;
  const bool accepted = mTransport != nullptr && mTransport->cancel();
  if (accepted) {
    QV_LOG(8, "This transaction has been marked cancelled.");
  } else {
    QV_LOG(3, "Unable to cancel the currently pending transport activity.");
  }
  return accepted;
}

bool Transaction::isCancelled() {
  std::lock_guard<std::mutex> guard(mCancelLock);
  return mCancelled;
}

}  // namespace txn
