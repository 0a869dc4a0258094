#include "platform/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/AtomicFile.h"
#include "platform/PropertyList.h"

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr std::int64_t kFormatVersion = 1;

// Attribute keys of the stored items, as the original platform names them.
constexpr const char* kServiceKey = "svce";
constexpr const char* kAccountKey = "acct";
constexpr const char* kGenericKey = "gena";
constexpr const char* kAccessibilityKey = "pdmn";
constexpr const char* kDataKey = "v_Data";
constexpr const char* kVersionKey = "version";
constexpr const char* kItemsKey = "items";

Object encodeItem(const KeychainItem& item) {
  ObjectDictionary entries;
  entries.emplace(Object(kServiceKey), Object(item.service));
  entries.emplace(Object(kAccountKey), Object(item.account));
  entries.emplace(Object(kGenericKey), Object::data(item.generic));
  entries.emplace(Object(kAccessibilityKey), Object(item.accessibility));
  entries.emplace(Object(kDataKey), Object::data(item.data));
  return Object::dictionary(std::move(entries));
}

bool decodeString(const Object& entry, const char* key, std::string* out) {
  const Object* value = entry.objectForKey(key);
  if (!value || !value->isString()) return false;
  *out = *value->asString();
  return true;
}

bool decodeBytes(const Object& entry, const char* key, Bytes* out) {
  const Object* value = entry.objectForKey(key);
  if (!value || !value->asData()) return false;
  *out = *value->asData();
  return true;
}

bool decodeItems(const Object& root, std::vector<KeychainItem>* items) {
  const Object* version = root.objectForKey(kVersionKey);
  const Object* list = root.objectForKey(kItemsKey);
  if (!version || !version->isNumber() || version->int64Value() != kFormatVersion || !list ||
      !list->isArray()) {
    return false;
  }
  for (const Object& entry : *list->asArray()) {
    KeychainItem item;
    if (!decodeString(entry, kServiceKey, &item.service) ||
        !decodeString(entry, kAccountKey, &item.account) ||
        !decodeBytes(entry, kGenericKey, &item.generic) ||
        !decodeString(entry, kAccessibilityKey, &item.accessibility) ||
        !decodeBytes(entry, kDataKey, &item.data)) {
      return false;
    }
    items->push_back(std::move(item));
  }
  return true;
}

bool sameKey(const KeychainItem& a, const KeychainItem& b) {
  return a.service == b.service && a.account == b.account;
}

}  // namespace

// One locked read-modify-write of the items file. Holds the in-process
// mutex and an exclusive lock on the lock file for its lifetime.
class Keychain::Session {
 public:
  Session(Keychain& keychain) : keychain_(keychain), lock_(keychain.mutex_) {
    if (!AtomicFile::makeDirectories(keychain_.folderPath_, kFolderMode, nullptr)) return;
    std::string lockPath = keychain_.folderPath_ + "/" + kLockFileName;
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
    if (lockFd_ < 0) return;
    while (::flock(lockFd_, LOCK_EX) != 0) {
      if (errno != EINTR) return;
    }
    locked_ = true;
  }

  ~Session() {
    if (lockFd_ >= 0) ::close(lockFd_);  // also releases the lock
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Reads the items. A file that cannot be decoded is moved aside to
  // "keychain.plist.corrupt" (kept for recovery) and reads as empty.
  bool load(std::vector<KeychainItem>* items) {
    if (!locked_) return false;
    Bytes bytes;
    Error error;
    std::string path = itemsPath();
    if (!AtomicFile::read(path, &bytes, &error)) return error.code == ENOENT;
    OptionalObject root = PropertyList::read(bytes, nullptr);
    if (root && decodeItems(*root, items)) return true;
    items->clear();
    std::string aside = path + ".corrupt";
    return ::rename(path.c_str(), aside.c_str()) == 0;
  }

  bool save(const std::vector<KeychainItem>& items) {
    ObjectArray list;
    for (const KeychainItem& item : items) list.push_back(encodeItem(item));
    ObjectDictionary root;
    root.emplace(Object(kVersionKey), Object::integer(kFormatVersion));
    root.emplace(Object(kItemsKey), Object::array(std::move(list)));
    Bytes bytes;
    if (!PropertyList::writeBinary(Object::dictionary(std::move(root)), &bytes, nullptr)) {
      return false;
    }
    return AtomicFile::write(itemsPath(), bytes, kFileMode, nullptr);
  }

 private:
  std::string itemsPath() const { return keychain_.folderPath_ + "/" + kItemsFileName; }

  Keychain& keychain_;
  std::lock_guard<std::mutex> lock_;
  int lockFd_ = -1;
  bool locked_ = false;
};

Keychain::Keychain(std::string folderPath) : folderPath_(std::move(folderPath)) {}

bool Keychain::matches(const KeychainItem& item, const KeychainQuery& query) {
  return (!query.service || *query.service == item.service) &&
         (!query.account || *query.account == item.account) &&
         (!query.generic || *query.generic == item.generic);
}

KeychainStatus Keychain::add(const KeychainItem& item) {
  if (failing_.load()) return kKeychainIOError;
  Session session(*this);
  std::vector<KeychainItem> items;
  if (!session.load(&items)) return kKeychainIOError;
  for (const KeychainItem& existing : items) {
    if (sameKey(existing, item)) return kKeychainDuplicateItem;
  }
  items.push_back(item);
  return session.save(items) ? kKeychainSuccess : kKeychainIOError;
}

KeychainStatus Keychain::update(const KeychainQuery& query, const KeychainUpdate& changes) {
  if (failing_.load()) return kKeychainIOError;
  Session session(*this);
  std::vector<KeychainItem> items;
  if (!session.load(&items)) return kKeychainIOError;
  bool found = false;
  for (KeychainItem& item : items) {
    if (!matches(item, query)) continue;
    found = true;
    if (changes.account) item.account = *changes.account;
    if (changes.generic) item.generic = *changes.generic;
    if (changes.accessibility) item.accessibility = *changes.accessibility;
    if (changes.data) item.data = *changes.data;
  }
  if (!found) return kKeychainItemNotFound;
  for (std::size_t i = 0; i < items.size(); ++i) {
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (sameKey(items[i], items[j])) return kKeychainDuplicateItem;
    }
  }
  return session.save(items) ? kKeychainSuccess : kKeychainIOError;
}

KeychainStatus Keychain::copyMatching(const KeychainQuery& query, KeychainItem* item) {
  std::vector<KeychainItem> items;
  KeychainStatus status = copyAllMatching(query, &items);
  if (status == kKeychainSuccess && item) *item = std::move(items.front());
  return status;
}

KeychainStatus Keychain::copyAllMatching(const KeychainQuery& query,
                                         std::vector<KeychainItem>* found) {
  if (failing_.load()) return kKeychainIOError;
  Session session(*this);
  std::vector<KeychainItem> items;
  if (!session.load(&items)) return kKeychainIOError;
  std::vector<KeychainItem> result;
  for (KeychainItem& item : items) {
    if (matches(item, query)) result.push_back(std::move(item));
  }
  if (result.empty()) return kKeychainItemNotFound;
  if (found) *found = std::move(result);
  return kKeychainSuccess;
}

KeychainStatus Keychain::deleteMatching(const KeychainQuery& query) {
  if (failing_.load()) return kKeychainIOError;
  Session session(*this);
  std::vector<KeychainItem> items;
  if (!session.load(&items)) return kKeychainIOError;
  std::vector<KeychainItem> kept;
  for (KeychainItem& item : items) {
    if (!matches(item, query)) kept.push_back(std::move(item));
  }
  if (kept.size() == items.size()) return kKeychainItemNotFound;
  return session.save(kept) ? kKeychainSuccess : kKeychainIOError;
}
