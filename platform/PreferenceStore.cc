#include "platform/PreferenceStore.h"

#include <dirent.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/Dispatch.h"

namespace {

constexpr const char* kQueueLabel = "com.ferrolux.PreferenceStore";

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool validName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.size() <= PreferenceStore::kMaxNameBytes &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

}  // namespace

struct PreferenceStore::State {
  std::shared_ptr<PreferenceSuite::Context> context;
  mutable std::mutex mutex;
  std::map<std::string, std::shared_ptr<PreferenceSuite>> suites;

  std::vector<std::shared_ptr<PreferenceSuite>> allSuites() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<PreferenceSuite>> result;
    for (const auto& entry : suites) result.push_back(entry.second);
    return result;
  }

  bool synchronizeAll() const {
    bool ok = true;
    for (const auto& suite : allSuites()) ok = suite->synchronize() && ok;
    return ok;
  }
};

PreferenceStore::PreferenceStore(std::string containerPath, Dispatch& dispatch,
                                 NotificationCenter& center, std::string bundleIdentifier)
    : folder_(joinPath(containerPath, kPreferencesFolder)),
      standardDomainName_(validName(bundleIdentifier) ? bundleIdentifier
                                                      : kFallbackStandardDomainName),
      center_(center),
      state_(std::make_shared<State>()) {
  state_->context =
      std::make_shared<PreferenceSuite::Context>(dispatch.createSerialQueue(kQueueLabel));
  // Saved on the posting thread: the app may be suspended right after.
  std::weak_ptr<State> weak = state_;
  center_.addObserver(this, kDidEnterBackgroundNotification, nullptr, [weak](const Notification&) {
    if (auto state = weak.lock()) (void)state->synchronizeAll();
  });
}

PreferenceStore::~PreferenceStore() {
  center_.removeObserver(this);
  (void)state_->synchronizeAll();
}

std::string PreferenceStore::domainName(const std::string& name) const {
  return name.empty() ? standardDomainName_ : name;
}

std::string PreferenceStore::pathForDomain(const std::string& name) const {
  std::string domain = domainName(name);
  if (!validName(domain)) return "";
  return joinPath(folder_, domain + kFileExtension);
}

std::shared_ptr<PreferenceSuite> PreferenceStore::suite(const std::string& name) {
  std::string domain = domainName(name);
  if (!validName(domain)) return nullptr;
  std::shared_ptr<PreferenceSuite> created;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->suites.find(domain);
    if (it != state_->suites.end()) return it->second;
    created = std::make_shared<PreferenceSuite>(domain, pathForDomain(domain), state_->context);
    // Loaded under the lock so that nobody sees the suite before its values.
    created->load();
    state_->suites.emplace(domain, created);
  }
  PreferenceSuite::saveAtExit(created);
  return created;
}

bool PreferenceStore::removePersistentDomain(const std::string& name, Error* error) {
  std::string domain = domainName(name);
  if (!validName(domain)) {
    if (error) {
      error->domain = kErrorDomain;
      error->code = kInvalidName;
      error->description = "Invalid preference domain name \"" + domain + "\"";
    }
    return false;
  }
  std::shared_ptr<PreferenceSuite> suite = this->suite(domain);
  return suite->removeAll(error);
}

std::vector<std::string> PreferenceStore::persistentDomainNames() const {
  std::set<std::string> names;
  if (DIR* folder = ::opendir(folder_.c_str())) {
    const std::string extension = kFileExtension;
    while (const dirent* entry = ::readdir(folder)) {
      std::string file = entry->d_name;
      // Temporary files of an atomic write start with ".".
      if (file.size() <= extension.size() || file[0] == '.' ||
          file.compare(file.size() - extension.size(), extension.size(), extension) != 0) {
        continue;
      }
      names.insert(file.substr(0, file.size() - extension.size()));
    }
    ::closedir(folder);
  }
  for (const auto& suite : state_->allSuites()) {
    if (!suite->allKeys().empty()) names.insert(suite->name());
  }
  return std::vector<std::string>(names.begin(), names.end());
}

bool PreferenceStore::synchronizeAll() { return state_->synchronizeAll(); }

void PreferenceStore::setDiagnosticsHandler(DiagnosticsHandler handler) {
  state_->context->setDiagnosticsHandler(std::move(handler));
}

void PreferenceStore::TEST_setWriteFailure(bool failing) {
  state_->context->setWriteFailure(failing);
}
