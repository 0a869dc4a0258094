#include "engine/TLMMeasurement.h"

#include "common/SharedInstance.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "upload/TLMMonitor.h"

TLMMonitor& TLMMeasurement::monitor() {
  static SharedInstance<TLMMonitor> instance;
  return *instance.get(
      [] { return TLMMonitor::createWithLibraryVersion(kFerroluxLibraryVersion); });
}

TLMRemoteConfig& TLMMeasurement::remoteConfig() { return TLMRemoteConfig::defaultInstance(); }
