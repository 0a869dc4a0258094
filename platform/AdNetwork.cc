#include "platform/AdNetwork.h"

#include <algorithm>

void AdNetwork::registerAppForAdNetworkAttribution() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.emplace_back(kRegisterAppForAdNetworkAttributionSelector);
}

int AdNetwork::registrationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(calls_.begin(), calls_.end(),
                                     std::string(kRegisterAppForAdNetworkAttributionSelector)));
}

std::vector<std::string> AdNetwork::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}
