// The measurement engine.
//
// Process-wide entry points: the diagnostics monitor and the remote flags,
// both safe from any thread.
//
// The instance part holds the components the engine is built from and, for
// now, the configuration fetch (engine/TLMMeasurementFetch.cc): the request
// to the measurement service, the handling of every response and the
// transaction that puts a received configuration in force together with
// its audiences. Creation in two phases, the scheduler and the lifecycle
// join this class later; until then an instance is made from its
// components with create(). What the engine does not own yet comes
// through TLMMeasurementHooks (see docs/stand-ins.md).
//
// Threading: the fetch and everything it touches run on the worker queue
// given in the components; the network completion is delivered there. The
// flags isNetworkRequestPending and suspendedUploadTimestamp may be read
// from any thread. A completion that arrives after the instance is gone is
// dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolux/Object.h"
#include "upload/TLMPBConfigMessages.h"
#include "utilities/HRNHTTPResponse.h"

class DispatchQueue;
class HRNNetwork;
class TLMDatabase;
class TLMMonitor;
class TLMPersistedConfig;
class TLMRemoteConfig;

// Monitor codes of the configuration fetch.
inline constexpr long kTLMFetchCodeFirstOpenQueryFailed = 23123;
inline constexpr long kTLMFetchCodeFirstOpenNoProperties = 23124;
inline constexpr long kTLMFetchCodeInvalidURL = 23125;
inline constexpr long kTLMFetchCodeFetching = 23126;
inline constexpr long kTLMFetchCodeFetched = 23127;
inline constexpr long kTLMFetchCodeRequestFailed = 23128;
inline constexpr long kTLMFetchCodeWillRetry = 23129;
inline constexpr long kTLMFetchCodeNotFound = 23130;
inline constexpr long kTLMFetchCodeNotModified = 23131;
inline constexpr long kTLMFetchCodeTimestampFailedUnchanged = 23132;
inline constexpr long kTLMFetchCodeFetchedSuccessfully = 23133;
inline constexpr long kTLMFetchCodeTimestampFailed = 23134;
inline constexpr long kTLMFetchCodeInvalidData = 23135;
inline constexpr long kTLMFetchCodeWrongAppID = 23136;
inline constexpr long kTLMFetchCodeAudiencesRefused = 23137;
inline constexpr long kTLMFetchCodeConfigurationRefused = 23138;
inline constexpr long kTLMFetchCodeRequestPending = 23143;

// The platform named in the fetch URL.
inline constexpr char kTLMFetchPlatform[] = "ios";
// The event-editing runtime's version sent with the fetch; the runtime's
// own runtimeVersion replaces it when the runtime exists.
inline constexpr std::int64_t kTLMEventEditingRuntimeVersion = 0;

// Puts a configuration's audience definitions in force, inside the
// transaction that applies the configuration; false refuses them (and so
// the configuration). Runs on the worker queue.
using TLMAudienceUpdateSeam = std::function<bool(const std::vector<TLMPBAudience>& audiences)>;

// What the engine is built from. All are required except the service
// address.
struct TLMMeasurementComponents {
  std::shared_ptr<TLMDatabase> database;
  std::shared_ptr<TLMRemoteConfig> remoteConfig;
  std::shared_ptr<TLMPersistedConfig> persistedConfig;
  std::shared_ptr<HRNNetwork> network;
  std::shared_ptr<DispatchQueue> workerQueue;
  // The measurement service's base address; none looks it up with
  // TLMMeasurementServiceAddress::configuredBaseURL when the engine is
  // made. An empty string means deliberately none.
  std::optional<std::string> serviceBaseURL;
};

// Calls into parts the engine does not own yet. An empty hook takes the
// default named beside it. Each is called on the worker queue.
struct TLMMeasurementHooks {
  // Default: TLMIdentity::sharedInstance()->appInstanceID().
  std::function<std::optional<std::string>()> appInstanceID;
  // The measurement app ID identity has stored. Default:
  // TLMIdentity::sharedInstance()->appIDFromQVR().
  std::function<std::optional<std::string>()> appIDFromQVR;
  // Default: TLMConsentSettingsUtil::isAnalyticsStorageDenied().
  std::function<bool()> isAnalyticsStorageDenied;
  // Default: audiences are not kept (stand-in until the audience
  // evaluator exists); the configuration is applied without them.
  TLMAudienceUpdateSeam updateAudiences;
  // The upload schedule. Defaults: nothing happens / false.
  std::function<void()> updateSchedule;
  std::function<void()> uploadDataOrRegisterAlarm;
  std::function<bool()> shouldUseBackgroundSession;
  // Default: the remote flag networkTimeout (at least 30 s). Tests and
  // tools may give a shorter one.
  std::function<double()> networkTimeout;
};

class TLMMeasurement : public std::enable_shared_from_this<TLMMeasurement> {
 public:
  // The process's diagnostics monitor, created on first use with level 6,
  // a console logger and the library version; never destroyed.
  static TLMMonitor& monitor();
  // The remote flags: until the engine exists, the default instance (every
  // flag at its default).
  static TLMRemoteConfig& remoteConfig();

  // An engine over `components`; null when a required one is missing.
  static std::shared_ptr<TLMMeasurement> create(TLMMeasurementComponents components,
                                                TLMMeasurementHooks hooks = {});
  ~TLMMeasurement();
  TLMMeasurement(const TLMMeasurement&) = delete;
  TLMMeasurement& operator=(const TLMMeasurement&) = delete;

  const std::shared_ptr<TLMDatabase>& database() const { return database_; }
  const std::shared_ptr<TLMRemoteConfig>& remoteConfigInstance() const { return remoteConfig_; }
  const std::shared_ptr<TLMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<HRNNetwork>& network() const { return network_; }
  const std::shared_ptr<DispatchQueue>& workerQueue() const { return workerQueue_; }
  // The base address requests go to, or none (then nothing is fetched and
  // each fetch reports level 1, 29011, with the reason).
  const std::optional<std::string>& serviceBaseURL() const { return serviceBaseURL_; }

  bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_.load(); }
  void setSuspendedUploadTimestamp(double uptime) { suspendedUploadTimestamp_.store(uptime); }

  // ---- Configuration fetch ----

  // Starts one fetch of the measurement configuration, unless a network
  // operation is already pending (level 8, 23143). Runs on the worker
  // queue.
  void fetchRemoteConfig();
  // Handles a fetch's outcome: `response` is absent when no complete
  // response arrived (then `error` says why). Runs on the worker queue.
  void networkRemoteConfigFetchCompletionHandler(const std::optional<HRNHTTPResponse>& response,
                                                 const Bytes& data,
                                                 const std::optional<Error>& error);
  // Seconds since 1970 of the first open: the time "_fot" was last set,
  // else the earliest last-set time of all user properties; 0 when there
  // are none or they cannot be read. Runs on the worker queue.
  double firstOpenTimestamp();

  // Test-only: sees every report the fetch makes (level, code, message,
  // contexts) besides the monitor. Set before the first fetch.
  using ReportObserver =
      std::function<void(int level, long code, std::string_view message, const ObjectArray&)>;
  void TEST_setReportObserver(ReportObserver observer) { reportObserver_ = std::move(observer); }

 private:
  TLMMeasurement(TLMMeasurementComponents components, TLMMeasurementHooks hooks);

  // Fills the empty hooks with their defaults (engine/TLMMeasurementDefaults.cc).
  static void installDefaultHooks(TLMMeasurementHooks& hooks);

  void report(int level, long code, std::string_view message, ObjectArray contexts = {});
  // Records `now` as the last successful fetch; failure suspends uploads.
  void recordSuccessfulFetch(double now, long failureCode, std::string_view failureMessage);
  // The transaction that puts `data` in force; false when rolled back.
  bool applyReceivedConfiguration(const Bytes& data);

  const std::shared_ptr<TLMDatabase> database_;
  const std::shared_ptr<TLMRemoteConfig> remoteConfig_;
  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  const std::shared_ptr<HRNNetwork> network_;
  const std::shared_ptr<DispatchQueue> workerQueue_;
  // Why there is no service address, when there is none. Declared before
  // serviceBaseURL_, whose initialisation fills it.
  std::string serviceAddressProblem_;
  const std::optional<std::string> serviceBaseURL_;
  TLMMeasurementHooks hooks_;
  ReportObserver reportObserver_;

  std::atomic<bool> isNetworkRequestPending_{false};
  std::atomic<double> suspendedUploadTimestamp_{0.0};
};
