#include "Entry.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <set>

#include "Constants.h"
#include "ProtocolSettings.h"
#include "TimeText.h"
#include "framework/Protocol.h"
#include "platform/Log.h"

namespace flp2 {

namespace {

// The text value of a named content, or null when the map lacks the name or
// the content has no text.
const std::string* textOf(const ContentMap& contents, const char* name) {
  auto it = contents.find(name);
  if (it == contents.end()) return nullptr;
  return it->second->getContentValue();
}

const txn::Content* contentOf(const ContentMap& contents, const char* name) {
  auto it = contents.find(name);
  return it == contents.end() ? nullptr : it->second;
}

std::string joinIds(const std::vector<qvTypes::ID>& ids) {
  std::string text;
  for (const qvTypes::ID& id : ids) text += id + ", ";
  return text;
}

// A whole non-negative decimal int, blanks around it allowed.
bool readCount(const std::string& text, int& out) {
  const char* begin = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*begin))) ++begin;
  if (!std::isdigit(static_cast<unsigned char>(*begin))) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(begin, &end, 10);
  while (std::isspace(static_cast<unsigned char>(*end))) ++end;
  if (errno == ERANGE || *end != '\0' || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

// A template content's id: the content-id when set, else the id. False
// (after a log line) when it has neither, or an id without an href.
// checkOnly selects the wording of the channel's required-value check.
bool templateOf(const txn::Content& content, bool checkOnly, qvTypes::ID& id, const std::string*& href) {
  href = nullptr;
  if (content.getContentId() != nullptr) {
    id = *content.getContentId();
  } else if (content.getId() != nullptr) {
    id = *content.getId();
  } else {
    QV_LOG(3,
           "Content primitive representing a template is missing its id attribute. A template must either specify "
           "a id and href, or just a content-id value.");
    return false;
  }
  if (content.getId() != nullptr) {
    if (content.getHref() == nullptr) {
      if (checkOnly) {
        QV_LOG(3, "Template that has specified a 'id' value is missing its href attribute.");
      } else {
        QV_LOG(3, "Template has specified a 'id' value is missing its href attribute.");
      }
      return false;
    }
    href = content.getHref();
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry

Entry::Entry(const txn::ContentSet* contentSet) : mContentSet(contentSet) {}

Entry::~Entry() = default;

qvTypes::ID Entry::getId() const { return mNewsObject ? mNewsObject->getId() : qvTypes::ID(); }

ContentMap Entry::buildContentMap() const {
  ContentMap contents;
  for (const std::unique_ptr<txn::Content>& content : mContentSet->getContents()) {
    if (content->getName() == nullptr) {
      QV_LOG(3, "Encountered a Content that does not have a name.");
      continue;
    }
    contents[*content->getName()] = content.get();
  }
  QV_LOG(8, "Found %d content child elements in the content-set with name %s, and id %s",
         static_cast<int>(contents.size()), mContentSet->getName() ? mContentSet->getName()->c_str() : "",
         mContentSet->getId() ? mContentSet->getId()->c_str() : "");
  return contents;
}

bool Entry::applyLifespan(const txn::Lifespan& lifespan, long now) {
  if (!lifespan.isValid()) {
    QV_LOG(3,
           "Invalid lifespan primitive. Unable to determine the activation/expiration date for this "
           "AbstractContent.");
    return false;
  }
  long activation = NewsObject::NO_ACTIVATION_DATE;
  long expiration = NewsObject::NO_EXPIRATION_DATE;
  if (lifespan.getLifetime() != nullptr) {
    activation = now;
    // A lifetime too long to count is as good as none.
    if (__builtin_add_overflow(now, static_cast<long>(*lifespan.getLifetime()), &expiration)) {
      expiration = NewsObject::NO_EXPIRATION_DATE;
    }
  } else {
    if (lifespan.getActivation() != nullptr && !convertTimeText(*lifespan.getActivation(), now, activation)) {
      QV_LOG(3, "Unable to convert activation time %s. Aborting", lifespan.getActivation()->c_str());
      return false;
    }
    if (lifespan.getExpiration() != nullptr && !convertTimeText(*lifespan.getExpiration(), now, expiration)) {
      QV_LOG(3, "Unable to convert expiration time %s. Aborting", lifespan.getExpiration()->c_str());
      return false;
    }
  }
  if (expiration < activation) {
    QV_LOG(3, "Encountered an activation time, %s, that is after the expiration time, %s. Aborting.",
           std::to_string(activation).c_str(), std::to_string(expiration).c_str());
    return false;
  }
  mNewsObject->setActivationDate(activation);
  mNewsObject->setExpirationDate(expiration);
  return true;
}

bool Entry::marshalCommonAttributes(const ContentMap& contents, long now) {
  NewsObject& object = *mNewsObject;
  if (mContentSet->getOrder() != nullptr) object.setOrder(*mContentSet->getOrder());
  if (mContentSet->getLifespan() != nullptr && !applyLifespan(*mContentSet->getLifespan(), now)) {
    QV_LOG(3, "Unable to determine the activation/expiration dates of this feed.");
    return false;
  }
  if (const std::string* url = textOf(contents, "launchurl")) {
    object.setLink(NewsObject::Link(fromUtf8(*url), qvTypes::String(), 0));
  }
  if (const std::string* value = textOf(contents, "display-in-excerpt")) {
    object.setFlag(NewsObject::FLAG_DISPLAY_IN_EXCERPT, *value == "true");
  }
  if (const std::string* title = textOf(contents, "title")) object.setTitle(fromUtf8(replaceLineBreaks(*title)));
  if (const std::string* summary = textOf(contents, "summary")) {
    object.setSummary(fromUtf8(replaceLineBreaks(*summary)));
  }
  if (const std::string* layout = textOf(contents, "layout")) {
    if (*layout != "cs" && *layout != "csio") {
      QV_LOG(3, "Encountered an invalid layout value, %s. Must be either cs or csio.", layout->c_str());
      return false;
    }
    object.setEntryType(*layout);
  }
  if (const std::string* value = textOf(contents, "showexcerpt")) {
    object.setFlag(NewsObject::FLAG_SHOW_EXCERPT, *value == "true");
  }
  if (const txn::Content* image = contentOf(contents, "image")) {
    if (image->getContentType() == nullptr) {
      QV_LOG(3, "Image content must have its content-type attribute set.");
      return false;
    }
    NewsObject::Media media;
    media.name = "image";
    media.mimeType = *image->getContentType();
    if (image->getId() != nullptr) {
      media.assetId = *image->getId();
    } else if (image->getContentId() != nullptr) {
      media.assetId = *image->getContentId();
    } else {
      QV_LOG(3, "Image content must have either its id or its content-id attribute set.");
      return false;
    }
    if (image->getHref() != nullptr) media.url = fromUtf8(*image->getHref());
    object.setMediaMap(NewsObject::MediaMap{{"image", media}});
  }
  if (const txn::Content* templ = contentOf(contents, "template")) {
    qvTypes::ID id;
    const std::string* href = nullptr;
    if (!templateOf(*templ, false, id, href)) {
      return false;
    }
    object.setTemplateId(id);
    if (href != nullptr) object.setTemplateUrl(fromUtf8(*href));
  }
  return true;
}

bool Entry::Save() {
  const qvTypes::ID id = getId();
  QV_LOG(8, "About to save entry, %s", id.c_str());
  QV_LOG(8, "Attempting to store the entry in the storage-layer.");
  if (!mNewsObject || mNewsObject->store() != 0) {
    QV_LOG(3, "Unable to save the Entry, %s.", id.c_str());
    return false;
  }
  QV_LOG(8, "Successfully saved the Entry, %s.", id.c_str());
  return true;
}

// ---------------------------------------------------------------------------
// Excerpts

bool marshalExcerpt(const txn::ContentSet& excerpt, NewsObject& object) {
  if (excerpt.getName() == nullptr || *excerpt.getName() != "excerpt") {
    QV_LOG(3, "This content-set does not represent an excerpt.");
    return false;
  }
  NewsObject::MediaMap map = object.getExcerptMap();
  std::string primaryText;
  bool havePrimary = false;
  int counter = 0;
  for (const std::unique_ptr<txn::Content>& content : excerpt.getContents()) {
    if (content->getName() != nullptr && *content->getName() == "primaryxhtml") {
      primaryText = content->getContentValue() != nullptr ? *content->getContentValue() : std::string();
      havePrimary = true;
      continue;
    }
    const int position = counter++;
    NewsObject::Media media;
    if (content->getId() != nullptr && content->getHref() != nullptr) {
      media.assetId = *content->getId();
      media.url = fromUtf8(*content->getHref());
    } else if (content->getContentType() != nullptr && content->getContentId() != nullptr &&
               content->getHref() == nullptr) {
      media.assetId = *content->getContentId();
    } else {
      continue;
    }
    std::string key;
    if (content->getName() != nullptr) {
      key = *content->getName();
    } else if (havePrimary && media.assetId == primaryText) {
      key = "primaryxhtml";
    } else {
      key = std::to_string(position);
    }
    if (content->getContentType() == nullptr) {
      QV_LOG(3, "Excerpt content with id, %s, is missing its content-type. Skipping.", media.assetId.c_str());
      continue;
    }
    media.name = key;
    media.mimeType = *content->getContentType();
    map[key] = media;
  }
  QV_LOG(8, "Formed a NewsObject excerpt content-map of size %d", static_cast<int>(map.size()));
  object.setExcerptMap(map);
  return true;
}

// ---------------------------------------------------------------------------
// Items

ItemEntry::ItemEntry(const txn::ContentSet* contentSet, const Channel& channel) : Entry(contentSet) {
  if (contentSet->getName() == nullptr || *contentSet->getName() != "item") {
    QV_LOG(3, "Content-set should be named item.");
    mValid = false;
    return;
  }
  if (contentSet->getId() == nullptr || contentSet->getId()->empty()) {
    QV_LOG(3, "Content-set does not have its id attribute set.");
    mValid = false;
    return;
  }
  std::unique_ptr<Item> item(new Item(*contentSet->getId()));
  item->setActivationDate(channel.getActivationDate());
  item->setExpirationDate(channel.getExpirationDate());
  item->setEntryType(channel.getEntryType());
  item->setTemplateId(channel.getTemplateId());
  item->setTemplateUrl(channel.getTemplateUrl());
  mNewsObject = std::move(item);
}

int ItemEntry::marshal(bool isNew) {
  if (!mValid) return MARSHAL_FAILED;
  const ContentMap contents = buildContentMap();
  if (!marshalCommonAttributes(contents, static_cast<long>(std::time(nullptr)))) {
    QV_LOG(3, "Unable to marshall attributes of the Item from a content-set.");
    return MARSHAL_FAILED;
  }
  Item& it = item();
  if (isNew) {
    if (it.getTitle().empty()) {
      QV_LOG(3, "Item's title must be set.");
      return MARSHAL_FAILED;
    }
    if (it.getEntryType().empty()) {
      QV_LOG(3, "Item's layout must be set.");
      return MARSHAL_FAILED;
    }
  }
  if (mContentSet->getPriority() != nullptr) {
    if (*mContentSet->getPriority() == 0) {
      QV_LOG(8, "Determined the newsObject's priority to be HIGH");
      it.setPriority(NewsObject::HIGH);
    } else {
      QV_LOG(8, "Determined the newsObject's priority to be DEFAULT");
      it.setPriority(NewsObject::DEFAULT);
    }
  }
  if (const std::string* text = textOf(contents, "displaycount")) {
    int count = 0;
    if (!readCount(*text, count)) {
      QV_LOG(3, "Unable to convert %s to an displaycount integer", text->c_str());
      return MARSHAL_FAILED;
    }
    QV_LOG(8, "Determined Item's displayCount to be %s", text->c_str());
    it.setDisplayCount(count);
  }
  if (mContentSet->getDisplayTimer() != nullptr) {
    it.setDisplayTime(static_cast<long>(*mContentSet->getDisplayTimer()) * 1000);
  }
  for (const std::unique_ptr<txn::ContentSet>& child : mContentSet->getContentSets()) {
    if (child->getName() == nullptr || *child->getName() != "excerpt") continue;
    if (!marshalExcerpt(*child, it)) {
      QV_LOG(3,
             "Unable to marshall the excerpt for the Item, %s. Since the excerpt is optional for an Item, continuing "
             "anyways.",
             it.getId().c_str());
    }
  }
  return MARSHAL_DONE;
}

// ---------------------------------------------------------------------------
// Channels

Feed::Feed(const txn::ContentSet* contentSet, const qvTypes::ID& containerId) : Entry(contentSet) {
  if (contentSet->getName() == nullptr || *contentSet->getName() != "feed") {
    QV_LOG(3, "Content-set should be named feed.");
    mValid = false;
    return;
  }
  if (contentSet->getId() == nullptr || contentSet->getId()->empty()) {
    QV_LOG(3, "Content-set ID is not set.");
    mValid = false;
    return;
  }
  QV_LOG(8, "Instantiating a channel with id, %s", contentSet->getId()->c_str());
  mNewsObject.reset(new Channel(*contentSet->getId()));
  if (contentSet->getContainer() == nullptr || *contentSet->getContainer() != containerId) {
    QV_LOG(3,
           "The channel content-set has neither declared a parent container nor is assigned to a container-name "
           "that is not supported by this device. This device only supports the container named %s. Will continue "
           "to marshall this channel.",
           containerId.c_str());
  }
}

Feed::~Feed() = default;

Feed::AttributeResult Feed::marshalChannelAttributes(bool isNew, long now) {
  const ContentMap contents = buildContentMap();
  if (!marshalCommonAttributes(contents, now)) {
    QV_LOG(3, "Unable to marshall attributes of the Channel from a content-set.");
    return ATTRIBUTES_FAILED;
  }
  if (mContentSet->getSyncAnchor() == nullptr) {
    QV_LOG(3, "Channel content-set does not have its sync-anchor attribute set.");
    return ATTRIBUTES_FAILED;
  }
  const std::string& anchor = *mContentSet->getSyncAnchor();
  Channel& ch = mutableChannel();
  const std::string stored =
      toUtf8(ch.getAttributes().getString(kChannelSyncAnchorAttr, qvTypes::String(), kDefaultAttrQualifier));
  if (!isNew && stored == anchor) return ATTRIBUTES_UNCHANGED;
  ch.getAttributes().putString(kChannelSyncAnchorAttr, fromUtf8(anchor), kDefaultAttrQualifier);
  QV_LOG(8, "Determined the channel's syncanchor to be %s", anchor.c_str());

  if (isNew && contents.count("title") == 0) {
    QV_LOG(3, "Channel's title must be set.");
    return ATTRIBUTES_FAILED;
  }
  if (isNew && contents.count("layout") == 0) {
    QV_LOG(3, "Channel's layout must be set.");
    return ATTRIBUTES_FAILED;
  }
  if (const txn::Content* templ = contentOf(contents, "template")) {
    qvTypes::ID id;
    const std::string* href = nullptr;
    if (!templateOf(*templ, true, id, href)) {
      return ATTRIBUTES_FAILED;
    }
  }
  if (mContentSet->getAbsentMode() == nullptr) {
    QV_LOG(3, "This Feed content-set does not have its absent-mode set.");
    return ATTRIBUTES_FAILED;
  }
  return ATTRIBUTES_CHANGED;
}

int Feed::marshal(bool isNew) {
  if (!mValid) return MARSHAL_FAILED;
  const qvTypes::ID id = getId();
  QV_LOG(8, "Marshalling the channel with id %s", id.c_str());
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) return MARSHAL_FAILED;
  Channel& ch = mutableChannel();
  if (cache->get(id, ch) == 0) {
    QV_LOG(8,
           "Obtained a channel with id, %s, from the storage layer. Will overwrite those values already found on this "
           "Channel with values from the FLP2 content-set.",
           id.c_str());
  } else {
    QV_LOG(8,
           "Unable to obtain a channel with id, %s, from the storage layer. Will create an empty Channel and set its "
           "attributes with values from the FLP2 content-set.",
           id.c_str());
  }
  const long now = static_cast<long>(std::time(nullptr));
  switch (marshalChannelAttributes(isNew, now)) {
    case ATTRIBUTES_FAILED:
      QV_LOG(3, "Unable to handle this Channel's, %s, attributes.", id.c_str());
      return MARSHAL_FAILED;
    case ATTRIBUTES_UNCHANGED:
      QV_LOG(8, "Since the id and sync-anchor are same with the old ones, ignore the left");
      mSameSyncAnchor = true;
      return MARSHAL_UNCHANGED;
    case ATTRIBUTES_CHANGED:
      break;
  }

  // O: the items the channel held before; K: the items it keeps.
  std::vector<qvTypes::ID> old;
  std::set<qvTypes::ID> oldSet;
  for (const qvTypes::ID& itemId : ch.getItemIds()) {
    if (itemId.empty()) {
      QV_LOG(3, "From the storage layer, encountered an empty id value.  Skipping.");
      continue;
    }
    if (oldSet.insert(itemId).second) old.push_back(itemId);
  }
  const bool ignoreAbsent = mContentSet->getAbsentMode() == &txn::AbsentMode::IGNORE;
  std::vector<qvTypes::ID> keep;
  std::set<qvTypes::ID> keepSet;
  if (ignoreAbsent) {
    keep = old;
    keepSet = oldSet;
  }
  QV_LOG(8, "The following items, before the current content update, are currently assigned to this channel, %s",
         joinIds(old).c_str());

  // Items met in this response, so that a repeated id is listed once.
  std::set<qvTypes::ID> seen;
  for (const std::unique_ptr<txn::ContentSet>& child : mContentSet->getContentSets()) {
    const std::string* name = child->getName();
    if (name == nullptr) continue;
    if (*name == "excerpt") {
      if (!marshalExcerpt(*child, ch)) QV_LOG(3, "Unable to marshall the excerpt for the feed, %s.", id.c_str());
      continue;
    }
    if (*name != "item") continue;
    std::unique_ptr<ItemEntry> entry(new ItemEntry(child.get(), ch));
    const qvTypes::ID itemId = entry->getId();
    if (entry->isValid() && !seen.insert(itemId).second) {
      QV_LOG(3, "The item %s occurs more than once in the channel %s. Skipping the repeat.", itemId.c_str(),
             id.c_str());
      continue;
    }
    if (!entry->isValid() || oldSet.count(itemId) == 0) {
      QV_LOG(8,
             "Encountered an Item, %s, that is brand new. Will assign this Item to this Channel %s, and save the Item "
             "to the storage layer.",
             itemId.c_str(), id.c_str());
      if (entry->marshal(true) == MARSHAL_FAILED) {
        QV_LOG(3, "Unable to marshall an Item from a DCD content-set. Will abort processing of the entire Channel.");
        return MARSHAL_FAILED;
      }
      QV_LOG(8, "Successfully marshalled an Item with id, %s, for the Channel with id, %s", itemId.c_str(), id.c_str());
      keep.push_back(itemId);
      keepSet.insert(itemId);
      mNewItems.push_back(std::move(entry));
    } else {
      QV_LOG(8,
             "This Item, %s, is already assigned to this Channel, %s. Will not overwrite the Item already stored on "
             "the client and will continue to assign this Item to this Channel.",
             itemId.c_str(), id.c_str());
      if (keepSet.insert(itemId).second) keep.push_back(itemId);
    }
  }

  for (const qvTypes::ID& itemId : old) {
    if (keepSet.count(itemId) != 0) continue;
    if (mDeferItemRemoval) {
      mDroppedItems.push_back(itemId);
    } else {
      removeStoredItem(*cache, itemId);
    }
  }

  ch.setItemIds(keep);
  QV_LOG(8,
         "Determined that there are %d items owned by this feed, %s. %d of those items are brand new.  The following "
         "items are now assigned to this feed: %s",
         static_cast<int>(keep.size()), id.c_str(), static_cast<int>(mNewItems.size()), joinIds(keep).c_str());
  return MARSHAL_DONE;
}

void removeStoredItem(NR_ContentCache& cache, const qvTypes::ID& itemId) {
  Item stored;
  if (cache.get(itemId, stored) != 0) QV_LOG(3, "Unable to obtain item: %s", itemId.c_str());
  if (cache.remove(itemId, stored) != 0) QV_LOG(3, "Unable to remove item: %s", itemId.c_str());
}

bool Feed::Save() {
  QV_LOG(3, "Feed::Save:%d Entries", static_cast<int>(mNewItems.size()));
  const qvTypes::ID id = getId();
  for (const std::unique_ptr<ItemEntry>& item : mNewItems) {
    if (!item->Save()) {
      QV_LOG(3, "Unable to save the Item, %s. Will not save this Item nor the Channel, %s, that contains it.",
             item->getId().c_str(), id.c_str());
      return false;
    }
  }
  if (!mNewsObject || mNewsObject->store() != 0) {
    QV_LOG(3, "Unable to save the Feed, %s. Have already successfully saved this Feed's new items.", id.c_str());
    return false;
  }
  return true;
}

}  // namespace flp2
