#include "core/QLFInstallations.h"

#include <utility>

#include "common/SharedInstance.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "platform/PreferenceStore.h"
#include "platform/PreferenceSuite.h"
#include "platform/Random.h"

namespace {

constexpr std::size_t kIDRandomBytes = 16;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// URL-safe base64 without padding: 22 characters for 16 bytes.
std::string encodeID(const Bytes& bytes) {
  std::string text;
  unsigned buffer = 0;
  int bits = 0;
  for (std::uint8_t byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      text.push_back(kAlphabet[(buffer >> bits) & 0x3f]);
    }
  }
  if (bits > 0) text.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3f]);
  return text;
}

Error unavailableError(const std::string& why) {
  return Error{kQLFInstallationsErrorDomain, kQLFInstallationsErrorUnavailable, why, std::nullopt};
}

}  // namespace

std::shared_ptr<QLFInstallations> QLFInstallations::installations() {
  static SharedInstance<QLFInstallations> instance;
  return instance.get([] { return std::make_shared<QLFInstallations>(); });
}

QLFInstallations::QLFInstallations()
    : queue_(Platform::current().dispatch().createSerialQueue(
          "com.tarvix.qlf.installations",
          Platform::current().dispatch().globalQueue(QueuePriority::Background))) {}

void QLFInstallations::installationIDWithCompletion(IDCompletion completion) {
  if (!completion) return;
  std::shared_ptr<DispatchQueue> callbackQueue =
      Platform::current().dispatch().globalQueue(QueuePriority::Background);
  queue_->async(
      [weak = weak_from_this(), completion = std::move(completion), callbackQueue]() mutable {
        std::shared_ptr<QLFInstallations> self = weak.lock();
        if (self == nullptr) return;
        std::optional<Error> error;
        std::optional<std::string> installationID = self->storedOrNewID(error);
        callbackQueue->async([completion = std::move(completion), installationID, error] {
          completion(installationID, error);
        });
      });
}

std::optional<std::string> QLFInstallations::storedOrNewID(std::optional<Error>& error) {
  if (failing_) {
    error = unavailableError("The installation ID storage is unavailable.");
    return std::nullopt;
  }
  std::shared_ptr<PreferenceSuite> suite =
      Platform::current().preferences().suite(kQLFInstallationsSuiteName);
  if (suite == nullptr) {
    error = unavailableError("The installation ID storage cannot be opened.");
    return std::nullopt;
  }
  const OptionalObject stored = suite->objectForKey(kQLFInstallationsIDKey);
  if (stored && stored->asString() != nullptr && !stored->asString()->empty()) {
    return *stored->asString();
  }
  std::string installationID = encodeID(Platform::current().random().secureBytes(kIDRandomBytes));
  if (!suite->setObject(kQLFInstallationsIDKey, Object(installationID))) {
    error = unavailableError("The installation ID cannot be stored.");
    return std::nullopt;
  }
  Platform::current().notificationCenter().post(QLFInstallationIDDidChangeNotification);
  return installationID;
}

void QLFInstallations::deleteInstallationID() {
  queue_->async([] {
    std::shared_ptr<PreferenceSuite> suite =
        Platform::current().preferences().suite(kQLFInstallationsSuiteName);
    if (suite != nullptr) suite->removeObjectForKey(kQLFInstallationsIDKey);
  });
}

void QLFInstallations::TEST_setFailing(bool failing) {
  queue_->async([weak = weak_from_this(), failing] {
    if (std::shared_ptr<QLFInstallations> self = weak.lock()) self->failing_ = failing;
  });
}
