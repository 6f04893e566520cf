#include "SyncPkg.h"

#include <atomic>
#include <climits>
#include <unordered_set>

#include "platform/Log.h"

using namespace xmldecl;

namespace {

std::atomic<long> gServerTime{0};

long saturatedAdd(long a, long b) {
  long sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? LONG_MAX : LONG_MIN;
  return sum;
}

long saturatedSub(long a, long b) {
  long difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) return b < 0 ? LONG_MAX : LONG_MIN;
  return difference;
}

constexpr char kAuthorName[] = "name";
constexpr char kAuthorUrl[] = "url";
constexpr char kAuthorEmail[] = "email";

}  // namespace

const ElementShell& TitleElement::shell() const {
  static const ElementShell kShell("title", {attribute<&TitleElement::mType>("type", OPTIONAL)}, {},
                                   xmldecl::value<&TitleElement::mValue>());
  return kShell;
}

const ElementShell& SummaryElement::shell() const {
  static const ElementShell kShell("summary", {attribute<&SummaryElement::mType>("type", OPTIONAL)}, {},
                                   xmldecl::value<&SummaryElement::mValue>());
  return kShell;
}

const ElementShell& LinkElement::shell() const {
  static const ElementShell kShell("link",
                                   {
                                       attribute<&LinkElement::mRel>("rel", REQUIRED),
                                       attribute<&LinkElement::mType>("type", REQUIRED),
                                       attribute<&LinkElement::mHref>("href", REQUIRED),
                                   },
                                   {});
  return kShell;
}

const ElementShell& ContentElement::shell() const {
  static const ElementShell kShell("content",
                                   {
                                       attribute<&ContentElement::mType>("type", REQUIRED),
                                       attribute<&ContentElement::mMode>("mode", OPTIONAL),
                                       attribute<&ContentElement::mName>("name", REQUIRED),
                                       attribute<&ContentElement::mCtxtId>("ctxt-id", REQUIRED),
                                       attribute<&ContentElement::mHref>("href", OPTIONAL),
                                   },
                                   {}, xmldecl::value<&ContentElement::mValue>());
  return kShell;
}

const ElementShell& AuthorElement::shell() const {
  static const ElementShell kShell("author", {},
                                   {
                                       one<&AuthorElement::mName, NamedTextElement<kAuthorName>>("name", 1),
                                       one<&AuthorElement::mUrl, NamedTextElement<kAuthorUrl>>("url", 1),
                                       one<&AuthorElement::mEmail, NamedTextElement<kAuthorEmail>>("email", 1),
                                   });
  return kShell;
}

const ElementShell& IssuedElement::shell() const {
  static const ElementShell kShell("issued", {}, {}, xmldecl::value<&IssuedElement::mValue>());
  return kShell;
}

bool LifespanTimeElement::afterMarshal() {
  if (!mValue) return true;
  const long now = TimeValue::now();
  const long v = mValue->seconds();
  if (mType && *mType == "rel") {
    mValue->setSeconds(saturatedAdd(v, now));
  } else {
    mValue->setSeconds(saturatedAdd(v, saturatedSub(now, SyncPkg::serverTime())));
  }
  return true;
}

const ElementShell& ActivationElement::shell() const {
  static const ElementShell kShell("activation", {attribute<&LifespanTimeElement::mType>("type", OPTIONAL)}, {},
                                   xmldecl::value<&LifespanTimeElement::mValue>());
  return kShell;
}

const ElementShell& ExpirationElement::shell() const {
  static const ElementShell kShell("expiration", {attribute<&LifespanTimeElement::mType>("type", OPTIONAL)}, {},
                                   xmldecl::value<&LifespanTimeElement::mValue>());
  return kShell;
}

std::vector<AttributeDecl> ItemElement::itemAttributes() {
  return {
      attribute<&ItemElement::mCtxtId>("ctxt-id", REQUIRED),
      attribute<&ItemElement::mTemplateId>("template-id", OPTIONAL),
      attribute<&ItemElement::mTemplateHref>("template-href", OPTIONAL),
      attribute<&ItemElement::mEntryType>("entry-type", OPTIONAL),
      attribute<&ItemElement::mExcerpt>("excerpt", OPTIONAL),
  };
}

std::vector<ChildDecl> ItemElement::itemChildren() {
  return {
      one<&ItemElement::mTitle>("title", 0),
      one<&ItemElement::mSummary>("summary", 0),
      one<&ItemElement::mLink>("link", 0),
      many<&ItemElement::mContents>("content", 0, -1),
  };
}

const ElementShell& EntryElement::shell() const {
  static const ElementShell kShell = [] {
    std::vector<AttributeDecl> attributes = itemAttributes();
    attributes.push_back(attribute<&EntryElement::mOrder>("order", OPTIONAL));
    std::vector<ChildDecl> children = itemChildren();
    children.push_back(one<&EntryElement::mIssued>("issued", 0));
    children.push_back(one<&EntryElement::mAuthor>("author", 0));
    children.push_back(one<&EntryElement::mActivation>("activation", 0));
    children.push_back(one<&EntryElement::mExpiration>("expiration", 0));
    return ElementShell("entry", std::move(attributes), std::move(children));
  }();
  return kShell;
}

const ElementShell& FeedElement::shell() const {
  static const ElementShell kShell = [] {
    std::vector<AttributeDecl> attributes = itemAttributes();
    attributes.push_back(attribute<&FeedElement::mVersion>("version", OPTIONAL));
    attributes.push_back(attribute<&FeedElement::mEntryTemplateId>("entry-template-id", OPTIONAL));
    attributes.push_back(attribute<&FeedElement::mEntryTemplateHref>("entry-template-href", OPTIONAL));
    attributes.push_back(attribute<&FeedElement::mExcerptDefault>("excerpt-default", OPTIONAL));
    std::vector<ChildDecl> children = itemChildren();
    children.push_back(many<&FeedElement::mEntries>("entry", 0, -1));
    return ElementShell("feed", std::move(attributes), std::move(children));
  }();
  return kShell;
}

const ElementShell& GlobalMetaElement::shell() const {
  static const ElementShell kShell("global-meta",
                                   {
                                       attribute<&GlobalMetaElement::mAnchor>("anchor", REQUIRED),
                                       attribute<&GlobalMetaElement::mTtl>("ttl", REQUIRED),
                                       attribute<&GlobalMetaElement::mServerTime>("server-time", REQUIRED),
                                   },
                                   {});
  return kShell;
}

bool GlobalMetaElement::afterMarshal() {
  SyncPkg::setServerTime(mServerTime ? mServerTime->seconds() : 0);
  return true;
}

const ElementShell& GeneratorElement::shell() const {
  static const ElementShell kShell("generator",
                                   {
                                       attribute<&GeneratorElement::mUrl>("url", REQUIRED),
                                       attribute<&GeneratorElement::mVersion>("version", REQUIRED),
                                   },
                                   {});
  return kShell;
}

const ElementShell& FeedMetaElement::shell() const {
  static const ElementShell kShell("feed-meta",
                                   {
                                       attribute<&FeedMetaElement::mCtxtId>("ctxt-id", REQUIRED),
                                       attribute<&FeedMetaElement::mAnchor>("anchor", REQUIRED),
                                       attribute<&FeedMetaElement::mTarget>("target", REQUIRED),
                                       attribute<&FeedMetaElement::mOrder>("order", OPTIONAL),
                                       attribute<&FeedMetaElement::mFeedName>("feed-name", OPTIONAL),
                                   },
                                   {});
  return kShell;
}

const ElementShell& MetaElement::shell() const {
  static const ElementShell kShell("meta", {},
                                   {
                                       one<&MetaElement::mGlobalMeta>("global-meta", 1),
                                       one<&MetaElement::mGenerator>("generator", 0),
                                       many<&MetaElement::mFeedMetas>("feed-meta", 0, -1),
                                   });
  return kShell;
}

const ElementShell& SyncPkg::shell() const {
  static const ElementShell kShell("sync-pkg", {},
                                   {
                                       one<&SyncPkg::mMeta>("meta", 1),
                                       many<&SyncPkg::mFeeds>("feed", 0, -1),
                                   });
  return kShell;
}

bool SyncPkg::afterMarshal() {
  setServerTime(0);
  return true;
}

long SyncPkg::serverTime() { return gServerTime.load(); }

void SyncPkg::setServerTime(long seconds) { gServerTime.store(seconds); }

size_t SyncPkg::entryCount() const {
  size_t n = 0;
  for (const auto& feed : mFeeds) n += feed->entries().size();
  return n;
}

bool SyncPkg::parse(const std::string& bytes, const XMLParser& parser) {
  mMeta.reset();
  mFeeds.clear();
  mErrorText.clear();
  bool ok = parser.parse(bytes, *this, mErrorText);
  // A parse that failed half way must not leave its server clock to the next.
  setServerTime(0);
  if (!ok) {
    QV_LOG(3, "SyncPkg Parse failed!\n");
    return false;
  }
  return checkDuplicateIds();
}

bool SyncPkg::checkDuplicateIds() {
  std::unordered_set<std::string> seen;
  for (const auto& feed : mFeeds) {
    const std::string& feedId = feed->ctxtId() ? *feed->ctxtId() : std::string();
    if (!feedId.empty() && !seen.insert(feedId).second) {
      QV_LOG(3, "Feed id %s already exist!\n", feedId.c_str());
      mErrorText = "Feed id " + feedId + " already exist!";
      return false;
    }
    for (const auto& entry : feed->entries()) {
      const std::string& entryId = entry->ctxtId() ? *entry->ctxtId() : std::string();
      if (!entryId.empty() && !seen.insert(entryId).second) {
        QV_LOG(3, "entry id %s already exist!\n", entryId.c_str());
        mErrorText = "entry id " + entryId + " already exist!";
        return false;
      }
    }
  }
  return true;
}
