#include "utilities/HRNAppDelegateSwizzler.h"

#include <algorithm>

#include "platform/Application.h"

HRNAppDelegateSwizzler::HRNAppDelegateSwizzler(Application& application)
    : application_(application) {}

void HRNAppDelegateSwizzler::setAppDelegateProxyEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  enabled_ = enabled;
}

bool HRNAppDelegateSwizzler::isAppDelegateProxyEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

void HRNAppDelegateSwizzler::proxyOriginalDelegate() {
  // Not made by make_shared: there is nothing the application could hold.
  std::weak_ptr<ApplicationDelegateProxy> self = weak_from_this();
  if (self.expired()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_ || installed_) return;
    installed_ = true;
  }
  application_.setDelegateProxy(std::move(self));
}

bool HRNAppDelegateSwizzler::isProxyInstalled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return installed_;
}

HRNAppDelegateInterceptorID HRNAppDelegateSwizzler::registerAppDelegateInterceptor(
    std::shared_ptr<ApplicationDelegate> interceptor) {
  if (!interceptor) return kHRNAppDelegateInterceptorInvalidID;
  std::lock_guard<std::mutex> lock(mutex_);
  HRNAppDelegateInterceptorID id = nextID_++;
  interceptors_.emplace_back(id, std::move(interceptor));
  return id;
}

void HRNAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    HRNAppDelegateInterceptorID interceptorID) {
  std::shared_ptr<ApplicationDelegate> released;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto it =
      std::find_if(interceptors_.begin(), interceptors_.end(),
                   [interceptorID](const auto& entry) { return entry.first == interceptorID; });
  if (it == interceptors_.end()) return;
  released = std::move(it->second);
  interceptors_.erase(it);
}

std::vector<std::shared_ptr<ApplicationDelegate>> HRNAppDelegateSwizzler::appDelegateInterceptors()
    const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<ApplicationDelegate>> list;
  if (!enabled_ || !installed_) return list;
  list.reserve(interceptors_.size());
  for (const auto& entry : interceptors_) list.push_back(entry.second);
  return list;
}
