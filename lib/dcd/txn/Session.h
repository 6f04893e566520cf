// The session store: per-engine facts every DCD request needs, held as
// named string attributes, plus transaction ids and, for the session
// variant, the server-assigned session id kept in a file so that it
// survives a restart of the service.
//
// Threads: a store is used from the engine's worker thread only; it takes
// no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace txn {

// Attribute names shared by the engine, the transaction and the transport.
extern const char* const kAttrSubscriberId;          // "subscriber-id"
extern const char* const kAttrGzipEnabled;           // "gzip-enabled"
extern const char* const kAttrMsisdnReported;        // "is-msisdn-reported"
extern const char* const kAttrPhoneModelId;          // "phone-model-id"
extern const char* const kAttrPhoneSoftwareVersion;  // "phone-software-version"
extern const char* const kAttrProtocolVer;           // "protocol_ver"
extern const char* const kAttrFallbackCode;          // "fallback_code"
// The "protocol_ver" value of the session variant.
extern const char* const kSessionProtocolVersion;    // "18344"

// Base store, used as is by the plain engine: attributes only, no
// transaction ids and no session.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  virtual ~Session();

  // A fresh transaction id, or none. The base gives none.
  virtual std::optional<std::string> nextTransactionId();
  // The current session id, or none. The base gives none.
  virtual std::optional<std::string> getCurrentSessionId();
  // The attribute's value; empty when it was never set.
  virtual std::string getAttribute(const std::string& name) const;
  // Stores value under name, replacing an earlier one.
  virtual void setAttribute(const std::string& name, const std::string& value);
  // Whether a session exists. The base: never.
  virtual bool isValid();
  // setValid(false) drops the session. The base does nothing.
  virtual void setValid(bool valid);

  const std::map<std::string, std::string>& getAttributes() const { return mAttributes; }

 private:
  std::map<std::string, std::string> mAttributes;
};

// Store of the session variant: transaction ids "0", "1", ... and the session
// id kept in a file holding exactly the id's bytes (empty or missing: no
// session).
//
// The file lives in a world-writable directory, so it is handled with care:
// a symbolic link, anything other than a regular file, or a file owned by
// another user at the path is treated as "no session" (with a log line) and
// is never written through; a new file is created with mode 0600, and every
// descriptor is close-on-exec.
class FileSession : public Session {
 public:
  static constexpr const char* kDefaultPath = "/tmp/qvsession";
  // Read at most this many bytes of the file as the id.
  static constexpr std::size_t kMaxSessionIdLength = 256;

  // The file is QUORVEL_SESSION_FILE when that is set and not empty,
  // otherwise kDefaultPath.
  FileSession();
  explicit FileSession(std::string path);

  std::optional<std::string> nextTransactionId() override;
  // The id in the file (its first kMaxSessionIdLength bytes); an empty
  // string when there is none.
  std::optional<std::string> getCurrentSessionId() override;
  // True when the file holds at least one byte.
  bool isValid() override;
  // false empties the file (it stays in place); true only logs.
  void setValid(bool valid) override;

  // Replaces the file's content by id.
  void writeSessionId(const std::string& id);
  // Reads up to capacity bytes into buf and NUL-terminates them (buf must
  // hold capacity + 1 bytes). The count, or -1 with a log line when buf is
  // null or the file is missing, unusable or empty.
  [[nodiscard]] int readSessionFromFile(char* buf, std::size_t capacity);

  const std::string& getPath() const { return mPath; }

 private:
  // Opens the file for writing without following a link, creating it with
  // mode 0600; truncates it. -1 when it cannot be used (logged).
  [[nodiscard]] int openForWriting();

  std::string mPath;
  uint32_t mTransactionCounter = 0;
  std::unique_ptr<std::string> mLastTransactionId;
  std::unique_ptr<std::string> mLastSessionId;
};

}  // namespace txn
