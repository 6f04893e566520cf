// The FLP 1.x model: stores a parsed sync package (SyncPkg.h) in the
// content cache and answers what the content updater asks about it.
//
// In the cache:
//   Container "container1"  the ordered channel ids (the package's feed-meta
//                           ids)
//   Channel <feed ctxt-id>  title, summary, link, template, entry type,
//                           excerpt flag and contents of the feed; order and
//                           the attribute "flp1x:anchor" (language
//                           "_default_") from its feed-meta; the entry
//                           template id and href; its entries' ids in order
//   Item <entry ctxt-id>    the same common fields, plus issued, author,
//                           activation, expiration and order
//   asset <id>              the bytes of a template or content (saveContent)
//
// A sync replaces the container's channel list with the package's, removes
// the channels no longer listed (their items stay) and, in every stored
// feed, the items it no longer has.
//
// Threads: used only on the engine's (run-loop) thread. The cache itself is
// thread-safe; the model keeps no state of its own.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "SyncPkg.h"
#include "platform/ContentCache.h"
#include "platform/PtrRef.h"
#include "platform/Types.h"

class Flp1xPlatformWrapper;

// A missing asset, and the record of a downloaded one.
struct RequiredContent {
  std::string mId;
  std::string mHref;         // empty: fetched by id
  std::string mContentType;  // the declared type; "text/xml" for templates
  std::string mData;         // the bytes, once downloaded
};
using RequiredContentList = std::list<PtrRef<RequiredContent>>;

class IModel {
 public:
  // wrapper receives the application sync anchor of a stored package; null
  // means the process-wide one.
  explicit IModel(Flp1xPlatformWrapper* wrapper = nullptr) : mWrapper(wrapper) {}
  virtual ~IModel() = default;
  IModel(const IModel&) = delete;
  IModel& operator=(const IModel&) = delete;

  // Reconciles the cache with the package (see the file comment), all of it
  // in one content-cache batch, and then hands the package's application
  // sync anchor to the wrapper. False when the package lacks its meta data
  // or the batch cannot be committed (then nothing of it is stored and the
  // anchor is not written); single objects that cannot be stored are logged
  // and lost.
  virtual bool store(const SyncPkg& pkg);
  // Saves record.mData as asset record.mId of type record.mContentType.
  virtual bool saveContent(const RequiredContent& record) = 0;
  // The assets the stored channels and items refer to that the cache lacks:
  // those with an href (fetched by URL) and those without (fetched by id).
  // Each list holds an id at most once; contents of "csio" objects come
  // first. Both lists are replaced.
  virtual bool getRequiredContent(RequiredContentList& byIds, RequiredContentList& byUrl) = 0;
  // "id=anchor" for every listed channel that has an anchor, joined by ", ".
  virtual bool getGlobalSyncAnchor(std::string& out) = 0;
  virtual bool storeChannel(const FeedElement& feed, const MetaElement& meta) = 0;
  virtual bool storeItem(const EntryElement& entry) = 0;
  virtual bool removeChannel(const qvTypes::ID& id) = 0;
  virtual bool removeItem(const qvTypes::ID& id) = 0;
  virtual bool getChannelIDs(std::vector<qvTypes::ID>& out) = 0;
  virtual bool setChannelIDs(const std::vector<qvTypes::ID>& ids) = 0;
  virtual bool setChannelAnchor(const qvTypes::ID& id, const std::string& anchor) = 0;
  virtual bool getChannelAnchor(const qvTypes::ID& id, std::string& out) = 0;
  virtual bool getItemIDs(const qvTypes::ID& channelId, std::vector<qvTypes::ID>& out) = 0;

  // A feed with no entries, title, summary or link.
  static bool isEmptyFeed(const FeedElement& feed);
  // An entry without an id, or with none of entry type, content, title and
  // summary.
  static bool isEmptyEntry(const EntryElement& entry);

 protected:
  Flp1xPlatformWrapper* wrapper() const;

 private:
  Flp1xPlatformWrapper* mWrapper;
};

class Model : public IModel {
 public:
  static constexpr const char* kAnchorKey = "flp1x:anchor";
  static constexpr const char* kLanguage = "_default_";

  explicit Model(const qvTypes::ID& containerName, Flp1xPlatformWrapper* wrapper = nullptr);

  bool saveContent(const RequiredContent& record) override;
  bool getRequiredContent(RequiredContentList& byIds, RequiredContentList& byUrl) override;
  bool getGlobalSyncAnchor(std::string& out) override;
  bool storeChannel(const FeedElement& feed, const MetaElement& meta) override;
  bool storeItem(const EntryElement& entry) override;
  bool removeChannel(const qvTypes::ID& id) override;
  bool removeItem(const qvTypes::ID& id) override;
  bool getChannelIDs(std::vector<qvTypes::ID>& out) override;
  bool setChannelIDs(const std::vector<qvTypes::ID>& ids) override;
  bool setChannelAnchor(const qvTypes::ID& id, const std::string& anchor) override;
  bool getChannelAnchor(const qvTypes::ID& id, std::string& out) override;
  bool getItemIDs(const qvTypes::ID& channelId, std::vector<qvTypes::ID>& out) override;

  // The conversions, for the store operations and tests.
  static bool toChannel(const FeedElement& feed, Channel& channel);
  static bool toItem(const EntryElement& entry, Item& item);

 private:
  qvTypes::ID mContainerName;
};

// The process-wide access to the model: a Model of "container1" made on
// first use, or the one set with setModel.
class ModelFacade {
 public:
  static bool store(const SyncPkg& pkg);
  static bool saveContent(const RequiredContent& record);
  static bool getRequiredContent(RequiredContentList& byIds, RequiredContentList& byUrl);
  static bool getGlobalSyncAnchor(std::string& out);

  // Replaces the model (null: none, every call then fails with its log
  // line). Call only while no request runs.
  static void setModel(std::unique_ptr<IModel> model);
  // Back to the default Model, made on next use.
  static void resetForTesting();

 private:
  static IModel* model();
};
