// The preference store: one shared PreferenceSuite per suite name per
// process, kept as "<container>/Library/Preferences/<suite>.plist". The
// app's own ("standard") domain is named by its bundle identifier.
//
// Unsaved changes are saved shortly after they are made, when the
// application posts kDidEnterBackgroundNotification, at normal process
// exit (std::atexit) and when the store is destroyed; the production store
// is never destroyed. Problems (a preferences file that cannot be read and
// is set aside, a failed save) go to the diagnostics handler.
// Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ferrolux/Object.h"
#include "platform/NotificationCenter.h"
#include "platform/PreferenceSuite.h"

class Dispatch;

class PreferenceStore {
 public:
  // Posted by the Application when the app moves to the background.
  static constexpr const char* kDidEnterBackgroundNotification =
      "UIApplicationDidEnterBackgroundNotification";
  // The standard domain's name when the app has no bundle identifier.
  static constexpr const char* kFallbackStandardDomainName = "application";
  static constexpr const char* kPreferencesFolder = "Library/Preferences";
  static constexpr const char* kFileExtension = ".plist";

  static constexpr const char* kErrorDomain = "PreferenceStore";
  enum ErrorCode : long {
    kCorruptFile = 1,  // a preferences file could not be read; it was set aside
    kWriteFailed = 2,  // saving failed; the values stay in memory, unsaved
    kInvalidName = 3,  // a suite name that cannot name a file
  };

  using DiagnosticsHandler = PreferenceSuite::DiagnosticsHandler;

  // `dispatch` and `center` must outlive the store.
  PreferenceStore(std::string containerPath, Dispatch& dispatch, NotificationCenter& center,
                  std::string bundleIdentifier);
  // Saves unsaved changes.
  ~PreferenceStore();
  PreferenceStore(const PreferenceStore&) = delete;
  PreferenceStore& operator=(const PreferenceStore&) = delete;

  // The shared suite; "" or the bundle identifier give the standard
  // domain. The file is read the first time a suite is asked for. Null for
  // names that cannot name a file (containing "/" or NUL, "." or "..", or
  // longer than kMaxNameBytes).
  [[nodiscard]] std::shared_ptr<PreferenceSuite> suite(const std::string& name);
  std::shared_ptr<PreferenceSuite> standardSuite() { return suite(""); }
  const std::string& standardDomainName() const { return standardDomainName_; }

  // Removes every value of the domain and its file. Returns false and
  // fills `error` when the name is invalid or the file cannot be deleted.
  [[nodiscard]] bool removePersistentDomain(const std::string& name, Error* error = nullptr);
  // Domains with a file or with values in memory, sorted.
  std::vector<std::string> persistentDomainNames() const;

  // Saves every suite's unsaved changes now. True when all are on disk.
  [[nodiscard]] bool synchronizeAll();

  // The preferences file of a domain ("" for an invalid name).
  std::string pathForDomain(const std::string& name) const;

  // Delivers reports made before it was set, then every later one.
  void setDiagnosticsHandler(DiagnosticsHandler handler);

  // While on, saves fail as on a full disk.
  void TEST_setWriteFailure(bool failing);

  // Longest suite name, leaving room for ".plist.corrupt" in a file name.
  static constexpr std::size_t kMaxNameBytes = 200;

 private:
  struct State;

  std::string domainName(const std::string& name) const;

  const std::string folder_;
  const std::string standardDomainName_;
  NotificationCenter& center_;
  std::shared_ptr<State> state_;
};
