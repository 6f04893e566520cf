// The content cache: containers, channels and items (the stored news
// objects) and asset files, kept under QUORVEL_HOME ("cache.db" and the
// directory "assets/"). docs/content-cache.md describes the files.
//
// Threads: NR_ContentCache may be called from any thread; every call is
// serialised by one mutex inside. A stream returned by getOutputStream
// belongs to the caller's thread until it is handed back to
// closeOutputStream. Container, NewsObject, Channel, Item and AttrMap are
// plain values: one object on one thread at a time.
//
// Every operation of NR_ContentCache returns 0 on success and non-zero on
// failure (cacheRemaining excepted), and logs one line per failure.
#pragma once

#include <climits>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Types.h"

// Text attributes of a news object, each under a key and a language
// (qualifier), e.g. ("flp2.channel.syncanchor", "_default_").
class AttrMap {
 public:
  using Key = std::pair<qvTypes::ID, qvTypes::ID>;  // (key, language)

  // The value under (key, language), or defaultValue when there is none.
  qvTypes::String getString(const qvTypes::ID& key, const qvTypes::String& defaultValue,
                            const qvTypes::ID& language) const;
  // Sets (or replaces) the value under (key, language).
  void putString(const qvTypes::ID& key, const qvTypes::String& value, const qvTypes::ID& language);
  bool has(const qvTypes::ID& key, const qvTypes::ID& language) const;
  // False when there was nothing to remove.
  bool remove(const qvTypes::ID& key, const qvTypes::ID& language);
  void clear() { mValues.clear(); }
  bool empty() const { return mValues.empty(); }
  const std::map<Key, qvTypes::String>& entries() const { return mValues; }

  bool operator==(const AttrMap& other) const { return mValues == other.mValues; }
  bool operator!=(const AttrMap& other) const { return !(*this == other); }

 private:
  std::map<Key, qvTypes::String> mValues;
};

// An ordered list of channel ids.
class Container {
 public:
  const std::vector<qvTypes::ID>& getChannelIds() const { return mChannelIds; }
  void setChannelIds(const std::vector<qvTypes::ID>& ids) { mChannelIds = ids; }
  void addChannelId(const qvTypes::ID& id) { mChannelIds.push_back(id); }

  bool operator==(const Container& other) const { return mChannelIds == other.mChannelIds; }
  bool operator!=(const Container& other) const { return !(*this == other); }

 private:
  std::vector<qvTypes::ID> mChannelIds;
};

// What channels and items have in common.
class NewsObject {
 public:
  // Dates are seconds since 1970. "No activation date" is the earliest and
  // "no expiration date" the latest possible time, so that a range with one
  // open end still compares correctly.
  static constexpr long NO_ACTIVATION_DATE = 0;
  static constexpr long NO_EXPIRATION_DATE = LONG_MAX;

  enum Priority { HIGH = 0, DEFAULT = 1000 };

  // Bits of the flags byte. The FLP 1.x "excerpt" flag is
  // FLAG_DISPLAY_IN_EXCERPT.
  static constexpr unsigned char FLAG_DISPLAY_IN_EXCERPT = 0x02;
  static constexpr unsigned char FLAG_SHOW_EXCERPT = 0x04;

  // A link: its URL, its type text (for FLP 1.x the "rel" text) and a
  // relation number (0 for the launch/alternate link).
  struct Link {
    Link() = default;
    Link(const qvTypes::String& linkUrl, const qvTypes::String& linkType, int linkRelation)
        : url(linkUrl), type(linkType), relation(linkRelation) {}
    qvTypes::String url;
    qvTypes::String type;
    int relation = 0;
    bool operator==(const Link& o) const { return url == o.url && type == o.type && relation == o.relation; }
    bool operator!=(const Link& o) const { return !(*this == o); }
  };

  // A media record: one piece of content the object refers to, usually an
  // asset (assetId) that may be fetched from url.
  struct Media {
    qvTypes::ID name;
    qvTypes::ID mimeType;
    qvTypes::ID mode;
    qvTypes::ID assetId;
    qvTypes::String url;
    qvTypes::String text;
    bool operator==(const Media& o) const {
      return name == o.name && mimeType == o.mimeType && mode == o.mode && assetId == o.assetId &&
             url == o.url && text == o.text;
    }
    bool operator!=(const Media& o) const { return !(*this == o); }
  };
  using MediaMap = std::map<std::string, Media>;

  explicit NewsObject(const qvTypes::ID& id = qvTypes::ID()) : mId(id) {}
  virtual ~NewsObject() = default;
  NewsObject(const NewsObject&) = default;
  NewsObject& operator=(const NewsObject&) = default;

  // Saves this object in the process-wide content cache under its own id.
  // 0 when stored.
  virtual int store() const = 0;

  const qvTypes::ID& getId() const { return mId; }
  void setId(const qvTypes::ID& id) { mId = id; }

  const qvTypes::String& getTitle() const { return mTitle; }
  void setTitle(const qvTypes::String& title) { mTitle = title; }
  const qvTypes::String& getSummary() const { return mSummary; }
  void setSummary(const qvTypes::String& summary) { mSummary = summary; }

  // The entry type, i.e. the layout ("cs", "csio").
  const qvTypes::ID& getEntryType() const { return mEntryType; }
  void setEntryType(const qvTypes::ID& entryType) { mEntryType = entryType; }

  unsigned char getFlags() const { return mFlags; }
  void setFlags(unsigned char flags) { mFlags = flags; }
  bool hasFlag(unsigned char bit) const { return (mFlags & bit) != 0; }
  void setFlag(unsigned char bit, bool on) { mFlags = static_cast<unsigned char>(on ? (mFlags | bit) : (mFlags & ~bit)); }

  int getPriority() const { return mPriority; }
  void setPriority(int priority) { mPriority = priority; }
  int getOrder() const { return mOrder; }
  void setOrder(int order) { mOrder = order; }

  long getActivationDate() const { return mActivationDate; }
  void setActivationDate(long seconds) { mActivationDate = seconds; }
  long getExpirationDate() const { return mExpirationDate; }
  void setExpirationDate(long seconds) { mExpirationDate = seconds; }

  // The launch link; an empty URL means none.
  const Link& getLink() const { return mLink; }
  void setLink(const Link& link) { mLink = link; }

  const qvTypes::ID& getTemplateId() const { return mTemplateId; }
  void setTemplateId(const qvTypes::ID& id) { mTemplateId = id; }
  const qvTypes::String& getTemplateUrl() const { return mTemplateUrl; }
  void setTemplateUrl(const qvTypes::String& url) { mTemplateUrl = url; }

  // Media by name (e.g. "image").
  const MediaMap& getMediaMap() const { return mMedia; }
  void setMediaMap(const MediaMap& media) { mMedia = media; }
  // Excerpt media by key; empty when the object has no excerpt.
  const MediaMap& getExcerptMap() const { return mExcerpt; }
  void setExcerptMap(const MediaMap& excerpt) { mExcerpt = excerpt; }
  // Contents by name (FLP 1.x "content" elements).
  const MediaMap& getContentMap() const { return mContent; }
  void setContentMap(const MediaMap& content) { mContent = content; }
  // The excerpt text (FLP 1.x content named "excerpt").
  const qvTypes::String& getExcerptText() const { return mExcerptText; }
  void setExcerptText(const qvTypes::String& text) { mExcerptText = text; }

  AttrMap& getAttributes() { return mAttributes; }
  const AttrMap& getAttributes() const { return mAttributes; }

 protected:
  bool sameFields(const NewsObject& o) const;

 private:
  qvTypes::ID mId;
  qvTypes::String mTitle;
  qvTypes::String mSummary;
  qvTypes::ID mEntryType;
  unsigned char mFlags = 0;
  int mPriority = DEFAULT;
  int mOrder = 0;
  long mActivationDate = NO_ACTIVATION_DATE;
  long mExpirationDate = NO_EXPIRATION_DATE;
  Link mLink;
  qvTypes::ID mTemplateId;
  qvTypes::String mTemplateUrl;
  MediaMap mMedia;
  MediaMap mExcerpt;
  MediaMap mContent;
  qvTypes::String mExcerptText;
  AttrMap mAttributes;
};

class Channel : public NewsObject {
 public:
  explicit Channel(const qvTypes::ID& id = qvTypes::ID()) : NewsObject(id) {}
  int store() const override;

  // The channel's items, in order (an id may occur more than once).
  const std::vector<qvTypes::ID>& getItemIds() const { return mItemIds; }
  void setItemIds(const std::vector<qvTypes::ID>& ids) { mItemIds = ids; }
  void addItemId(const qvTypes::ID& id) { mItemIds.push_back(id); }

  // The template used for the channel's entries.
  const qvTypes::ID& getEntryTemplateId() const { return mEntryTemplateId; }
  void setEntryTemplateId(const qvTypes::ID& id) { mEntryTemplateId = id; }
  const qvTypes::String& getEntryTemplateUrl() const { return mEntryTemplateUrl; }
  void setEntryTemplateUrl(const qvTypes::String& url) { mEntryTemplateUrl = url; }

  bool operator==(const Channel& o) const;
  bool operator!=(const Channel& o) const { return !(*this == o); }

 private:
  std::vector<qvTypes::ID> mItemIds;
  qvTypes::ID mEntryTemplateId;
  qvTypes::String mEntryTemplateUrl;
};

class Item : public NewsObject {
 public:
  explicit Item(const qvTypes::ID& id = qvTypes::ID()) : NewsObject(id) {}
  int store() const override;

  int getDisplayCount() const { return mDisplayCount; }
  void setDisplayCount(int count) { mDisplayCount = count; }
  // Milliseconds.
  long getDisplayTime() const { return mDisplayTime; }
  void setDisplayTime(long millis) { mDisplayTime = millis; }
  // Seconds since 1970.
  long getIssued() const { return mIssued; }
  void setIssued(long seconds) { mIssued = seconds; }

  const qvTypes::String& getAuthorName() const { return mAuthorName; }
  const qvTypes::String& getAuthorUrl() const { return mAuthorUrl; }
  const qvTypes::String& getAuthorEmail() const { return mAuthorEmail; }
  void setAuthor(const qvTypes::String& name, const qvTypes::String& url, const qvTypes::String& email) {
    mAuthorName = name;
    mAuthorUrl = url;
    mAuthorEmail = email;
  }

  bool operator==(const Item& o) const;
  bool operator!=(const Item& o) const { return !(*this == o); }

 private:
  int mDisplayCount = 0;
  long mDisplayTime = 0;
  long mIssued = 0;
  qvTypes::String mAuthorName;
  qvTypes::String mAuthorUrl;
  qvTypes::String mAuthorEmail;
};

class NR_ContentCache {
 public:
  struct AssetInfo {
    qvTypes::ID id;
    std::string mime;
    long long size = 0;
    std::string path;
  };

  // The process-wide cache (opened on first use under qvhome::path()), or
  // null when it cannot be opened (the reason is logged once).
  static NR_ContentCache* getInstance();
  // Closes the process-wide cache so that the next getInstance opens it
  // again under the QUORVEL_HOME then in force (tests). Call only while no
  // other thread uses the cache; pointers obtained before are invalid.
  static void resetForTesting();

  // get fills the object when the id is stored (and leaves it untouched when
  // not); save stores it under id, replacing what was there, atomically.
  int get(const qvTypes::ID& id, Container& container);
  int save(const qvTypes::ID& id, const Container& container);
  int get(const qvTypes::ID& id, Channel& channel);
  int save(const qvTypes::ID& id, const Channel& channel);
  int get(const qvTypes::ID& id, Item& item);
  int save(const qvTypes::ID& id, const Item& item);
  // Removes the stored object of that kind (the argument only selects the
  // kind). Non-zero when there was none. Assets are not touched.
  int remove(const qvTypes::ID& id, const Channel& channel);
  int remove(const qvTypes::ID& id, const Item& item);
  int removeContainer(const qvTypes::ID& id);
  int removeAsset(const qvTypes::ID& id);

  // The file of a stored asset; path is untouched on failure.
  int getPath(const qvTypes::ID& id, std::string& path);

  // A stream for a new asset of sizeBytes bytes (0: size not known). The
  // data stays invisible until closeOutputStream commits it. Null when the
  // id is empty, the space is short or the file cannot be made. The stream
  // belongs to the cache: hand it back to closeOutputStream, never delete it.
  std::ofstream* getOutputStream(const qvTypes::ID& id, long sizeBytes);
  // Flushes the data to disk and makes it the asset id with that MIME type,
  // replacing an older one. The stream is freed in every case. Fails (and
  // keeps nothing) when writing failed or fewer/more bytes than announced
  // were written.
  int closeOutputStream(const qvTypes::ID& id, std::ofstream* stream, const std::string& mime);

  // Start-up repair: removes leftover temporary files, checks the database
  // (a damaged one is set aside and started afresh), drops assets whose file
  // is missing, has the wrong size or was changed since it was stored (so
  // that it is fetched again), and deletes files no asset refers to.
  int sync();
  // Free space under QUORVEL_HOME in kilobytes; -1 when unknown. Tests may
  // stand in a figure with the environment variable QUORVEL_TEST_FREE_KB.
  long cacheRemaining();

  // Housekeeping (ContentCacheHousekeeping.cpp). An object is live when it
  // is reachable from a stored container: a container names its channels, a
  // channel its items and assets (templates, media, excerpts, contents), an
  // item its assets. The store keeps these references beside the objects,
  // so nothing is decoded to find what is live. Containers and channels are
  // never removed here; items and assets are.
  //
  // housekeep notes every unreachable item and asset (with the time it was
  // first seen unreachable), forgets those that are reachable again, and
  // removes those unreachable for at least graceSeconds (0: at once; a
  // negative value is refused). Rows go in one transaction; their files are
  // unlinked after it commits (sync removes any a crash left). Fails inside
  // an open BatchScope. The no-argument form reads the grace from the
  // settings (orphanGraceSeconds).
  int housekeep(long long graceSeconds);
  int housekeep();

  struct Usage {
    long long liveItems = 0;
    long long liveItemBytes = 0;  // bytes of the stored rows
    long long unreachableItems = 0;
    long long unreachableItemBytes = 0;
    long long liveAssets = 0;
    long long liveAssetBytes = 0;  // file sizes
    long long unreachableAssets = 0;
    long long unreachableAssetBytes = 0;
    // Seconds since the oldest unreachable object was first seen so by
    // housekeeping; -1 when none has been.
    long long oldestUnreachableSeconds = -1;
    long freeKb = -1;  // cacheRemaining()
  };
  int usage(Usage& out);

  // The settings of housekeeping, read each time, with bad values replaced
  // by the nearest sane one (logged once per value): the grace
  // ("QVCore.Storage.OrphanGraceSeconds", default 604800; a negative value
  // is taken as the default, never as "at once") and the floor of free space
  // before asset downloads ("QVCore.Storage.MinFreeKB", default 10240;
  // negative is 0, and more than half the file system is half of it).
  static long long orphanGraceSeconds();
  long minFreeKb();
  // Called by an engine before its asset downloads: 0 when at least
  // minFreeKb() is free (running housekeeping first when it is not), 1 with
  // one log line naming the figures when the downloads must be skipped.
  int checkAssetSpace();

  // Test seam: called with the stage name at points of housekeeping where a
  // crash is of interest ("rows-deleted" inside the transaction,
  // "committed", "file-unlinked" after the first file). Null: none.
  static void setHousekeepingProbeForTesting(void (*probe)(const char* stage));

  // For tools.
  std::vector<qvTypes::ID> listContainerIds();
  std::vector<qvTypes::ID> listChannelIds();
  std::vector<qvTypes::ID> listItemIds();
  std::vector<AssetInfo> listAssets();

  // The file name (inside assets/) used for an asset id: never empty, never
  // "." or "..", never containing "/" or NUL, never a temporary file's name.
  static std::string assetFileName(const qvTypes::ID& id);

  // Groups the writes of a stretch of work into one database transaction:
  // other processes see none of them, and a crash keeps none of them, until
  // the outermost scope commits; one commit also costs one sync to disk
  // instead of one per object. A scope destroyed without a successful
  // commit() undoes every write made through this cache since it began.
  // Scopes nest: an inner scope is a savepoint, whose rollback undoes only
  // its own writes and whose commit hands them to the enclosing scope.
  // Close scopes in the reverse order of opening them.
  //
  // All or nothing: when a write inside the batch fails in SQLite (a full
  // disk, an I/O error, a lock not given up in time), or SQLite ends the
  // transaction by itself, the batch is broken: every later write fails at
  // once, every commit() fails, and the outermost scope undoes everything.
  // A write that is refused for its own reasons (no id, nothing to remove)
  // does not break the batch.
  //
  // Threads: while a scope is open, every write of this process goes into
  // it, whichever thread makes it; open, commit and destroy it on the thread
  // that does the writes. It holds the database's write lock, so writers in
  // other processes wait (up to the "QVCore.Storage.LockWaitSeconds"
  // setting, as does its own beginning): keep it short and never hold it
  // across network exchanges. Asset streams are best closed outside a scope
  // (their file is renamed into place at once, its row only committed with
  // the scope).
  class BatchScope {
   public:
    explicit BatchScope(NR_ContentCache& cache);
    ~BatchScope();
    BatchScope(const BatchScope&) = delete;
    BatchScope& operator=(const BatchScope&) = delete;

    // False when the transaction could not be begun (logged). The scope is
    // still open: until it closes, every write fails and so does commit().
    bool active() const { return mActive; }
    // 0 when the writes were handed on (inner) or committed (outermost).
    // After a failure they are undone (an inner scope's with the whole
    // batch when the batch is broken). A second call fails. Call it whether
    // or not the scope is active.
    int commit();

   private:
    // Ends the scope, keeping its writes when keep and nothing broke; true
    // when they were kept.
    bool close(bool keep);

    NR_ContentCache& mCache;
    std::string mSavepoint;  // empty for the outermost scope
    bool mActive = false;
    bool mOpen = false;
  };

  ~NR_ContentCache();
  NR_ContentCache(const NR_ContentCache&) = delete;
  NR_ContentCache& operator=(const NR_ContentCache&) = delete;
  class Impl;

 private:
  explicit NR_ContentCache(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> mImpl;
};
