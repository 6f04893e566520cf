// The vocabulary shared by the service application and the protocol engines:
// topics, requests, responses, pushed messages and the engine interface.
//
// Threads: a ProtocolRequest is handled on the run-loop (main) thread; its
// state is also written by the event thread through cancelRequest, which is
// why the state alone is guarded by a mutex. setType/setStatus publish on the
// calling thread. sendTtlUpdate may be called from any thread.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <utility>

// The protocol topics. Subscribed: update, message, retry, cancel, shutdown.
// Published: startup, reportstatus, response, ttlupdate.
extern const char* const PROTOCOL_TOPIC_UPDATE;
extern const char* const PROTOCOL_TOPIC_MESSAGE;
extern const char* const PROTOCOL_TOPIC_RETRY;
extern const char* const PROTOCOL_TOPIC_CANCEL;
extern const char* const PROTOCOL_TOPIC_SHUTDOWN;
extern const char* const PROTOCOL_TOPIC_STARTUP;
extern const char* const PROTOCOL_TOPIC_REPORTSTATUS;
extern const char* const PROTOCOL_TOPIC_RESPONSE;
extern const char* const PROTOCOL_TOPIC_TTLUPDATE;

// Event property names.
extern const char* const PROPERTY_PROTOCOL_VERSION;  // "protocolversion"
extern const char* const PROPERTY_TRIGGER;           // "trigger"
extern const char* const PROPERTY_TYPE;              // "type"
extern const char* const PROPERTY_STATUS;            // "status"
extern const char* const PROPERTY_CONTENT_TYPE;      // "content-type"
// Trigger and type text of the response to a pushed message.
extern const char* const PUSH_MESSAGE_TEXT;          // "push_message"

enum Result : int32_t { SUCCESS = 0, FAILED = 1, CANCELLED = 2, WRONG_VERSION = 3 };

// Request state values the framework fixes; the engines use the others.
constexpr int REQUEST_NEW = 0;
constexpr int REQUEST_CANCELLED = 9;

class ProtocolRequest;

// Told of every status or type change of a request it watches, on the
// thread that made the change, after the reportstatus event.
class RequestObserver {
 public:
  virtual ~RequestObserver() = default;
  virtual void onRequestStatus(const ProtocolRequest& request) = 0;
};

class ProtocolRequest {
 public:
  enum Trigger : int32_t {
    MANUAL = 0,
    SIM = 1,
    MASTER_RESET = 2,
    MASTER_CLEAR = 3,
    TTL = 4,
    SERVER = 5,
    SERVER_PUSH = 6,
  };
  enum RequestType : int32_t { CONTENT = 0, DATA = 1 };
  enum DownloadStatus : int32_t { CONNECTING = 0, DOWNLOADING = 1, COMPLETE = 2 };

  using Parameters = std::list<std::pair<std::string, std::string>>;

  explicit ProtocolRequest(Trigger t);
  ProtocolRequest(Trigger t, const Parameters& params);
  virtual ~ProtocolRequest();
  ProtocolRequest(const ProtocolRequest&) = delete;
  ProtocolRequest& operator=(const ProtocolRequest&) = delete;

  Trigger getTrigger() const { return mTrigger; }
  const Parameters& getParameters() const { return mParameters; }

  int getState();
  void setState(int state);
  // Marks the request cancelled (any thread).
  void cancelRequest();

  // Store the value, then publish a reportstatus event.
  void setStatus(DownloadStatus status);
  void setType(RequestType type);
  RequestType getType() const { return mType; }
  DownloadStatus getStatus() const { return mStatus; }

  std::string statusString() const;
  std::string typeString() const;

  // The protocol version the request is for; its status events carry it as
  // "protocolversion" (left out while empty). Set before the request is
  // handed over or its type is set.
  void setProtocolVersion(const std::string& version) { mProtocolVersion = version; }
  const std::string& getProtocolVersion() const { return mProtocolVersion; }
  // The observer (not owned; null: none) is set by the thread that handles
  // the request, before the engine sees it.
  void setObserver(RequestObserver* observer) { mObserver = observer; }

  static Trigger triggerFromString(const std::string& text);
  static std::string triggerToString(Trigger trigger);

 private:
  void sendStatusEvent();

  Trigger mTrigger;
  Parameters mParameters;
  int mState;
  std::mutex mStateMutex;  // guards mState only
  RequestType mType;
  DownloadStatus mStatus;
  std::string mProtocolVersion;
  RequestObserver* mObserver = nullptr;
};

struct ProtocolResponse {
  int mCode = SUCCESS;
  std::list<std::string> mStrings;
};

class PushMessage {
 public:
  PushMessage(const std::string& contentType, const std::string& charset, const std::string& body)
      : mContentType(contentType), mCharset(charset), mBody(body), mPayload(body) {}
  // payload: every byte received, for an engine that reads binary bodies.
  PushMessage(const std::string& contentType, const std::string& charset, const std::string& body,
              const std::string& payload)
      : mContentType(contentType), mCharset(charset), mBody(body), mPayload(payload) {}

  const std::string& getContentType() const { return mContentType; }
  const std::string& getCharset() const { return mCharset; }
  // The body as text: the payload up to its first NUL byte.
  const std::string& getBody() const { return mBody; }
  // The payload as received, NUL bytes included.
  const std::string& getPayload() const { return mPayload; }
  // The protocol version the message was pushed for; a request an engine
  // makes from the message takes it over.
  void setProtocolVersion(const std::string& version) { mProtocolVersion = version; }
  const std::string& getProtocolVersion() const { return mProtocolVersion; }

 private:
  std::string mContentType;
  std::string mCharset;
  std::string mBody;
  std::string mPayload;
  std::string mProtocolVersion;
};

// A protocol engine. handleRequest and handleMessage run on the run-loop
// thread; cancel is called from the event thread while one of them runs.
// The request and the message are borrowed for the call: the caller owns
// them and frees them after the call returns, so an engine keeps no pointer
// to either beyond it.
class Protocol {
 public:
  explicit Protocol(int runState) : mRunState(runState) {}
  virtual ProtocolResponse handleRequest(ProtocolRequest* request) = 0;
  virtual bool handleMessage(PushMessage* message) = 0;
  virtual ~Protocol() = default;
  // True when cancellation was started or nothing was pending.
  virtual bool cancel() = 0;

 protected:
  int mRunState;
};

// Publishes the ttlupdate event with the given interval as its value.
void sendTtlUpdate(int ttl);
// Called with every ttl that sendTtlUpdate announces, after the event, on
// the announcing thread; null: none. Any thread.
void setTtlObserver(void (*observer)(void* context, int ttl), void* context);

// A copy of text with every CR and every LF replaced by one blank.
std::string replaceLineBreaks(const std::string& text);
