// The FLP 1.x sync package: the server's answer to a content request, read
// into element objects with XMLParser.
//
//   sync-pkg       meta 1, feed 0..n
//   meta           global-meta 1, generator 0..1, feed-meta 0..n
//   global-meta    anchor, ttl (time), server-time (time); all required
//   generator      url, version; required
//   feed-meta      ctxt-id, anchor, target required; order (int), feed-name
//   feed           item attributes; version, entry-template-id,
//                  entry-template-href, excerpt-default; item children;
//                  entry 0..n
//   entry          item attributes; order (int); item children; issued,
//                  author, activation, expiration 0..1 each
//   item attributes  ctxt-id required; template-id, template-href,
//                  entry-type, excerpt (bool)
//   item children  title, summary, link 0..1 each; content 0..n
//   title, summary type; text value
//   link           rel, type, href; required
//   content        type, name, ctxt-id required; mode, href; text value
//   author         name, url, email: one each, text elements
//   issued         time value
//   activation, expiration  type; time value, made absolute (below)
//
// Times are read as milliseconds and held as seconds (xmlvalue::readTime).
// The server's clock: "global-meta" sets the process-wide server time to its
// "server-time" once it is read, and the end of every sync-package parse
// clears it (0). An "activation" or "expiration" of type "rel" is relative
// to now (value + now); any other is a time on the server's clock (value +
// now - server time). Sums saturate instead of wrapping.
//
// Every attribute is an optional field: absent stays std::nullopt. Single
// children are owned pointers, null when absent; repeated children are
// ordered lists of owned objects.
//
// Threads: a SyncPkg and its tree belong to one thread at a time; parses run
// one at a time in a process (the server time is shared).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Element.h"
#include "TimeValue.h"
#include "XMLParser.h"

class TitleElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& type() const { return mType; }
  const std::optional<std::string>& value() const { return mValue; }

  std::optional<std::string> mType;
  std::optional<std::string> mValue;
};

class SummaryElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& type() const { return mType; }
  const std::optional<std::string>& value() const { return mValue; }

  std::optional<std::string> mType;
  std::optional<std::string> mValue;
};

class LinkElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& rel() const { return mRel; }
  const std::optional<std::string>& type() const { return mType; }
  const std::optional<std::string>& href() const { return mHref; }

  std::optional<std::string> mRel;
  std::optional<std::string> mType;
  std::optional<std::string> mHref;
};

class ContentElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& type() const { return mType; }
  const std::optional<std::string>& mode() const { return mMode; }
  const std::optional<std::string>& contentName() const { return mName; }
  const std::optional<std::string>& ctxtId() const { return mCtxtId; }
  const std::optional<std::string>& href() const { return mHref; }
  const std::optional<std::string>& value() const { return mValue; }

  std::optional<std::string> mType;
  std::optional<std::string> mMode;
  std::optional<std::string> mName;
  std::optional<std::string> mCtxtId;
  std::optional<std::string> mHref;
  std::optional<std::string> mValue;
};

// A plain text element; the derived classes give it its name.
class TextElement : public Element {
 public:
  const std::optional<std::string>& value() const { return mValue; }
  std::optional<std::string> mValue;
};

template <const char* Name>
class NamedTextElement : public TextElement {
 public:
  const ElementShell& shell() const override {
    static const ElementShell kShell(Name, {}, {}, xmldecl::value<&TextElement::mValue>());
    return kShell;
  }
};

class AuthorElement : public Element {
 public:
  const ElementShell& shell() const override;
  const TextElement* authorName() const { return mName.get(); }
  const TextElement* url() const { return mUrl.get(); }
  const TextElement* email() const { return mEmail.get(); }

  std::unique_ptr<TextElement> mName;
  std::unique_ptr<TextElement> mUrl;
  std::unique_ptr<TextElement> mEmail;
};

class IssuedElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<TimeValue>& value() const { return mValue; }

  std::optional<TimeValue> mValue;
};

// A time on the server's clock, or relative to now with type "rel".
class LifespanTimeElement : public Element {
 public:
  const std::optional<std::string>& type() const { return mType; }
  const std::optional<TimeValue>& value() const { return mValue; }
  // Makes the value a phone time.
  bool afterMarshal() override;

  std::optional<std::string> mType;
  std::optional<TimeValue> mValue;
};

class ActivationElement : public LifespanTimeElement {
 public:
  const ElementShell& shell() const override;
};

class ExpirationElement : public LifespanTimeElement {
 public:
  const ElementShell& shell() const override;
};

// What feeds and entries have in common.
class ItemElement : public Element {
 public:
  const std::optional<std::string>& ctxtId() const { return mCtxtId; }
  const std::optional<std::string>& templateId() const { return mTemplateId; }
  const std::optional<std::string>& templateHref() const { return mTemplateHref; }
  const std::optional<std::string>& entryType() const { return mEntryType; }
  const std::optional<bool>& excerpt() const { return mExcerpt; }
  const TitleElement* title() const { return mTitle.get(); }
  const SummaryElement* summary() const { return mSummary.get(); }
  const LinkElement* link() const { return mLink.get(); }
  const std::vector<std::unique_ptr<ContentElement>>& contents() const { return mContents; }

  std::optional<std::string> mCtxtId;
  std::optional<std::string> mTemplateId;
  std::optional<std::string> mTemplateHref;
  std::optional<std::string> mEntryType;
  std::optional<bool> mExcerpt;
  std::unique_ptr<TitleElement> mTitle;
  std::unique_ptr<SummaryElement> mSummary;
  std::unique_ptr<LinkElement> mLink;
  std::vector<std::unique_ptr<ContentElement>> mContents;

 protected:
  static std::vector<AttributeDecl> itemAttributes();
  static std::vector<ChildDecl> itemChildren();
};

class EntryElement : public ItemElement {
 public:
  const ElementShell& shell() const override;
  const std::optional<int>& order() const { return mOrder; }
  const IssuedElement* issued() const { return mIssued.get(); }
  const AuthorElement* author() const { return mAuthor.get(); }
  const ActivationElement* activation() const { return mActivation.get(); }
  const ExpirationElement* expiration() const { return mExpiration.get(); }

  std::optional<int> mOrder;
  std::unique_ptr<IssuedElement> mIssued;
  std::unique_ptr<AuthorElement> mAuthor;
  std::unique_ptr<ActivationElement> mActivation;
  std::unique_ptr<ExpirationElement> mExpiration;
};

class FeedElement : public ItemElement {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& version() const { return mVersion; }
  const std::optional<std::string>& entryTemplateId() const { return mEntryTemplateId; }
  const std::optional<std::string>& entryTemplateHref() const { return mEntryTemplateHref; }
  const std::optional<std::string>& excerptDefault() const { return mExcerptDefault; }
  const std::vector<std::unique_ptr<EntryElement>>& entries() const { return mEntries; }

  std::optional<std::string> mVersion;
  std::optional<std::string> mEntryTemplateId;
  std::optional<std::string> mEntryTemplateHref;
  std::optional<std::string> mExcerptDefault;
  std::vector<std::unique_ptr<EntryElement>> mEntries;
};

class GlobalMetaElement : public Element {
 public:
  const ElementShell& shell() const override;
  // Sets the process-wide server time.
  bool afterMarshal() override;
  const std::optional<std::string>& anchor() const { return mAnchor; }
  const std::optional<TimeValue>& ttl() const { return mTtl; }
  const std::optional<TimeValue>& serverTime() const { return mServerTime; }

  std::optional<std::string> mAnchor;
  std::optional<TimeValue> mTtl;
  std::optional<TimeValue> mServerTime;
};

class GeneratorElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& url() const { return mUrl; }
  const std::optional<std::string>& version() const { return mVersion; }

  std::optional<std::string> mUrl;
  std::optional<std::string> mVersion;
};

class FeedMetaElement : public Element {
 public:
  const ElementShell& shell() const override;
  const std::optional<std::string>& ctxtId() const { return mCtxtId; }
  const std::optional<std::string>& anchor() const { return mAnchor; }
  const std::optional<std::string>& target() const { return mTarget; }
  const std::optional<int>& order() const { return mOrder; }
  const std::optional<std::string>& feedName() const { return mFeedName; }

  std::optional<std::string> mCtxtId;
  std::optional<std::string> mAnchor;
  std::optional<std::string> mTarget;
  std::optional<int> mOrder;
  std::optional<std::string> mFeedName;
};

class MetaElement : public Element {
 public:
  const ElementShell& shell() const override;
  const GlobalMetaElement* globalMeta() const { return mGlobalMeta.get(); }
  const GeneratorElement* generator() const { return mGenerator.get(); }
  const std::vector<std::unique_ptr<FeedMetaElement>>& feedMetas() const { return mFeedMetas; }

  std::unique_ptr<GlobalMetaElement> mGlobalMeta;
  std::unique_ptr<GeneratorElement> mGenerator;
  std::vector<std::unique_ptr<FeedMetaElement>> mFeedMetas;
};

class SyncPkg : public Element {
 public:
  const ElementShell& shell() const override;
  // Clears the process-wide server time.
  bool afterMarshal() override;

  // Reads the document (XMLParser), then checks that no "ctxt-id" of a feed
  // or entry occurs twice (empty ids aside). False on any failure, with the
  // reasons in errorText(); the tree is then not to be used. Whatever the
  // object held before is dropped first.
  bool parse(const std::string& bytes, const XMLParser& parser = XMLParser());
  const std::string& errorText() const { return mErrorText; }

  const MetaElement* meta() const { return mMeta.get(); }
  const std::vector<std::unique_ptr<FeedElement>>& feeds() const { return mFeeds; }
  // Entries over all feeds.
  size_t entryCount() const;

  // The process-wide server time in seconds (0: none).
  static long serverTime();
  static void setServerTime(long seconds);

  std::unique_ptr<MetaElement> mMeta;
  std::vector<std::unique_ptr<FeedElement>> mFeeds;

 private:
  bool checkDuplicateIds();
  std::string mErrorText;
};
