#include "Model.h"

#include <algorithm>
#include <sstream>
#include <unordered_set>

#include "Flp1xPlatformWrapper.h"
#include "framework/Protocol.h"
#include "platform/Log.h"

namespace {

const std::string& textOf(const std::optional<std::string>& value) {
  static const std::string kEmpty;
  return value ? *value : kEmpty;
}

std::string toUtf8(const qvTypes::String& text) { return MString::fromWide(text); }

qvTypes::String oneLine(const std::optional<std::string>& text) {
  return MString::toWide(replaceLineBreaks(textOf(text)));
}

void logIdList(const char* name, const std::vector<qvTypes::ID>& ids) {
  if (!qvlog::enabled(qvlog::kDebug)) return;
  std::string text = std::string("IDList:Name[") + name + "]size:" + std::to_string(ids.size()) + ",data:";
  for (const qvTypes::ID& id : ids) text += id;
  QV_LOG(8, "%s", text.c_str());
}

NR_ContentCache* cache() {
  NR_ContentCache* c = NR_ContentCache::getInstance();
  if (c == nullptr) QV_LOG(3, "Model: the content cache is unavailable\n");
  return c;
}

// The fields that feeds and entries share.
void fillCommon(const ItemElement& element, NewsObject& object) {
  object.setId(textOf(element.ctxtId()));
  if (element.title() != nullptr) object.setTitle(oneLine(element.title()->value()));
  if (element.summary() != nullptr) object.setSummary(oneLine(element.summary()->value()));
  if (const LinkElement* link = element.link()) {
    const std::string& rel = textOf(link->rel());
    if (rel != "alternate") {
      QV_LOG(8, "Encountered an unsupported rel value, %s. Setting to the default, alternate", rel.c_str());
    }
    object.setLink(NewsObject::Link(MString::toWide(textOf(link->href())), L"alternate", 0));
  }
  if (element.templateId()) object.setTemplateId(*element.templateId());
  if (element.templateHref()) object.setTemplateUrl(MString::toWide(*element.templateHref()));
  if (element.entryType()) object.setEntryType(*element.entryType());
  if (element.excerpt()) object.setFlag(NewsObject::FLAG_DISPLAY_IN_EXCERPT, *element.excerpt());
  NewsObject::MediaMap contents;
  for (const auto& content : element.contents()) {
    const std::string& name = textOf(content->contentName());
    if (name == "excerpt") {
      object.setExcerptText(MString::toWide(textOf(content->value())));
      continue;
    }
    NewsObject::Media media;
    media.name = name;
    media.mimeType = textOf(content->type());
    media.mode = textOf(content->mode());
    media.assetId = textOf(content->ctxtId());
    media.url = MString::toWide(textOf(content->href()));
    contents[name] = media;
  }
  object.setContentMap(contents);
}

// The two lists of getRequiredContent, each holding an id once.
class RequiredLists {
 public:
  RequiredLists(RequiredContentList& byIds, RequiredContentList& byUrl) : mByIds(byIds), mByUrl(byUrl) {}

  void add(const std::string& id, const std::string& href, const std::string& type, bool atFront) {
    const bool byUrl = !href.empty();
    RequiredContentList& list = byUrl ? mByUrl : mByIds;
    if (!(byUrl ? mUrlIds : mIdIds).insert(id).second) return;
    PtrRef<RequiredContent> record(new RequiredContent);
    record->mId = id;
    record->mHref = href;
    record->mContentType = type;
    if (atFront) {
      list.push_front(record);
    } else {
      list.push_back(record);
    }
  }

 private:
  RequiredContentList& mByIds;
  RequiredContentList& mByUrl;
  std::unordered_set<std::string> mIdIds;
  std::unordered_set<std::string> mUrlIds;
};

bool inCache(NR_ContentCache& c, const qvTypes::ID& id) {
  std::string path;
  return c.getPath(id, path) == 0;
}

// A template is asked for unless it is "default" or already cached.
void examineTemplate(NR_ContentCache& c, const qvTypes::ID& id, const qvTypes::String& href, RequiredLists& lists) {
  if (id.empty() || id == "default" || inCache(c, id)) return;
  lists.add(id, toUtf8(href), "text/xml", false);
}

void examineObject(NR_ContentCache& c, const NewsObject& object, RequiredLists& lists) {
  QV_LOG(8, "Get Contents of NewsObject:%s\n", object.getId().c_str());
  examineTemplate(c, object.getTemplateId(), object.getTemplateUrl(), lists);
  const NewsObject::MediaMap& contents = object.getContentMap();
  if (contents.empty()) {
    QV_LOG(8, "No contents in NewsObject:%s\n", object.getId().c_str());
    return;
  }
  const bool first = object.getEntryType() == "csio";
  for (const auto& entry : contents) {
    const NewsObject::Media& media = entry.second;
    // An asset without an id could be neither asked for nor stored.
    if (media.assetId.empty() || inCache(c, media.assetId)) continue;
    lists.add(media.assetId, toUtf8(media.url), media.mimeType, first);
  }
}

std::unique_ptr<IModel>& facadeModel() {
  static std::unique_ptr<IModel> model;
  return model;
}

bool& facadeModelChosen() {
  static bool chosen = false;
  return chosen;
}

}  // namespace

// ---- IModel

Flp1xPlatformWrapper* IModel::wrapper() const {
  return mWrapper != nullptr ? mWrapper : Flp1xPlatformWrapper::getInstance();
}

bool IModel::isEmptyFeed(const FeedElement& feed) {
  return feed.entries().empty() && feed.title() == nullptr && feed.summary() == nullptr && feed.link() == nullptr;
}

bool IModel::isEmptyEntry(const EntryElement& entry) {
  if (textOf(entry.ctxtId()).empty()) return true;
  return !entry.entryType() && entry.contents().empty() && entry.title() == nullptr && entry.summary() == nullptr;
}

bool IModel::store(const SyncPkg& pkg) {
  const MetaElement* meta = pkg.meta();
  if (meta == nullptr) {
    QV_LOG(3, "ModelFacade::store: SyncPkg without meta element!");
    return false;
  }
  if (meta->globalMeta() == nullptr) {
    QV_LOG(3, "ModelFacade::store: meta is malformed!");
    return false;
  }

  std::vector<qvTypes::ID> feedIds;
  for (const auto& feedMeta : meta->feedMetas()) feedIds.push_back(textOf(feedMeta->ctxtId()));
  std::vector<qvTypes::ID> channelIds;
  getChannelIDs(channelIds);
  const std::unordered_set<std::string> listed(feedIds.begin(), feedIds.end());
  std::vector<qvTypes::ID> afterSync;
  for (const qvTypes::ID& id : channelIds) {
    if (listed.count(id) == 0) afterSync.push_back(id);
  }
  logIdList("feedids", feedIds);
  logIdList("channelids", channelIds);
  logIdList("aftersync", afterSync);

  // One sync is one commit: the UI never sees half of it, a crash keeps
  // none of it, and the disk is synced once instead of once per object.
  NR_ContentCache* c = NR_ContentCache::getInstance();
  std::unique_ptr<NR_ContentCache::BatchScope> batch;
  if (c != nullptr) batch.reset(new NR_ContentCache::BatchScope(*c));

  for (const qvTypes::ID& id : afterSync) removeChannel(id);
  setChannelIDs(feedIds);

  for (const auto& feed : pkg.feeds()) {
    const std::string& feedId = textOf(feed->ctxtId());
    if (isEmptyFeed(*feed)) {
      QV_LOG(8, "ModelFacade::store: feed %s is empty!\n", feedId.c_str());
      continue;
    }
    std::vector<qvTypes::ID> oldItems;
    getItemIDs(feedId, oldItems);
    storeChannel(*feed, *meta);
    std::unordered_set<std::string> newItems;
    for (const auto& entry : feed->entries()) {
      if (isEmptyEntry(*entry)) {
        QV_LOG(8, "ModelFacade::store: Entry %s is empty!\n", textOf(entry->ctxtId()).c_str());
        continue;
      }
      newItems.insert(*entry->ctxtId());
      storeItem(*entry);
    }
    for (const qvTypes::ID& id : oldItems) {
      if (newItems.count(id) != 0) continue;
      QV_LOG(8, "ModelFacade::store: remove item %s.\n", id.c_str());
      removeItem(id);
    }
  }

  // No cache, a batch that could not be begun, or a write of it that
  // failed: the sync fails as a whole.
  if (!batch || batch->commit() != 0) {
    QV_LOG(3, "ModelFacade::store: the sync could not be committed; nothing of it is stored\n");
    return false;
  }
  // The anchor tells the server what the phone holds: it is written only
  // once the content it stands for is stored. When it cannot be written the
  // sync is not complete: the old anchor has the server send it again.
  return wrapper()->setAppSyncAnchor(textOf(meta->globalMeta()->anchor()));
}

// ---- Model

Model::Model(const qvTypes::ID& containerName, Flp1xPlatformWrapper* wrapper)
    : IModel(wrapper), mContainerName(containerName) {}

bool Model::toChannel(const FeedElement& feed, Channel& channel) {
  if (textOf(feed.ctxtId()).empty()) {
    QV_LOG(8, "This feed does not have it's context-id set yet. Can not create a Channel from it.");
    return false;
  }
  fillCommon(feed, channel);
  if (feed.entryTemplateId()) channel.setEntryTemplateId(*feed.entryTemplateId());
  if (feed.entryTemplateHref()) channel.setEntryTemplateUrl(MString::toWide(*feed.entryTemplateHref()));
  std::vector<qvTypes::ID> itemIds;
  itemIds.reserve(feed.entries().size());
  for (const auto& entry : feed.entries()) {
    if (textOf(entry->ctxtId()).empty()) {
      QV_LOG(8, "Entry does not have its context-id set");
      return false;
    }
    itemIds.push_back(*entry->ctxtId());
  }
  channel.setItemIds(itemIds);
  return true;
}

bool Model::toItem(const EntryElement& entry, Item& item) {
  if (textOf(entry.ctxtId()).empty()) {
    QV_LOG(8, "Entry does not have its context-id set");
    return false;
  }
  fillCommon(entry, item);
  if (entry.issued() != nullptr && entry.issued()->value()) item.setIssued(entry.issued()->value()->seconds());
  if (const AuthorElement* author = entry.author()) {
    auto text = [](const TextElement* e) { return MString::toWide(e != nullptr ? textOf(e->value()) : ""); };
    item.setAuthor(text(author->authorName()), text(author->url()), text(author->email()));
  }
  if (entry.activation() != nullptr && entry.activation()->value()) {
    item.setActivationDate(entry.activation()->value()->seconds());
  }
  if (entry.expiration() != nullptr && entry.expiration()->value()) {
    item.setExpirationDate(entry.expiration()->value()->seconds());
  }
  if (entry.order()) item.setOrder(*entry.order());
  return true;
}

bool Model::storeChannel(const FeedElement& feed, const MetaElement& meta) {
  if (isEmptyFeed(feed)) {
    QV_LOG(3, "Model::storeChannel: Feed is empty!\n");
    return false;
  }
  const std::string& feedId = textOf(feed.ctxtId());
  QV_LOG(8, "Model::storeChannel: store feed %s.\n", feedId.c_str());
  Channel channel;
  if (!toChannel(feed, channel)) {
    QV_LOG(3, "Model::storeChannel: toChannel failed!\n");
    return false;
  }
  for (const auto& feedMeta : meta.feedMetas()) {
    if (textOf(feedMeta->ctxtId()) != feedId) continue;
    QV_LOG(8, "Feed %s", feedId.c_str());
    if (feedMeta->order()) {
      QV_LOG(8, "Found order:%d", *feedMeta->order());
      channel.setOrder(*feedMeta->order());
    }
    QV_LOG(8, "Found anchor:%s", textOf(feedMeta->anchor()).c_str());
    channel.getAttributes().putString(kAnchorKey, MString::toWide(textOf(feedMeta->anchor())), kLanguage);
    break;
  }
  NR_ContentCache* c = cache();
  if (c == nullptr || c->save(feedId, channel) != 0) {
    QV_LOG(3, "Model::storeChannel: store channel %s failed!\n", feedId.c_str());
    return false;
  }
  return true;
}

bool Model::storeItem(const EntryElement& entry) {
  if (isEmptyEntry(entry)) {
    QV_LOG(8, "Model::storeItem: entry is empty!\n");
    return false;
  }
  const std::string& id = *entry.ctxtId();
  QV_LOG(8, "Model::storeItem: store %s.\n", id.c_str());
  Item item;
  toItem(entry, item);
  NR_ContentCache* c = cache();
  if (c == nullptr || c->save(id, item) != 0) QV_LOG(8, "Model::storeItem: store %s failed!\n", id.c_str());
  return true;
}

bool Model::removeChannel(const qvTypes::ID& id) {
  NR_ContentCache* c = cache();
  Channel channel;
  if (c == nullptr || c->get(id, channel) != 0) {
    QV_LOG(8, "Model::removeChannel: Get channel %s from cache failed!\n", id.c_str());
    return false;
  }
  if (c->remove(id, channel) != 0) QV_LOG(8, "Model::removeItem: Remove channel %s failed!\n", id.c_str());
  return true;
}

bool Model::removeItem(const qvTypes::ID& id) {
  NR_ContentCache* c = cache();
  if (c == nullptr || c->remove(id, Item()) != 0) {
    QV_LOG(8, "Model::removeItem: Remove item %s failed!\n", id.c_str());
  }
  return true;
}

bool Model::getChannelIDs(std::vector<qvTypes::ID>& out) {
  NR_ContentCache* c = cache();
  Container container;
  if (c == nullptr || c->get(mContainerName, container) != 0) {
    QV_LOG(8, "Model::getChannelIDs:Can't get container:%s from cache!\n", mContainerName.c_str());
    return false;
  }
  out = container.getChannelIds();
  return true;
}

bool Model::setChannelIDs(const std::vector<qvTypes::ID>& ids) {
  if (qvlog::enabled(qvlog::kDebug)) {
    std::string text = "IDList:";
    for (const qvTypes::ID& id : ids) text += id + ";";
    QV_LOG(8, "IDList:%d:%s", static_cast<int>(ids.size()), text.c_str());
  }
  NR_ContentCache* c = cache();
  Container container;
  if (c != nullptr && c->get(mContainerName, container) != 0) {
    QV_LOG(8, "Model::setChannelIDs: Can't get container:%s from cache!\n", mContainerName.c_str());
    container = Container();
  }
  container.setChannelIds(ids);
  if (c == nullptr || c->save(mContainerName, container) != 0) {
    QV_LOG(3, "Model::setChannelIDs: store container failed!\n");
    return false;
  }
  return true;
}

bool Model::getItemIDs(const qvTypes::ID& channelId, std::vector<qvTypes::ID>& out) {
  NR_ContentCache* c = cache();
  Channel channel;
  if (c == nullptr || c->get(channelId, channel) != 0) {
    QV_LOG(3, "Get channel %s from cache failed!\n", channelId.c_str());
    return false;
  }
  out = channel.getItemIds();
  return true;
}

bool Model::getChannelAnchor(const qvTypes::ID& id, std::string& out) {
  NR_ContentCache* c = cache();
  Channel channel;
  if (c == nullptr || c->get(id, channel) != 0) {
    QV_LOG(3, "Get channel %s from cache failed!\n", id.c_str());
    return false;
  }
  out = toUtf8(channel.getAttributes().getString(kAnchorKey, qvTypes::String(), kLanguage));
  return true;
}

bool Model::setChannelAnchor(const qvTypes::ID& id, const std::string& anchor) {
  NR_ContentCache* c = cache();
  Channel channel;
  if (c == nullptr || c->get(id, channel) != 0) {
    QV_LOG(3, "Get channel %s from cache failed!\n", id.c_str());
    return false;
  }
  channel.getAttributes().putString(kAnchorKey, MString::toWide(anchor), kLanguage);
  return c->save(id, channel) == 0;
}

bool Model::getGlobalSyncAnchor(std::string& out) {
  out.clear();
  std::vector<qvTypes::ID> ids;
  if (!getChannelIDs(ids)) return false;
  for (const qvTypes::ID& id : ids) {
    if (id.empty()) continue;
    std::string anchor;
    if (!getChannelAnchor(id, anchor) || anchor.empty()) continue;
    if (!out.empty()) out += ", ";
    out += id + "=" + anchor;
  }
  return true;
}

bool Model::saveContent(const RequiredContent& record) {
  NR_ContentCache* c = cache();
  std::ofstream* stream =
      c != nullptr ? c->getOutputStream(record.mId, static_cast<long>(record.mData.size())) : nullptr;
  if (stream == nullptr) {
    QV_LOG(3, "Save content:%s failed!\n", record.mId.c_str());
    return false;
  }
  stream->write(record.mData.data(), static_cast<std::streamsize>(record.mData.size()));
  if (c->closeOutputStream(record.mId, stream, record.mContentType) != 0) {
    QV_LOG(3, "Save content:%s failed!\n", record.mId.c_str());
    return false;
  }
  return true;
}

bool Model::getRequiredContent(RequiredContentList& byIds, RequiredContentList& byUrl) {
  byIds.clear();
  byUrl.clear();
  QV_LOG(8, "getRequiredContent:");
  NR_ContentCache* c = cache();
  Container container;
  if (c == nullptr || c->get(mContainerName, container) != 0) {
    QV_LOG(3, "While trying to obtain container failed(id:%s).\n", mContainerName.c_str());
    return false;
  }
  QV_LOG(8, "Get %d channels from container\n", static_cast<int>(container.getChannelIds().size()));
  RequiredLists lists(byIds, byUrl);
  for (const qvTypes::ID& channelId : container.getChannelIds()) {
    Channel channel;
    if (c->get(channelId, channel) != 0) {
      QV_LOG(8, "Get channel %s from cache failed!\n", channelId.c_str());
      continue;
    }
    QV_LOG(8, "entry-template-id:%s, href%s", channel.getEntryTemplateId().c_str(),
           toUtf8(channel.getEntryTemplateUrl()).c_str());
    examineTemplate(*c, channel.getEntryTemplateId(), channel.getEntryTemplateUrl(), lists);
    examineObject(*c, channel, lists);
    for (const qvTypes::ID& itemId : channel.getItemIds()) {
      Item item;
      if (c->get(itemId, item) != 0) {
        QV_LOG(8, "Get item %s from cache failed!\n", itemId.c_str());
        continue;
      }
      examineObject(*c, item, lists);
    }
  }
  return true;
}

// ---- ModelFacade

IModel* ModelFacade::model() {
  if (!facadeModelChosen()) {
    facadeModel().reset(new Model("container1"));
    facadeModelChosen() = true;
  }
  IModel* m = facadeModel().get();
  if (m == nullptr) QV_LOG(3, "ModelFacade:: Not spicified correct IModel");
  return m;
}

void ModelFacade::setModel(std::unique_ptr<IModel> model) {
  facadeModel() = std::move(model);
  facadeModelChosen() = true;
}

void ModelFacade::resetForTesting() {
  facadeModel().reset();
  facadeModelChosen() = false;
}

bool ModelFacade::store(const SyncPkg& pkg) {
  IModel* m = model();
  return m != nullptr && m->store(pkg);
}

bool ModelFacade::saveContent(const RequiredContent& record) {
  IModel* m = model();
  return m != nullptr && m->saveContent(record);
}

bool ModelFacade::getRequiredContent(RequiredContentList& byIds, RequiredContentList& byUrl) {
  IModel* m = model();
  return m != nullptr && m->getRequiredContent(byIds, byUrl);
}

bool ModelFacade::getGlobalSyncAnchor(std::string& out) {
  IModel* m = model();
  return m != nullptr && m->getGlobalSyncAnchor(out);
}
