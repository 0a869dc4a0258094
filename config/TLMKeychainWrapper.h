// A small string store in the keychain that survives deleting the app:
// generic-password items with service = the app ID (the bundle
// identifier), generic attribute = account = the item identifier, data =
// the value's UTF-8 bytes, accessibility
// "kSecAttrAccessibleAlwaysThisDeviceOnly".
//
// Older releases wrote the generic attribute as raw data rather than the
// identifier's text; such items are found by service and account and
// rewritten once per process, before the first read (see
// keychainValueWithIdentifier). Every call blocks on file I/O through the
// installed Platform's keychain: call it off the main queue. Safe from any
// thread. Platform errors answer false or none; nothing is retried.
#pragma once

#include <optional>
#include <string>

#include "ferrolux/Object.h"
#include "platform/Keychain.h"

class TLMKeychainWrapper {
 public:
  static constexpr const char* kAccessibility = "kSecAttrAccessibleAlwaysThisDeviceOnly";

  // Stores `value` under `identifier`: replaces the data of an existing
  // item, else adds one. False for an empty value, identifier or app ID,
  // and on any keychain error.
  [[nodiscard]] static bool upsertKeychainValue(const std::string& value,
                                                const std::string& identifier,
                                                const std::string& appID);
  // The stored string, or none (no item, not UTF-8, keychain error). The
  // first call of the process first migrates the item of that call.
  [[nodiscard]] static std::optional<std::string> keychainValueWithIdentifier(
      const std::string& identifier, const std::string& appID);
  // Deletes every matching item.
  static void deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                const std::string& appID);

  // Rewrites a legacy item's generic and account attributes to the
  // identifier's text when it needs it and holds data. Returns whether an
  // item was rewritten.
  static bool migrateKeychainDataToStringWithIdentifier(const std::string& identifier,
                                                        const std::string& appID);
  // True when an item of the service and account exists whose account or
  // generic attribute is not the identifier's text.
  [[nodiscard]] static bool isMigrationNeededForIdentifier(const std::string& identifier,
                                                           const std::string& appID);
  // The query for the item; none when identifier or app ID is empty.
  [[nodiscard]] static std::optional<KeychainQuery> searchDirectoryForIdentifier(
      const std::string& identifier, const std::string& appID);
  // The data of one matching item, or none.
  [[nodiscard]] static std::optional<Bytes> keychainDataWithIdentifier(
      const std::string& identifier, const std::string& appID);

  // Whether this process ran the migration already.
  static bool TEST_migrationRan();

 private:
  // Where legacy items are looked for: service and account only.
  static std::optional<KeychainQuery> legacyQuery(const std::string& identifier,
                                                  const std::string& appID);
};
