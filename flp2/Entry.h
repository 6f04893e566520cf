// Marshalling of DCD content sets into the platform's news objects: a
// "feed" content set becomes a Channel (Feed), its "item" children Items
// (ItemEntry), its "excerpt" children excerpt media. A Feed decides which
// items are new, which stay and which go, and stores the result in the
// content cache.
//
// Threads: an entry is built, marshalled and saved on one thread (the
// engine's run loop); the content set it reads is borrowed and must outlive
// it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ContentCache.h"
#include "txn/Primitives.h"

namespace flp2 {

enum MarshalResult { MARSHAL_FAILED = -1, MARSHAL_DONE = 0, MARSHAL_UNCHANGED = 1 };

// The direct contents of a content set by name (a later content of the same
// name replaces an earlier one; contents without a name are left out).
using ContentMap = std::map<std::string, const txn::Content*>;

class Entry {
 public:
  virtual ~Entry();
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  // MARSHAL_FAILED, MARSHAL_DONE or (channels only) MARSHAL_UNCHANGED.
  virtual int marshal(bool isNew) = 0;
  // Stores the news object in the content cache; true on success.
  virtual bool Save();

  bool isValid() const { return mValid; }
  // The object being built; null when construction found the content set
  // unusable.
  const NewsObject* getNewsObject() const { return mNewsObject.get(); }
  // The news object's id (empty without one).
  qvTypes::ID getId() const;

 protected:
  explicit Entry(const txn::ContentSet* contentSet);

  ContentMap buildContentMap() const;
  // The attributes channels and items share; false (after a log line) when
  // one of them is unusable.
  bool marshalCommonAttributes(const ContentMap& contents, long now);
  bool applyLifespan(const txn::Lifespan& lifespan, long now);

  std::unique_ptr<NewsObject> mNewsObject;
  bool mValid = true;
  const txn::ContentSet* mContentSet;
};

// Adds the excerpt content set to the object's excerpt map; false (after a
// log line) when the set is not an excerpt.
bool marshalExcerpt(const txn::ContentSet& excerpt, NewsObject& object);

class ItemEntry : public Entry {
 public:
  // The item starts with the channel's dates, layout and template.
  ItemEntry(const txn::ContentSet* contentSet, const Channel& channel);
  int marshal(bool isNew) override;

  Item& item() { return static_cast<Item&>(*mNewsObject); }
};

class Feed : public Entry {
 public:
  // containerId is the device's container: a content set naming another
  // one is still marshalled (with a log line).
  Feed(const txn::ContentSet* contentSet, const qvTypes::ID& containerId);
  ~Feed() override;

  // isNew: the channel id was not in the container before this update.
  int marshal(bool isNew) override;
  // Stores the brand-new items, then the channel.
  bool Save() override;

  // With deferral on, marshal leaves the items the channel drops in the
  // cache and only lists them (getDroppedItems), so that the caller can
  // keep an item another channel of the same answer lists.
  void setDeferItemRemoval(bool defer) { mDeferItemRemoval = defer; }
  const std::vector<qvTypes::ID>& getDroppedItems() const { return mDroppedItems; }

  qvTypes::ID getChannelId() const { return getId(); }
  const std::vector<std::unique_ptr<ItemEntry>>& getNewItems() const { return mNewItems; }
  bool hasSameSyncAnchor() const { return mSameSyncAnchor; }
  // The channel being built (valid entries only).
  const Channel& channel() const { return static_cast<const Channel&>(*mNewsObject); }

 private:
  enum AttributeResult { ATTRIBUTES_FAILED, ATTRIBUTES_CHANGED, ATTRIBUTES_UNCHANGED };
  AttributeResult marshalChannelAttributes(bool isNew, long now);
  Channel& mutableChannel() { return static_cast<Channel&>(*mNewsObject); }

  std::vector<std::unique_ptr<ItemEntry>> mNewItems;
  bool mSameSyncAnchor = false;
  bool mDeferItemRemoval = false;
  std::vector<qvTypes::ID> mDroppedItems;
};

// Removes a stored item (with the log lines of a failure).
void removeStoredItem(NR_ContentCache& cache, const qvTypes::ID& itemId);

}  // namespace flp2
