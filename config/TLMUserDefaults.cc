#include "config/TLMUserDefaults.h"

#include <unistd.h>

#include <string_view>
#include <vector>

#include "common/SharedInstance.h"
#include "config/TLMFilePaths.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/FileAttributes.h"
#include "platform/Platform.h"
#include "platform/PreferenceStore.h"
#include "platform/PreferenceSuite.h"
#include "utilities/HRNLogger.h"

namespace {

constexpr char kLoggerService[] = "<Ferrolux>";

constexpr long kExcludeFromBackupFailedCode = 41000;
constexpr long kInvalidGetKeyCode = 41001;
constexpr long kInvalidSetKeyCode = 41002;
constexpr long kInvalidValueCode = 41003;
constexpr long kSynchronizeFailedCode = 41004;

constexpr char kInvalidGetKeyMessage[] = "Cannot get object for invalid user default key.";
constexpr char kInvalidSetKeyMessage[] = "Cannot set object for invalid user default key.";
constexpr char kInvalidValueMessage[] =
    "Cannot set invalid object to user defaults. Must be a string or number or an array. Value ";
constexpr char kSynchronizeFailedMessage[] = "Cannot synchronize user defaults to disk";
constexpr char kExcludeFromBackupFailedMessage[] =
    "Failed to exclude preferences file from backup. Error code ";

void logWarning(long code, std::string_view message) {
  HRNLogWarning(kLoggerService, false, HRNMessageCode(code), message);
}

void logError(long code, std::string_view message) {
  HRNLogError(kLoggerService, false, HRNMessageCode(code), message);
}

// The kinds the store accepts at the top level; what is inside arrays and
// dictionaries is checked by the store itself.
bool isStorableKind(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::String:
    case Object::Kind::Number:
    case Object::Kind::Array:
    case Object::Kind::Dictionary:
    case Object::Kind::Date:
    case Object::Kind::Data:
      return true;
    default:
      return false;
  }
}

void logInvalidValue(const Object& value) {
  logWarning(kInvalidValueCode, std::string(kInvalidValueMessage) + value.description());
}

bool computeUserPreferenceEnabled() {
  OptionalObject entry = Platform::current().bundle().objectForInfoDictionaryKey(
      TLMUserDefaults::kUseCFPreferencesLibraryKey);
  if (entry && entry->isNumber()) return entry->boolValue();
  return true;
}

}  // namespace

TLMUserDefaults::TLMUserDefaults(const std::string& suiteName)
    : suiteName_(suiteName), appName_(suiteName) {
  useCFPreferencesLibrary_ = userPreferenceEnabled();
  if (!useCFPreferencesLibrary_) {
    userDefaults_ = Platform::current().preferences().suite(appName_);
  }
}

TLMUserDefaults::~TLMUserDefaults() = default;

TLMUserDefaults& TLMUserDefaults::standardUserDefaults() {
  static SharedInstance<TLMUserDefaults> instance;
  return *instance.get([] {
    auto made = std::make_shared<TLMUserDefaults>();
    made->setIsPreferenceFileExcluded(true);
    return made;
  });
}

bool TLMUserDefaults::userPreferenceEnabled() {
  // A shared instance rather than a plain static, so that each test (each
  // simulated process) reads its own bundle.
  static SharedInstance<const bool> enabled;
  return *enabled.get([] { return std::make_shared<const bool>(computeUserPreferenceEnabled()); });
}

bool TLMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isPreferenceFileExcluded_;
}

void TLMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard<std::mutex> lock(mutex_);
  isPreferenceFileExcluded_ = excluded;
}

bool TLMUserDefaults::useCFPreferencesLibrary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return useCFPreferencesLibrary_;
}

void TLMUserDefaults::setUseCFPreferencesLibrary(bool useCFPreferencesLibrary) {
  Platform::current().dispatch().globalQueue(QueuePriority::Default)->sync([&] {
    // Opened before taking the lock: the store may take its own locks.
    std::shared_ptr<PreferenceSuite> handle;
    if (!useCFPreferencesLibrary) handle = Platform::current().preferences().suite(appName_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (useCFPreferencesLibrary_ != useCFPreferencesLibrary) {
      if (useCFPreferencesLibrary) {
        userDefaults_.reset();
      } else if (userDefaults_ == nullptr) {
        userDefaults_ = std::move(handle);
      }
    }
    useCFPreferencesLibrary_ = useCFPreferencesLibrary;
  });
}

std::shared_ptr<PreferenceSuite> TLMUserDefaults::suite(bool* preferenceLibraryMode) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (preferenceLibraryMode != nullptr) *preferenceLibraryMode = useCFPreferencesLibrary_;
    if (!useCFPreferencesLibrary_) return userDefaults_;
  }
  // Preference-library mode names the domain on every call.
  return Platform::current().preferences().suite(appName_);
}

OptionalObject TLMUserDefaults::objectForKey(const std::string& key) const {
  if (key.empty()) {
    logWarning(kInvalidGetKeyCode, kInvalidGetKeyMessage);
    return std::nullopt;
  }
  std::shared_ptr<PreferenceSuite> store = suite();
  if (store == nullptr) return std::nullopt;
  return store->objectForKey(key);
}

void TLMUserDefaults::setObject(OptionalObject value, const std::string& key) {
  (void)setObjectWithResult(std::move(value), key);
}

bool TLMUserDefaults::setObjectWithResult(OptionalObject value, const std::string& key) {
  if (key.empty()) {
    logWarning(kInvalidSetKeyCode, kInvalidSetKeyMessage);
    return false;
  }
  if (!value) {
    removeObjectForKey(key);
    return true;
  }
  if (!isStorableKind(*value)) {
    logInvalidValue(*value);
    return false;
  }
  std::shared_ptr<PreferenceSuite> store = suite();
  if (store == nullptr) return false;
  // The store refuses what cannot be kept inside arrays and dictionaries
  // (a null, a set, a non-string key) and keeps the old value.
  if (!store->setObject(key, value)) {
    logInvalidValue(*value);
    return false;
  }
  return true;
}

void TLMUserDefaults::removeObjectForKey(const std::string& key) {
  if (key.empty()) {
    logWarning(kInvalidSetKeyCode, kInvalidSetKeyMessage);
    return;
  }
  std::shared_ptr<PreferenceSuite> store = suite();
  if (store != nullptr) store->removeObjectForKey(key);
}

std::int64_t TLMUserDefaults::integerForKey(const std::string& key) const {
  OptionalObject value = objectForKey(key);
  return value && value->isNumber() ? value->int64Value() : 0;
}

double TLMUserDefaults::doubleForKey(const std::string& key) const {
  OptionalObject value = objectForKey(key);
  return value && value->isNumber() ? value->doubleValue() : 0.0;
}

float TLMUserDefaults::floatForKey(const std::string& key) const {
  return static_cast<float>(doubleForKey(key));
}

bool TLMUserDefaults::boolForKey(const std::string& key) const {
  OptionalObject value = objectForKey(key);
  return value && value->isNumber() && value->boolValue();
}

OptionalObject TLMUserDefaults::stringForKey(const std::string& key) const {
  return objectForKey(key);
}

OptionalObject TLMUserDefaults::arrayForKey(const std::string& key) const {
  return objectForKey(key);
}

OptionalObject TLMUserDefaults::dictionaryForKey(const std::string& key) const {
  return objectForKey(key);
}

void TLMUserDefaults::setInteger(std::int64_t value, const std::string& key) {
  setObject(Object::integer(value), key);
}

void TLMUserDefaults::setDouble(double value, const std::string& key) {
  setObject(Object::floating(value), key);
}

void TLMUserDefaults::setFloat(float value, const std::string& key) {
  setObject(Object::floating(static_cast<double>(value)), key);
}

void TLMUserDefaults::setBool(bool value, const std::string& key) {
  setObject(Object::boolean(value), key);
}

void TLMUserDefaults::clearAllData() {
  PreferenceStore& store = Platform::current().preferences();
  if (!useCFPreferencesLibrary()) {
    const std::string domain =
        suiteName_.empty() ? Platform::current().bundle().bundleIdentifier() : suiteName_;
    Error ignored;
    (void)store.removePersistentDomain(domain, &ignored);
    return;
  }
  std::shared_ptr<PreferenceSuite> domain = store.suite(appName_);
  if (domain == nullptr) return;
  const std::vector<std::string> keys = domain->allKeys();
  for (const std::string& key : keys) domain->removeObjectForKey(key);
}

bool TLMUserDefaults::synchronize() {
  bool preferenceLibraryMode = true;
  std::shared_ptr<PreferenceSuite> store = suite(&preferenceLibraryMode);
  const bool saved = store != nullptr && store->synchronize();
  // The platform's user-defaults object does not report a failed save.
  if (!saved && preferenceLibraryMode) logError(kSynchronizeFailedCode, kSynchronizeFailedMessage);
  excludePreferenceFileFromBackupIfNeeded();
  return saved;
}

void TLMUserDefaults::excludePreferenceFileFromBackupIfNeeded() {
  // The quiet path helper: the monitor's own store comes through here.
  const std::string path = tlm_preferencesFilePathQuiet(suiteName_);
  std::lock_guard<std::mutex> exclusion(exclusionMutex_);
  if (isPreferenceFileExcluded() || path.empty() || ::access(path.c_str(), F_OK) != 0) return;
  Error error;
  if (tlm_excludeFileFromBackup(path, &error)) {
    setIsPreferenceFileExcluded(true);
    return;
  }
  logWarning(kExcludeFromBackupFailedCode,
             std::string(kExcludeFromBackupFailedMessage) + Object::error(error).description());
}
