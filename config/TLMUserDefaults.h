// A key-value store over one preference domain ("suite") of the platform's
// PreferenceStore, for the library's small persistent settings.
//
// Two interchangeable back ends reach the same suite file, so that a mode
// switch never loses data:
//   - preference-library mode: every call is a domain-level call on the
//     PreferenceStore, naming the domain each time;
//   - user-defaults mode: the store keeps a handle on the suite and works
//     through it.
// The mode comes from the main bundle's "UseCFPreferencesLibrary" entry
// (userPreferenceEnabled) and changes only through
// setUseCFPreferencesLibrary.
//
// Misuse (an empty key, a value the store cannot hold) is logged to the
// console logger, never to the diagnostics monitor: the monitor keeps its
// own data in a TLMUserDefaults, so nothing here may call it.
//
// Thread-safe: reads and writes may come from any thread. Instances need
// the installed Platform for their whole life.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ferrolux/Object.h"

class PreferenceSuite;

class TLMUserDefaults {
 public:
  // The main bundle's information dictionary key selecting the back end.
  static constexpr const char* kUseCFPreferencesLibraryKey = "UseCFPreferencesLibrary";

  // "" = the app's own domain.
  explicit TLMUserDefaults(const std::string& suiteName = "");
  ~TLMUserDefaults();
  TLMUserDefaults(const TLMUserDefaults&) = delete;
  TLMUserDefaults& operator=(const TLMUserDefaults&) = delete;

  // The process-wide store of the app's own domain. It never excludes a
  // file from backup.
  static TLMUserDefaults& standardUserDefaults();

  // The main bundle's "UseCFPreferencesLibrary" when it is a number, else
  // true. Computed once per process (tests: once per shared-instance reset).
  static bool userPreferenceEnabled();

  const std::string& suiteName() const { return suiteName_; }

  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  bool useCFPreferencesLibrary() const;
  // Switches the back end; the values stay where they are. Runs
  // synchronously on the global default-priority queue.
  void setUseCFPreferencesLibrary(bool useCFPreferencesLibrary);

  // None for an empty key (logged) or an absent value.
  OptionalObject objectForKey(const std::string& key) const;
  // Stores a string, number, array, dictionary, date or data; nothing
  // removes the key. Other kinds (the null kind, sets, URLs, ...) are
  // refused with a warning and the old value stays.
  void setObject(OptionalObject value, const std::string& key);
  // As setObject; true when the value was stored (or the key removed).
  [[nodiscard]] bool setObjectWithResult(OptionalObject value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Numeric value of the stored object; 0 / false when absent or not a
  // number.
  std::int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  float floatForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  // The stored object, unchecked.
  OptionalObject stringForKey(const std::string& key) const;
  OptionalObject arrayForKey(const std::string& key) const;
  OptionalObject dictionaryForKey(const std::string& key) const;

  void setInteger(std::int64_t value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setFloat(float value, const std::string& key);
  void setBool(bool value, const std::string& key);

  // Removes every value of the domain.
  void clearAllData();

  // Writes unsaved values to disk, then excludes the preferences file from
  // backup until that first succeeds. True when the values are on disk.
  bool synchronize();

 private:
  // The suite to work on in the current mode; null when the domain cannot
  // be opened. `preferenceLibraryMode`, when given, receives the mode used.
  std::shared_ptr<PreferenceSuite> suite(bool* preferenceLibraryMode = nullptr) const;
  void excludePreferenceFileFromBackupIfNeeded();

  const std::string suiteName_;
  // The domain passed to the store: the suite name, or "" for the app's own.
  const std::string appName_;

  mutable std::mutex mutex_;                       // guards the members below
  std::shared_ptr<PreferenceSuite> userDefaults_;  // user-defaults mode only
  bool useCFPreferencesLibrary_ = true;
  bool isPreferenceFileExcluded_ = false;
  // Held while checking and excluding the preferences file.
  std::mutex exclusionMutex_;
};
