#include "config/TLMKeychainWrapper.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "common/SharedInstance.h"
#include "common/StringHelpers.h"
#include "platform/Platform.h"

namespace {

Bytes utf8Bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Once per process (a new test process life starts over).
struct MigrationState {
  std::once_flag once;
  std::atomic<bool> ran{false};
};

std::shared_ptr<MigrationState> migrationState() {
  static SharedInstance<MigrationState> instance;
  return instance.get([] { return std::make_shared<MigrationState>(); });
}

}  // namespace

std::optional<KeychainQuery> TLMKeychainWrapper::searchDirectoryForIdentifier(
    const std::string& identifier, const std::string& appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  KeychainQuery query;
  query.service = appID;
  query.generic = utf8Bytes(identifier);
  query.account = identifier;
  return query;
}

std::optional<KeychainQuery> TLMKeychainWrapper::legacyQuery(const std::string& identifier,
                                                             const std::string& appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  KeychainQuery query;
  query.service = appID;
  query.account = identifier;
  return query;
}

bool TLMKeychainWrapper::upsertKeychainValue(const std::string& value,
                                             const std::string& identifier,
                                             const std::string& appID) {
  if (value.empty()) return false;
  std::optional<KeychainQuery> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  Keychain& keychain = Platform::current().keychain();
  // An existing item is updated even when its data is empty: adding would
  // collide with it and the value could never be stored.
  KeychainStatus found = keychain.copyMatching(*query, nullptr);
  if (found == kKeychainSuccess) {
    KeychainUpdate update;
    update.data = utf8Bytes(value);
    return keychain.update(*query, update) == kKeychainSuccess;
  }
  if (found != kKeychainItemNotFound) return false;
  KeychainItem item;
  item.service = appID;
  item.account = identifier;
  item.generic = utf8Bytes(identifier);
  item.accessibility = kAccessibility;
  item.data = utf8Bytes(value);
  return keychain.add(item) == kKeychainSuccess;
}

std::optional<std::string> TLMKeychainWrapper::keychainValueWithIdentifier(
    const std::string& identifier, const std::string& appID) {
  std::shared_ptr<MigrationState> state = migrationState();
  std::call_once(state->once, [&] {
    state->ran.store(true);
    migrateKeychainDataToStringWithIdentifier(identifier, appID);
  });
  std::optional<Bytes> data = keychainDataWithIdentifier(identifier, appID);
  if (!data) return std::nullopt;
  std::string text(data->begin(), data->end());
  if (!tlm_isValidUTF8(text)) return std::nullopt;
  return text;
}

void TLMKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                           const std::string& appID) {
  std::optional<KeychainQuery> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return;
  (void)Platform::current().keychain().deleteMatching(*query);
}

bool TLMKeychainWrapper::isMigrationNeededForIdentifier(const std::string& identifier,
                                                        const std::string& appID) {
  std::optional<KeychainQuery> query = legacyQuery(identifier, appID);
  if (!query) return false;
  KeychainItem item;
  if (Platform::current().keychain().copyMatching(*query, &item) != kKeychainSuccess) {
    return false;
  }
  return item.account != identifier || item.generic != utf8Bytes(identifier);
}

bool TLMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(const std::string& identifier,
                                                                   const std::string& appID) {
  if (!isMigrationNeededForIdentifier(identifier, appID)) return false;
  std::optional<KeychainQuery> query = legacyQuery(identifier, appID);
  KeychainItem item;
  Keychain& keychain = Platform::current().keychain();
  if (keychain.copyMatching(*query, &item) != kKeychainSuccess || item.data.empty()) return false;
  KeychainUpdate update;
  update.generic = utf8Bytes(identifier);
  update.account = identifier;
  return keychain.update(*query, update) == kKeychainSuccess;
}

std::optional<Bytes> TLMKeychainWrapper::keychainDataWithIdentifier(const std::string& identifier,
                                                                    const std::string& appID) {
  std::optional<KeychainQuery> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  KeychainItem item;
  if (Platform::current().keychain().copyMatching(*query, &item) != kKeychainSuccess) {
    return std::nullopt;
  }
  return item.data;
}

bool TLMKeychainWrapper::TEST_migrationRan() { return migrationState()->ran.load(); }
