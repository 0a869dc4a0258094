// The app-delegate proxy: once installed on the application
// (proxyOriginalDelegate), every app-delegate message goes to the
// registered interceptors, in the order they were registered, before the
// app's own delegate. The proxy can be switched off by the host (it is on
// by default); switched off, proxyOriginalDelegate installs nothing and
// interceptors receive no messages.
//
// Thread-safe. Interceptors are held until unregistered; messages reach
// them on the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/ApplicationDelegate.h"

class Application;

using HRNAppDelegateInterceptorID = std::uint64_t;
// Never handed out for a registration.
inline constexpr HRNAppDelegateInterceptorID kHRNAppDelegateInterceptorInvalidID = 0;

class HRNAppDelegateSwizzler : public ApplicationDelegateProxy,
                               public std::enable_shared_from_this<HRNAppDelegateSwizzler> {
 public:
  // Create with make_shared: the application holds the proxy weakly. The
  // application must outlive the swizzler.
  explicit HRNAppDelegateSwizzler(Application& application);

  // Host setting; on unless the host switches it off before the proxy is
  // installed.
  void setAppDelegateProxyEnabled(bool enabled);
  bool isAppDelegateProxyEnabled() const;

  // Installs the proxy on the application, once; later calls and calls
  // while the proxy is switched off do nothing. Call on the main thread.
  void proxyOriginalDelegate();
  bool isProxyInstalled() const;

  // Returns kHRNAppDelegateInterceptorInvalidID for a null interceptor.
  HRNAppDelegateInterceptorID registerAppDelegateInterceptor(
      std::shared_ptr<ApplicationDelegate> interceptor);
  void unregisterAppDelegateInterceptorWithID(HRNAppDelegateInterceptorID interceptorID);

  // ApplicationDelegateProxy: the registered interceptors, oldest first.
  std::vector<std::shared_ptr<ApplicationDelegate>> appDelegateInterceptors() const override;

 private:
  Application& application_;
  mutable std::mutex mutex_;
  bool enabled_ = true;
  bool installed_ = false;
  std::vector<std::pair<HRNAppDelegateInterceptorID, std::shared_ptr<ApplicationDelegate>>>
      interceptors_;
  HRNAppDelegateInterceptorID nextID_ = 1;
};
