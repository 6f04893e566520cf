// DCD primitives: the typed request and response messages exchanged with
// the content server, with their validity rules and their text printouts
// (the printouts are for log lines only).
//
// Conventions shared by every class:
// - An optional scalar field (string or integer) is an owned heap value;
//   get...() returns null when it is absent, set...() replaces (and frees)
//   the previous value, clear...() makes it absent again. Strings are byte
//   strings (UTF-8 as received).
// - Child primitives, single or in lists, are owned by their parent; setters
//   and add...() take ownership. Lists keep document order.
// - Enumeration fields point to the static values of txn/Enums.h.
// - Every primitive may carry an ext-block: the verbatim XML text of an
//   ext-block element found among its children.
//
// Threads: primitives are plain data. One primitive (with its children) is
// used by one thread at a time; none of them takes a lock.
#pragma once

#include <cstdint>
#include <cstddef>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "txn/Enums.h"

namespace txn {

// Library-wide constants.
extern const char* const kApplicationUrn;   // "x-oma-kestrova:quorvel.ua"
extern const char* const kApplicationName;  // "NewsReader"
extern const char* const kDcdVersion;       // "0.8"
extern const char* const kDcdName;          // "DCD"
extern const char* const kDcdMimeType;      // "application/vnd.kestrova.quorvel+xml"

// Optional owned fields. Each macro adds get/set/clear for one field.
#define QV_TXN_STRING(Name, member)                                    \
 public:                                                               \
  const std::string* get##Name() const { return member.get(); }        \
  void set##Name(const std::string& value) { member.reset(new std::string(value)); } \
  void clear##Name() { member.reset(); }                               \
                                                                       \
 private:                                                              \
  std::unique_ptr<std::string> member;

#define QV_TXN_INT(Name, member)                                       \
 public:                                                               \
  const int32_t* get##Name() const { return member.get(); }            \
  void set##Name(int32_t value) { member.reset(new int32_t(value)); }  \
  void clear##Name() { member.reset(); }                               \
                                                                       \
 private:                                                              \
  std::unique_ptr<int32_t> member;

#define QV_TXN_ENUM(Type, Name, member)                                \
 public:                                                               \
  const Type* get##Name() const { return member; }                     \
  void set##Name(const Type* value) { member = value; }                \
                                                                       \
 private:                                                              \
  const Type* member = nullptr;

#define QV_TXN_CHILD(Type, Name, member)                               \
 public:                                                               \
  const Type* get##Name() const { return member.get(); }               \
  Type* get##Name() { return member.get(); }                           \
  void set##Name(std::unique_ptr<Type> value) { member = std::move(value); } \
                                                                       \
 private:                                                              \
  std::unique_ptr<Type> member;

#define QV_TXN_LIST(Type, Plural, Singular, member)                    \
 public:                                                               \
  const std::vector<std::unique_ptr<Type>>& get##Plural() const { return member; } \
  void add##Singular(std::unique_ptr<Type> value) {                    \
    if (value) member.push_back(std::move(value));                     \
  }                                                                    \
                                                                       \
 private:                                                              \
  std::vector<std::unique_ptr<Type>> member;

// Holder of one ext-block's text. Built from a byte range: a non-empty range
// is copied, an empty one leaves the holder empty (and logs an error).
class ExtBlock {
 public:
  ExtBlock(const char* bytes, std::size_t length);
  bool empty() const { return !mText; }
  // The text, or null when empty.
  const std::string* getText() const { return mText.get(); }

 private:
  std::unique_ptr<std::string> mText;
};

// One asset of a data response. Owns a private copy of the bytes.
class DataBlock {
 public:
  DataBlock(const void* bytes, uint32_t length, std::string contentId, std::string contentType);
  DataBlock(const DataBlock&) = delete;
  DataBlock& operator=(const DataBlock&) = delete;

  uint32_t getLength() const { return mLength; }
  const uint8_t* getBytes() const { return mBytes.get(); }  // null when length is 0
  const std::string& getContentId() const { return mContentId; }
  const std::string& getContentType() const { return mContentType; }

 private:
  uint32_t mLength;
  std::unique_ptr<uint8_t[]> mBytes;
  std::string mContentId;
  std::string mContentType;
};

class Primitive {
 public:
  Primitive() = default;
  Primitive(const Primitive&) = delete;
  Primitive& operator=(const Primitive&) = delete;
  virtual ~Primitive();

  virtual bool isValid() const { return true; }
  // Writes the printout. Each call adds one space to its copy of indent, so
  // every nesting level is indented one space deeper. An invalid primitive
  // writes nothing and logs its invalid-primitive line.
  virtual void print(std::ostream& out, std::string indent) const = 0;
  // The class's type name ("ContentUpdateRequest", ...); the syntaxes choose
  // their converter by it.
  virtual std::string getType() const;
  // print() with an empty indent, as a string.
  std::string toString() const;

  // The ext-block, or null. Setting an empty holder leaves none.
  const ExtBlock* getExtBlock() const { return mExtBlock.get(); }
  void setExtBlock(std::unique_ptr<ExtBlock> block);

 private:
  std::unique_ptr<ExtBlock> mExtBlock;
};

// --- Parts ----------------------------------------------------------------

class ClientId : public Primitive {
 public:
  bool isValid() const override;  // subscriberId and deviceId are set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(SubscriberId, mSubscriberId)
  QV_TXN_STRING(DeviceId, mDeviceId)
};

// Ordered map of properties plus nested sets. Used for the "property-set"
// and "meta-data" elements alike.
class PropertySet : public Primitive {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  const std::map<std::string, std::string>& getProperties() const { return mProperties; }
  // The value of key, or null.
  const std::string* getProperty(const std::string& key) const;
  // Stores value under key, replacing an earlier value.
  void setProperty(const std::string& key, const std::string& value) { mProperties[key] = value; }

  QV_TXN_LIST(PropertySet, PropertySets, PropertySet, mPropertySets)

 private:
  std::map<std::string, std::string> mProperties;
};

class UpdateSchedule : public Primitive {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  const std::vector<std::string>& getTimes() const { return mTimes; }
  void addTime(const std::string& time) { mTimes.push_back(time); }

 private:
  std::vector<std::string> mTimes;
};

// Exactly one of: lifetime alone, or activation and/or expiration.
class Lifespan : public Primitive {
 public:
  bool isValid() const override;
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(Activation, mActivation)
  QV_TXN_STRING(Expiration, mExpiration)
  QV_TXN_INT(Lifetime, mLifetime)
};

// Fields shared by contents and content sets.
class AbstractContent : public Primitive {
 public:
  std::string getType() const override;

 protected:
  // "[incomplete printout] id", name and syncAnchor lines at exactly this
  // indent, then the lifespan (one level deeper).
  void printAbstractPart(std::ostream& out, const std::string& indent) const;

  QV_TXN_STRING(Id, mId)
  QV_TXN_STRING(Name, mName)
  QV_TXN_STRING(SyncAnchor, mSyncAnchor)
  QV_TXN_INT(Priority, mPriority)
  QV_TXN_CHILD(Lifespan, Lifespan, mLifespan)
  QV_TXN_INT(DisplayTimer, mDisplayTimer)
  QV_TXN_STRING(Container, mContainer)
  QV_TXN_CHILD(PropertySet, MetaData, mMetaData)
  QV_TXN_STRING(Href, mHref)
  QV_TXN_STRING(ConnectionProfile, mConnectionProfile)
};

class Content : public AbstractContent {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(ContentId, mContentId)
  QV_TXN_STRING(ContentType, mContentType)
  QV_TXN_STRING(ContentValue, mContentValue)  // the element's text
};

class ContentSet : public AbstractContent {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(BundleId, mBundleId)
  QV_TXN_ENUM(AbsentMode, AbsentMode, mAbsentMode)
  QV_TXN_INT(Order, mOrder)
  QV_TXN_INT(UpdateTtl, mUpdateTtl)
  QV_TXN_CHILD(UpdateSchedule, UpdateSchedule, mUpdateSchedule)
  QV_TXN_LIST(ContentSet, ContentSets, ContentSet, mContentSets)
  QV_TXN_LIST(Content, Contents, Content, mContents)
};

class Application : public Primitive {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(Id, mId)
  QV_TXN_STRING(Name, mName)
  QV_TXN_STRING(SyncAnchor, mSyncAnchor)
  QV_TXN_ENUM(AbsentMode, AbsentMode, mAbsentMode)
  QV_TXN_INT(UpdateTtl, mUpdateTtl)
  QV_TXN_CHILD(PropertySet, MetaData, mMetaData)
  QV_TXN_LIST(ContentSet, ContentSets, ContentSet, mContentSets)
  QV_TXN_LIST(Content, Contents, Content, mContents)
};

class Detail : public Primitive {
 public:
  bool isValid() const override;  // code is set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_ENUM(StatusCode, Code, mCode)
  QV_TXN_STRING(Id, mId)
  QV_TXN_STRING(Description, mDescription)
  QV_TXN_CHILD(PropertySet, PropertySet, mPropertySet)
};

class Details : public Primitive {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_LIST(Detail, Details, Detail, mDetails)
};

class Notify : public Primitive {
 public:
  bool isValid() const override;  // action is set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(ClientToken, mClientToken)
  QV_TXN_STRING(Href, mHref)
  QV_TXN_STRING(ConnectionProfile, mConnectionProfile)
  QV_TXN_ENUM(NotifyAction, Action, mAction)
  QV_TXN_LIST(ContentSet, ContentSets, ContentSet, mContentSets)
  QV_TXN_LIST(Content, Contents, Content, mContents)
  QV_TXN_CHILD(Details, Details, mDetails)
};

class Result : public Primitive {
 public:
  bool isValid() const override;  // code is set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_ENUM(StatusCode, Code, mCode)
  QV_TXN_STRING(Description, mDescription)
  QV_TXN_CHILD(Details, Details, mDetails)
};

// --- Requests -------------------------------------------------------------

class Request : public Primitive {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

 protected:
  // The request fields, one line each, at exactly this indent.
  void printRequestPart(std::ostream& out, const std::string& indent) const;

  QV_TXN_STRING(TransactionId, mTransactionId)
  QV_TXN_STRING(SessionId, mSessionId)
  QV_TXN_STRING(DeviceType, mDeviceType)
  QV_TXN_STRING(SubscriberId, mSubscriberId)
};

class GetRequest : public Request {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;
};

class ContentUpdateRequest : public Request {
 public:
  bool isValid() const override;  // trigger and expected are set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_ENUM(RequestTrigger, Trigger, mTrigger)
  QV_TXN_ENUM(ExpectedContent, Expected, mExpected)
  QV_TXN_CHILD(Application, Application, mApplication)
};

// Common base of the asset requests; never sent itself.
class DataRequest : public Request {
 public:
  std::string getType() const override;
};

class DataRequestByIds : public DataRequest {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  const std::set<std::string>& getIds() const { return mIds; }
  void addId(const std::string& id) { mIds.insert(id); }
  void setIds(std::set<std::string> ids) { mIds = std::move(ids); }

 private:
  std::set<std::string> mIds;
};

class DataRequestByUrl : public DataRequest {
 public:
  DataRequestByUrl() = default;
  DataRequestByUrl(std::string id, std::string url) : mId(std::move(id)), mUrl(std::move(url)) {}
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  const std::string& getId() const { return mId; }
  void setId(const std::string& id) { mId = id; }
  const std::string& getUrl() const { return mUrl; }
  void setUrl(const std::string& url) { mUrl = url; }

 private:
  std::string mId;
  std::string mUrl;
};

class ServiceRegistrationRequest : public Request {
 public:
  // clientMsisdn, applicationId, isContentEncrypted and clientId are set.
  bool isValid() const override;
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_CHILD(ClientId, ClientId, mClientId)
  QV_TXN_STRING(ClientMsisdn, mClientMsisdn)
  QV_TXN_STRING(ApplicationId, mApplicationId)
  QV_TXN_STRING(ClientToken, mClientToken)

 public:
  const std::set<std::string>& getSupportedAuthenticationMethods() const { return mMethods; }
  void addSupportedAuthenticationMethod(const std::string& method) { mMethods.insert(method); }
  // Null when absent.
  const bool* getIsContentEncrypted() const { return mIsContentEncrypted.get(); }
  void setIsContentEncrypted(bool value) { mIsContentEncrypted.reset(new bool(value)); }
  void clearIsContentEncrypted() { mIsContentEncrypted.reset(); }

 private:
  std::set<std::string> mMethods;
  std::unique_ptr<bool> mIsContentEncrypted;
};

// --- Responses ------------------------------------------------------------

class Response : public Primitive {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  // Length in bytes of the body the response was read from (set by the
  // transaction; 0 until then).
  int32_t getDataSize() const { return mDataSize; }
  void setDataSize(int32_t size) { mDataSize = size; }

 protected:
  // "transaction-id" and "session-id" lines at exactly this indent.
  void printResponsePart(std::ostream& out, const std::string& indent) const;

  QV_TXN_STRING(TransactionId, mTransactionId)
  QV_TXN_STRING(SessionId, mSessionId)
  QV_TXN_CHILD(Result, Result, mResult)

 private:
  int32_t mDataSize = 0;
};

class Status : public Response {
 public:
  bool isValid() const override;  // result is set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;
};

class ContentUpdateResponse : public Response {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_CHILD(Application, Application, mApplication)
};

class GetResponse : public Response {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_CHILD(Details, SystemMessages, mSystemMessages)
};

class ServiceRegistrationResponse : public Response {
 public:
  bool isValid() const override;  // result is set
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_STRING(EncryptedUserKey, mEncryptedUserKey)
  QV_TXN_INT(SessionTtl, mSessionTtl)  // seconds
};

class DataResponse : public Response {
 public:
  void print(std::ostream& out, std::string indent) const override;
  std::string getType() const override;

  QV_TXN_LIST(DataBlock, Blocks, Block, mBlocks)
};

#undef QV_TXN_STRING
#undef QV_TXN_INT
#undef QV_TXN_ENUM
#undef QV_TXN_CHILD
#undef QV_TXN_LIST

}  // namespace txn
