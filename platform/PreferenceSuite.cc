#include "platform/PreferenceSuite.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/AtomicFile.h"
#include "platform/PreferenceStore.h"
#include "platform/PropertyList.h"

namespace {

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0600;

Error storeError(long code, const std::string& description) {
  Error error;
  error.domain = PreferenceStore::kErrorDomain;
  error.code = code;
  error.description = description;
  return error;
}

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// The suites that the exit hook saves. A process-wide list is the one way
// to reach them from std::atexit; it is leaked on purpose so that it
// outlives every static destructor.
struct ExitList {
  std::mutex mutex;
  std::vector<std::weak_ptr<PreferenceSuite>> suites;
};

ExitList& exitList() {
  static ExitList* list = new ExitList;
  return *list;
}

void saveEverySuiteAtExit() {
  std::vector<std::weak_ptr<PreferenceSuite>> suites;
  {
    std::lock_guard<std::mutex> lock(exitList().mutex);
    suites = exitList().suites;
  }
  for (const auto& weak : suites) {
    if (auto suite = weak.lock()) (void)suite->synchronize();
  }
}

}  // namespace

void PreferenceSuite::Context::report(const std::string& suite, const Error& error) {
  DiagnosticsHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handler_) {
      if (pending_.size() < kMaxPendingReports) pending_.emplace_back(suite, error);
      return;
    }
    handler = handler_;
  }
  handler(suite, error);
}

void PreferenceSuite::Context::setDiagnosticsHandler(DiagnosticsHandler handler) {
  std::vector<std::pair<std::string, Error>> pending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = handler;
    if (handler_) pending.swap(pending_);
  }
  for (const auto& [suite, error] : pending) handler(suite, error);
}

PreferenceSuite::PreferenceSuite(std::string name, std::string path,
                                 std::shared_ptr<Context> context)
    : name_(std::move(name)), path_(std::move(path)), context_(std::move(context)) {}

void PreferenceSuite::saveAtExit(const std::shared_ptr<PreferenceSuite>& suite) {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(saveEverySuiteAtExit); });
  std::lock_guard<std::mutex> lock(exitList().mutex);
  auto& suites = exitList().suites;
  std::erase_if(suites, [](const std::weak_ptr<PreferenceSuite>& weak) { return weak.expired(); });
  suites.push_back(suite);
}

void PreferenceSuite::load() {
  Error error;
  OptionalObject root = PropertyList::readFile(path_, &error);
  if (!root && error.domain == kPOSIXErrorDomain && error.code == ENOENT) return;
  if (root && root->isDictionary()) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, value] : *root->asDictionary()) values_.emplace(*key.asString(), value);
    return;
  }
  // Start empty, but keep what may be recoverable: a later save must not
  // replace the only copy of the old values.
  std::string reason =
      root ? "the top object is not a dictionary" : error.description.value_or("unreadable");
  std::string aside = path_ + ".corrupt";
  std::string outcome = ::rename(path_.c_str(), aside.c_str()) == 0
                            ? "kept aside as " + aside
                            : "could not be kept aside (" + std::string(strerror(errno)) + ")";
  context_->report(name_, storeError(PreferenceStore::kCorruptFile,
                                     "Preferences file " + path_ + " cannot be read (" + reason +
                                         "); starting empty; the file " + outcome));
}

OptionalObject PreferenceSuite::objectForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool PreferenceSuite::setObject(const std::string& key, OptionalObject value) {
  if (key.empty()) return false;
  if (value && !PropertyList::isStorable(*value)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (value) {
    values_.insert_or_assign(key, std::move(*value));
  } else if (values_.erase(key) == 0) {
    return true;
  }
  markChangedLocked();
  return true;
}

void PreferenceSuite::removeObjectForKey(const std::string& key) { (void)setObject(key, {}); }

std::vector<std::string> PreferenceSuite::allKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> keys;
  keys.reserve(values_.size());
  for (const auto& entry : values_) keys.push_back(entry.first);
  return keys;
}

Object PreferenceSuite::dictionaryRepresentation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  ObjectDictionary entries;
  for (const auto& [key, value] : values_) entries.emplace(Object(key), value);
  return Object::dictionary(std::move(entries));
}

bool PreferenceSuite::hasUnsavedChanges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dirty_;
}

void PreferenceSuite::markChangedLocked() {
  dirty_ = true;
  ++generation_;
  // Saved once the changes have been quiet for a moment.
  pendingSave_.cancel();
  std::weak_ptr<PreferenceSuite> weak = weak_from_this();
  pendingSave_ = context_->queue().asyncAfter(kAutoSaveDelaySeconds, [weak] {
    if (auto suite = weak.lock()) (void)suite->synchronize();
  });
}

bool PreferenceSuite::synchronize() {
  std::lock_guard<std::mutex> writing(writeMutex_);
  std::map<std::string, Object> snapshot;
  std::uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!dirty_) return true;
    snapshot = values_;
    generation = generation_;
  }
  Error error;
  if (!write(snapshot, &error)) {
    context_->report(name_, error);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // Changes made while writing stay unsaved.
  if (generation_ == generation) dirty_ = false;
  return true;
}

bool PreferenceSuite::write(const std::map<std::string, Object>& values, Error* error) {
  if (context_->writeFailure()) {
    *error =
        storeError(PreferenceStore::kWriteFailed, "Cannot save " + path_ + ": " + strerror(ENOSPC));
    return false;
  }
  ObjectDictionary entries;
  for (const auto& [key, value] : values) entries.emplace(Object(key), value);
  Bytes bytes;
  Error problem;
  if (!PropertyList::writeBinary(Object::dictionary(std::move(entries)), &bytes, &problem) ||
      !AtomicFile::makeDirectories(folderOf(path_), kFolderMode, &problem) ||
      !AtomicFile::write(path_, bytes, kFileMode, &problem)) {
    *error = storeError(PreferenceStore::kWriteFailed,
                        "Cannot save " + path_ + ": " + problem.description.value_or(""));
    return false;
  }
  return true;
}

bool PreferenceSuite::removeAll(Error* error) {
  std::lock_guard<std::mutex> writing(writeMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    values_.clear();
    dirty_ = false;
    ++generation_;
    pendingSave_.cancel();
  }
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    if (error) *error = AtomicFile::posixError(errno, "Cannot delete " + path_);
    return false;
  }
  return true;
}
