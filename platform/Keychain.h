// The keychain: generic-password items that live outside the app
// container, so that they survive deleting the app.
//
// Items are kept in one binary property list file in the keychain folder
// (folder mode 0700, file mode 0600: readable by the owner only): a
// dictionary {"version": 1, "items": [...]}, each item a dictionary with
// the platform's attribute keys "svce" (string), "acct" (string), "gena"
// (data), "pdmn" (string) and "v_Data" (data), in the order added. A file
// that cannot be decoded is moved aside to "keychain.plist.corrupt". Every
// operation reads the file, changes it and replaces it atomically while
// holding an exclusive lock on "keychain.lock", so two processes (or two
// Keychain objects) on one folder never lose each other's writes. Status
// codes follow the original platform. Thread-safe; operations block on
// file I/O, so call them off the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

using KeychainStatus = std::int32_t;
inline constexpr KeychainStatus kKeychainSuccess = 0;
inline constexpr KeychainStatus kKeychainIOError = -36;
inline constexpr KeychainStatus kKeychainParameterError = -50;
inline constexpr KeychainStatus kKeychainDuplicateItem = -25299;
inline constexpr KeychainStatus kKeychainItemNotFound = -25300;

struct KeychainItem {
  std::string service;
  std::string account;
  Bytes generic;              // the generic attribute
  std::string accessibility;  // for example "kSecAttrAccessibleAlwaysThisDeviceOnly"
  Bytes data;                 // the secret

  friend bool operator==(const KeychainItem&, const KeychainItem&) = default;
};

// Attributes an item must have to match; absent ones match anything.
struct KeychainQuery {
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<Bytes> generic;
};

// Attributes to change in every matching item; absent ones are kept.
struct KeychainUpdate {
  std::optional<std::string> account;
  std::optional<Bytes> generic;
  std::optional<std::string> accessibility;
  std::optional<Bytes> data;
};

class Keychain {
 public:
  static constexpr const char* kItemsFileName = "keychain.plist";
  static constexpr const char* kLockFileName = "keychain.lock";

  // `folderPath` is created on first use.
  explicit Keychain(std::string folderPath);

  // Adds `item`. kKeychainDuplicateItem when an item with the same service
  // and account exists.
  [[nodiscard]] KeychainStatus add(const KeychainItem& item);
  // Changes every item matching `query`. kKeychainItemNotFound when none
  // matches; kKeychainDuplicateItem (and nothing changed) when the change
  // would give two items the same service and account.
  [[nodiscard]] KeychainStatus update(const KeychainQuery& query, const KeychainUpdate& changes);
  // The first matching item (in the order they were added).
  [[nodiscard]] KeychainStatus copyMatching(const KeychainQuery& query, KeychainItem* item);
  [[nodiscard]] KeychainStatus copyAllMatching(const KeychainQuery& query,
                                               std::vector<KeychainItem>* items);
  // Deletes every matching item; kKeychainItemNotFound when none matches.
  [[nodiscard]] KeychainStatus deleteMatching(const KeychainQuery& query);

  const std::string& folderPath() const { return folderPath_; }

  // While on, every operation returns kKeychainIOError and changes nothing.
  void TEST_setFailure(bool failing) { failing_.store(failing); }

 private:
  class Session;

  static bool matches(const KeychainItem& item, const KeychainQuery& query);

  const std::string folderPath_;
  std::mutex mutex_;
  std::atomic<bool> failing_{false};
};
