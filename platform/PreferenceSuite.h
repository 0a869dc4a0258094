// One preference domain ("suite") of the PreferenceStore: string keys to
// property-list values, shared by everyone in the process who asks the
// store for the same suite. Thread-safe: reads and writes may come from
// any thread and see each other at once.
//
// Changes are saved to "<container>/Library/Preferences/<suite>.plist"
// (a binary property list, replaced atomically) on `synchronize`, on their
// own kAutoSaveDelaySeconds after the last change (on the store's serial
// queue), when the app goes to the background and at normal process exit.
// A failed save keeps the values in memory, still unsaved, for the next
// attempt.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ferrolux/Object.h"
#include "platform/DispatchQueue.h"

class PreferenceSuite : public std::enable_shared_from_this<PreferenceSuite> {
 public:
  // Called with the suite name and the problem (an unreadable file set
  // aside, a failed save), on the thread where it happened.
  using DiagnosticsHandler = std::function<void(const std::string& suite, const Error& error)>;

  // What a store shares with its suites. Internal to the store.
  class Context {
   public:
    // Reports kept while no handler is set, delivered when one is set.
    static constexpr std::size_t kMaxPendingReports = 16;

    explicit Context(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}

    DispatchQueue& queue() const { return *queue_; }
    std::shared_ptr<DispatchQueue> sharedQueue() const { return queue_; }
    void report(const std::string& suite, const Error& error);
    void setDiagnosticsHandler(DiagnosticsHandler handler);
    bool writeFailure() const { return writeFailure_.load(); }
    void setWriteFailure(bool failing) { writeFailure_.store(failing); }

   private:
    std::shared_ptr<DispatchQueue> queue_;
    std::atomic<bool> writeFailure_{false};
    std::mutex mutex_;
    DiagnosticsHandler handler_;
    std::vector<std::pair<std::string, Error>> pending_;
  };

  static constexpr double kAutoSaveDelaySeconds = 1.0;

  // Use PreferenceStore::suite.
  PreferenceSuite(std::string name, std::string path, std::shared_ptr<Context> context);

  const std::string& name() const { return name_; }
  // The preferences file.
  const std::string& path() const { return path_; }

  OptionalObject objectForKey(const std::string& key) const;
  // Stores a value (nothing removes the key). Returns false, and changes
  // nothing, for an empty key or a value that cannot be stored (see
  // PropertyList: the null kind, URLs, sets, non-string keys, ...).
  [[nodiscard]] bool setObject(const std::string& key, OptionalObject value);
  void removeObjectForKey(const std::string& key);
  // Sorted.
  std::vector<std::string> allKeys() const;
  // A dictionary of every key and value.
  Object dictionaryRepresentation() const;

  // Saves unsaved changes now, on the calling thread. True when everything
  // is on disk (also when nothing needed saving).
  [[nodiscard]] bool synchronize();
  bool hasUnsavedChanges() const;

 private:
  friend class PreferenceStore;

  // Reads the file; an unreadable one is set aside as "<file>.corrupt".
  void load();
  // Makes sure unsaved changes of `suite` are saved at normal process exit
  // for as long as it lives.
  static void saveAtExit(const std::shared_ptr<PreferenceSuite>& suite);
  // Forgets every value and deletes the file.
  [[nodiscard]] bool removeAll(Error* error);
  void markChangedLocked();
  bool write(const std::map<std::string, Object>& values, Error* error);

  const std::string name_;
  const std::string path_;
  const std::shared_ptr<Context> context_;

  // Serialises saves (explicit, automatic, background, exit) and removal.
  std::mutex writeMutex_;
  mutable std::mutex mutex_;
  std::map<std::string, Object> values_;
  bool dirty_ = false;
  std::uint64_t generation_ = 0;
  DelayedBlock pendingSave_;
};
