// Closed enumerations of the DCD transaction library.
//
// Every value is a static object created during static initialisation; a
// string-valued value carries its wire string (name()), a status code its
// integer (code()). Each enumeration keeps a registry from wire string (or
// integer) to value, filled by the value constructors and never changed
// afterwards. Values are compared by identity: fields of primitives hold a
// pointer to one of the static values and never free it.
//
// Threads: after static initialisation everything here is read-only and may
// be used from any thread.
#pragma once

#include <map>
#include <string>

namespace txn {

// Base of the string-valued enumerations: holds the wire string.
class StringEnum {
 public:
  StringEnum(const StringEnum&) = delete;
  StringEnum& operator=(const StringEnum&) = delete;
  const std::string& name() const { return mName; }

 protected:
  explicit StringEnum(const char* name) : mName(name) {}
  ~StringEnum() = default;

 private:
  std::string mName;
};

// The trigger of a content-update request.
class RequestTrigger : public StringEnum {
 public:
  static const RequestTrigger TTL;  // "ttl"
  static const RequestTrigger MAN;  // "man"
  static const RequestTrigger SVR;  // "svr"
  static const RequestTrigger SIM;  // "sim"
  static const RequestTrigger MC;   // "mc"
  static const RequestTrigger MR;   // "mr"
  // The value with this wire string (case-sensitive), or null after an
  // error line.
  static const RequestTrigger* fromString(const std::string& name);

 private:
  explicit RequestTrigger(const char* name);
};

// What a content-update request expects back.
class ExpectedContent : public StringEnum {
 public:
  static const ExpectedContent COMPLETE;  // "complete"
  static const ExpectedContent PARTIAL;   // "partial"
  static const ExpectedContent DATA;      // "data"
  static const ExpectedContent ID;        // "id"
  static const ExpectedContent* fromString(const std::string& name);

 private:
  explicit ExpectedContent(const char* name);
};

// The action of a server notification.
class NotifyAction : public StringEnum {
 public:
  static const NotifyAction SYSTEM;                 // "system"
  static const NotifyAction CONTENT_UPDATE;         // "contentupdate"
  static const NotifyAction USAGE_TRACKING_REPORT;  // "usagetrackingreport"
  static const NotifyAction* fromString(const std::string& name);

 private:
  explicit NotifyAction(const char* name);
};

// What to do with stored content the server no longer sends.
class AbsentMode : public StringEnum {
 public:
  static const AbsentMode REMOVE;  // "remove"
  static const AbsentMode IGNORE;  // "ignore"
  static const AbsentMode* fromString(const std::string& name);

 private:
  explicit AbsentMode(const char* name);
};

// The recognised authentication-method strings (a service-registration
// request keeps its methods as plain strings).
class AuthenticationMethod : public StringEnum {
 public:
  static const AuthenticationMethod NONE;   // "NONE"
  static const AuthenticationMethod PWD;    // "PWD"
  static const AuthenticationMethod BASIC;  // "BASIC"
  static const AuthenticationMethod SHA_0;  // "SHA_0"
  static const AuthenticationMethod SHA_1;  // "SHA_1"
  static const AuthenticationMethod SHA_2;  // "SHA_2"
  static const AuthenticationMethod MD5;    // "MD5"
  static const AuthenticationMethod* fromString(const std::string& name);

 private:
  explicit AuthenticationMethod(const char* name);
};

// A DCD status code. The recognised codes are 100-102, 200, 201, 203,
// 400-423, 500-511, 520, 600-604 and 900-904.
class StatusCode {
 public:
  StatusCode(const StatusCode&) = delete;
  StatusCode& operator=(const StatusCode&) = delete;

  int code() const { return mCode; }
  // DCD-level error codes: 400 to 699 and 900 to 999.
  bool isError() const;
  // The value of this code, or null after an error line.
  static const StatusCode* fromCode(int code);

 private:
  friend struct StatusCodeTable;
  explicit StatusCode(int code);
  int mCode;
};

}  // namespace txn
