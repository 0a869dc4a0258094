// The measurement engine: one object per process that owns every
// component (database, persisted configuration, remote flags, identity,
// network, scheduler) and runs all of its work on one serial worker queue,
// "com.tarvix.qlfa.worker".
//
// Creation has two phases: the constructor stores its arguments, then the
// factory (which owns the first shared_ptr) finishes initialisation, which
// schedules blocks that hold the engine weakly. Components are built on
// the first successful enable (startMeasurementOnWorkerQueue), not at
// creation. Components that later work builds are reached through
// engine/TLMStandIns.h.
//
// Threading: after creation, engine state is read and written only on the
// worker queue; methods named OnWorkerQueue must run there. The process
// mutex guards the shared instance; initializeComponentsLock guards the
// component build. Scheduled blocks hold the engine weakly and do nothing
// once it is gone. The flags isNetworkRequestPending and
// suspendedUploadTimestamp may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/TLMDailyCounts.h"
#include "engine/TLMEvent.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMRawEventData.h"
#include "engine/TLMUserAttribute.h"
#include "ferrolux/Object.h"
#include "platform/PaymentQueue.h"
#include "upload/TLMPBConfigMessages.h"
#include "upload/TLMPBUploadMessages.h"
#include "utilities/HRNHTTPResponse.h"

class DispatchQueue;
class HRNNetwork;
class TLMAlarm;
class TLMDatabase;
class TLMExperimentManagerSeam;
class TLMIdentity;
class TLMMonitor;
class TLMPersistedConfig;
class TLMRemoteConfig;
class TLMScheduler;
class UserActivity;
class TLMMeasurementNetworkDelegate;
class Platform;

// Monitor codes of the engine's lifecycle.
inline constexpr long kTLMMeasurementCodeStarted = 23007;
inline constexpr long kTLMMeasurementCodeDebugHint = 23008;
inline constexpr long kTLMMeasurementCodeDebugLogging = 23009;
inline constexpr long kTLMMeasurementCodeNoNetwork = 23010;
inline constexpr long kTLMMeasurementCodeStartFailed = 23011;
inline constexpr long kTLMMeasurementCodeEnabled = 23012;
inline constexpr long kTLMMeasurementCodeDisabled = 23013;
inline constexpr long kTLMMeasurementCodeExcludeFromBackupFailed = 23015;
inline constexpr long kTLMMeasurementCodeReady = 23016;
inline constexpr long kTLMMeasurementCodeStaleDataFailed = 23018;
inline constexpr long kTLMMeasurementCodeRemoveNilUserProperty = 23074;
inline constexpr long kTLMMeasurementCodeUserPropertyNotRemoved = 23076;
inline constexpr long kTLMMeasurementCodeSetNilUserProperty = 23079;
inline constexpr long kTLMMeasurementCodeUserPropertyNotSet = 23081;
inline constexpr long kTLMMeasurementCodeNilUserPropertiesCallback = 23090;
inline constexpr long kTLMMeasurementCodeEmptyMaxUserPropertiesOrigin = 23093;
inline constexpr long kTLMMeasurementCodeNilMaxUserPropertiesCallback = 23094;
inline constexpr long kTLMMeasurementCodeCancelBackgroundTask = 23142;
inline constexpr long kTLMMeasurementCodeWillResignActive = 23144;
inline constexpr long kTLMMeasurementCodeBackgroundTaskStarted = 23145;
inline constexpr long kTLMMeasurementCodeNotCreated = 23147;
inline constexpr long kTLMMeasurementCodeEmptyResetAppInstanceID = 23167;
inline constexpr long kTLMMeasurementCodeDataReset = 23168;
inline constexpr long kTLMMeasurementCodeEmptyAppID = 23170;
inline constexpr long kTLMMeasurementCodeReadPersonalizedAdsFailed = 23172;
inline constexpr long kTLMMeasurementCodeRemovePersonalizedAdsFailed = 23173;
inline constexpr long kTLMMeasurementCodeRemovingPersonalizedAds = 23180;
inline constexpr long kTLMMeasurementCodeCollectionDeactivated = 23206;
inline constexpr long kTLMMeasurementCodeVerboseHint = 23207;
inline constexpr long kTLMMeasurementCodeWipeFailed = 23208;
inline constexpr long kTLMMeasurementCodeResetWithEmptyAppInstanceID = 23218;
inline constexpr long kTLMMeasurementCodeScreenReportingEnabled = 23220;
inline constexpr long kTLMMeasurementCodeBuild = 23222;

// Names the engine uses.
inline constexpr char kTLMMeasurementBackgroundTaskName[] = "TLMAnalyticsMeasurementBackgroundTask";
inline constexpr char kTLMMeasurementAlarmName[] = "Measurement timer";
inline constexpr char kTLMPublicAnalyticsClass[] = "QLFAnalytics";
inline constexpr char kTLMRemoteConfigSDKClass[] = "QLFRemoteConfig";
// "reset_retry_count" from 1 up to this value forces a wipe at start.
inline constexpr long kTLMMaxForcedWipeRetryCount = 9;
// A remote configuration older than this is fetched when the app becomes
// active (with the internal blocklist on).
inline constexpr double kTLMActiveFetchIntervalSeconds = 604800;
// What maxUserPropertiesForOrigin answers for every origin.
inline constexpr long kTLMMaxUserPropertiesPerOrigin = 25;

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

// What TEST_createWithComponents builds a fetch-only engine from. All are
// required except the service address.
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
  // The upload schedule, replaceable for tests that watch the fetch alone.
  // Defaults: the engine's own updateSchedule, uploadDataOrRegisterAlarm
  // and shouldUseBackgroundSession.
  std::function<void()> updateSchedule;
  std::function<void()> uploadDataOrRegisterAlarm;
  std::function<bool()> shouldUseBackgroundSession;
  // Default: the remote flag networkTimeout (at least 30 s). Tests and
  // tools may give a shorter one.
  std::function<double()> networkTimeout;
};

class TLMMeasurement : public std::enable_shared_from_this<TLMMeasurement> {
 public:
  // ---- Process-wide ----

  // The process's diagnostics monitor, created on first use with level 6,
  // a console logger and the library version; never destroyed.
  static TLMMonitor& monitor();
  // The engine's remote flags when the engine and its flags exist, else the
  // default instance (every flag at its default).
  static TLMRemoteConfig& remoteConfig();
  // Under the process mutex and only the first time (the flag is set even
  // when nothing is made): with a non-empty app ID, makes the shared engine
  // with initWithAppID. Called by the facade on its serial queue.
  static void initializeSharedInstanceWithAppID(
      const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated,
      const std::optional<std::vector<std::string>>& safelistedEvents);
  // Initialised and an engine exists.
  static bool hasSharedInstance();
  // None when the OS is unsupported or no engine exists (warns 23147 when
  // initialisation has not happened and the public interface exists).
  static std::shared_ptr<TLMMeasurement> sharedInstance();
  // The library load step's part: when the OS is supported, observes the
  // app finishing launching (screen-view reporter, stored launch link).
  static void load();

  // ---- Creation ----

  // Logs the start messages, makes the network client, the scheduler and
  // the alarm, then the designated initialiser with "tarvix-ferrolux.sql"
  // and TLMPersistedConfig::sharedInstance(). None (23170) for an empty
  // app ID. `experimentManager` may be null.
  static std::shared_ptr<TLMMeasurement> initWithAppID(
      const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated,
      const std::optional<std::vector<std::string>>& safelistedEvents,
      std::shared_ptr<TLMExperimentManagerSeam> experimentManager);
  // The designated initialiser. Components are not built here.
  static std::shared_ptr<TLMMeasurement> initWithDatabaseName(
      const std::string& databaseName, std::shared_ptr<TLMPersistedConfig> persistedConfig,
      std::shared_ptr<HRNNetwork> network, std::shared_ptr<TLMScheduler> scheduler,
      std::shared_ptr<TLMAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
      bool isAnalyticsCollectionDeactivated,
      const std::optional<std::vector<std::string>>& safelistedEvents,
      std::shared_ptr<TLMExperimentManagerSeam> experimentManager);

  // Test-only: an engine over ready-made components, with no scheduler,
  // lifecycle or shared instance; for exercising the configuration fetch.
  // Null when a required component is missing.
  static std::shared_ptr<TLMMeasurement> TEST_createWithComponents(
      TLMMeasurementComponents components, TLMMeasurementHooks hooks = {});

  ~TLMMeasurement();
  TLMMeasurement(const TLMMeasurement&) = delete;
  TLMMeasurement& operator=(const TLMMeasurement&) = delete;

  // ---- Accessors ----
  // Components are null until built (worker queue).
  const std::shared_ptr<TLMDatabase>& database() const { return database_; }
  const std::shared_ptr<TLMRemoteConfig>& remoteConfigInstance() const { return remoteConfig_; }
  const std::shared_ptr<TLMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<HRNNetwork>& network() const { return network_; }
  const std::shared_ptr<TLMIdentity>& identity() const { return identity_; }
  const std::shared_ptr<TLMScheduler>& scheduler() const { return scheduler_; }
  const std::shared_ptr<TLMAlarm>& alarm() const { return alarm_; }
  // The scheduler's worker queue.
  const std::shared_ptr<DispatchQueue>& workerQueue() const { return workerQueue_; }
  const std::string& appID() const { return appID_; }
  const std::string& databaseName() const { return databaseName_; }
  const std::optional<std::vector<std::string>>& safelistedEvents() const {
    return safelistedEvents_;
  }
  double initTimestamp() const { return initTimestamp_; }
  bool isEnabled() const { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  // Under initializeComponentsLock.
  bool didInitializeComponents() const;
  // The app ID measured before a wipe replaced it. Worker queue.
  const std::string& previousQVRAppID() const { return previousQVRAppID_; }
  const std::shared_ptr<TLMExperimentManagerSeam>& experimentManager() const {
    return experimentManager_;
  }
  // The background task in progress; kBackgroundTaskInvalid (0) for none.
  std::uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
  // The base address requests go to, or none (then nothing is fetched and
  // each fetch reports level 1, 29011, with the reason).
  const std::optional<std::string>& serviceBaseURL() const { return serviceBaseURL_; }

  bool isNetworkRequestPending() const { return isNetworkRequestPending_.load(); }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_.load(); }
  void setSuspendedUploadTimestamp(double uptime) { suspendedUploadTimestamp_.store(uptime); }

  // ---- Lifecycle ----

  // Schedules setEnabledOnWorkerQueue ("TLMMeasurement:564").
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool shouldEnableMeasurement() const;
  // Builds the components once (retried after a failure), then the
  // start-up steps. False when the OS is unsupported or the build failed.
  [[nodiscard]] bool startMeasurementOnWorkerQueue();
  // The wipe decision at start; reads "reset_retry_count".
  static bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                      const std::optional<std::string>& appIDFromQVR,
                                      const std::optional<std::string>& appIDFromVelmora,
                                      const std::optional<std::string>& persistedAppIDFromQVR,
                                      const std::optional<std::string>& persistedAppIDFromVelmora);
  void reachabilityDidChange();
  void handleAppDidBecomeActiveEvent();
  void handleAppWillResignActiveEvent();
  void handleAppWillEnterForegroundNotification();
  void terminateBackgroundTask();
  void swapBackgroundTaskWithNewTaskID(std::uint64_t taskID);
  static bool isQuillfenRemoteConfigSDKPresent();
  // The network client's reports, levels mapped: 3→1, 4→4, 5→3, 6→6,
  // 7→7, others→3. A single or missing context becomes an array.
  static int monitorLevelForNetworkLevel(int networkLevel);
  void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message);
  void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message,
                               const OptionalObject& context);
  void HRNNetwork_logWithLevel(int level, long messageCode, const std::string& message,
                               const ObjectArray& contexts);

  // ---- Called by the facade (serial queue unless said) ----

  // The event entry: schedules the worker-queue form ("TLMMeasurement:2170").
  void logEventWithOrigin(TLMLogEventCall call);
  // The worker-queue form: the pipeline's entry (default parameters, the
  // event, screen parameters, then the interceptor or the event path).
  void logEventOnWorkerQueueWithOrigin(const TLMLogEventCall& call);
  // Nil attribute logs 23079 / 23074; else schedules the worker-queue form
  // ("TLMMeasurement:2469" / "TLMMeasurement:2429").
  void setUserAttribute(const TLMUserAttributePtr& attribute);
  void removeUserAttribute(const TLMUserAttributePtr& attribute);
  // Worker queue. A disabled engine refuses (23081 / 23076).
  void setUserAttributeOnWorkerQueue(const TLMUserAttributePtr& attribute);
  void removeUserAttributeOnWorkerQueue(const TLMUserAttributePtr& attribute);
  // A nil callback logs 23090; else the properties are read on the worker
  // queue ("TLMMeasurement:2652") and the callback runs on the background
  // global queue.
  void userPropertiesIncludingInternal(bool includingInternal,
                                       std::function<void(const ObjectDictionary&)> callback);
  // An empty origin logs 23093, a nil callback 23094; else the callback
  // gets 25 on the background global queue.
  void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(long)> callback);
  // Off the main thread and off the worker queue; waits for the worker
  // queue ("TLMMeasurement:3053"). False when the ID is empty while
  // analytics storage is allowed (23167), or the wipe failed.
  [[nodiscard]] bool resetAnalyticsDataWithAppInstanceID(
      const std::optional<std::string>& appInstanceID);
  // Schedules the defaults' update ("TLMMeasurement:2285").
  void setDefaultEventParameters(const OptionalObject& parameters);
  // Schedules the session reporter's timeout ("TLMMeasurement:1443").
  void setSessionTimeoutInterval(double seconds);
  // Any queue but the worker.
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  static std::optional<std::string> deepLinkFromUserActivity(
      const std::shared_ptr<const UserActivity>& userActivity);
  // 1 = personalization disabled, 0 = allowed, none = nothing says.
  std::optional<std::int64_t> shouldDisableAdPersonalization();
  // Worker queue: sets or removes "_npa" as consent says.
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  // Passes purchased, not-yet-seen transactions to `callback`, on a global
  // queue, in their order ("TLMMeasurement:3455").
  void filterPurchaseTransactions(PaymentTransactions transactions,
                                  std::function<void(const PaymentTransactions&)> callback);

  // ---- Event pipeline (engine/TLMMeasurementEvent*.cc) ----
  // Everything below runs on the worker queue unless said otherwise.

  // Keeps a copy of the event, handles it, then (when asked) hands the
  // copy to the facade's listeners.
  void logEventOnWorkerQueue(const TLMEventPtr& event, bool notifyEventListeners);
  // Any thread: nil logs 23048; else schedules handleEventOnWorkerQueue
  // ("TLMMeasurement:2276").
  void logEvent(const TLMEventPtr& event);
  // The engine's own reports: default parameters (except for "_err"), the
  // event path, then the listeners.
  void handleInternalEventOnWorkerQueue(const TLMEventPtr& event);
  // The event path: enabled gate, safelist, background sessions,
  // subscription and rollout de-duplication, conditional user properties,
  // then the write step and the upload schedule.
  void handleEventOnWorkerQueue(const TLMEventPtr& event);
  // The write step: blocklist and event editing, then storing.
  void writeEventOnWorkerQueue(const TLMEventPtr& event);
  // For "_s" with a stored rollout string: also writes "_ssr".
  void writeSessionStartEventOnWorkerQueue(const TLMEventPtr& event);
  // Conversion marking and the storing transaction; false when nothing
  // was committed for the event (dropped by a limit counts as committed).
  bool writeFilteredEventOnWorkerQueue(const TLMEventPtr& event);
  // The default parameters' update.
  void handleSetDefaultEventParametersOnWorkerQueue(const OptionalObject& parameters);
  // The stored defaults overlaid by `parameters` (the given values win).
  OptionalObject parametersWithAddedDefaultEventParameters(const OptionalObject& parameters);

  // Inside the storing transaction.
  // Resets the counts to today when their day differs, counts the event
  // and answers whether it is to be stored.
  bool shouldProcessEvent(const TLMEventPtr& event, TLMDailyCounts& dailyCounts,
                          bool isPublicEvent);
  bool isRealtimeEvent(const TLMEventPtr& event, const TLMDailyCounts& dailyCounts);
  bool writeEvent(const TLMEventPtr& event, bool isPublicEvent, bool isRealtime);
  // The raw-event metadata: the fields of this installation and every
  // user property (internal ones included).
  TLMPBMeasurementBundle createRawEventMetadataWithUserAttributes(
      const std::vector<TLMUserAttributePtr>& userAttributes);
  // Clears "unmatched first open" and schedules "_fx" at `timestamp`
  // ("TLMMeasurement:893").
  void logFirstOpenConsentedEvent(double timestamp);

  // Bundle-time preparation, called by bundle assembly in order per event.
  TLMRawEventDataPtr internalEventFromPublicEvent(const TLMRawEventDataPtr& rawEventData);
  // True when the counts changed.
  bool checkConversion(const TLMRawEventDataPtr& rawEventData, TLMDailyCounts& dailyCounts);
  bool checkRealtime(const TLMRawEventDataPtr& rawEventData, TLMDailyCounts& dailyCounts);
  TLMRawEventDataPtr validatePurchaseEvent(const TLMRawEventDataPtr& rawEventData);
  // Sampling: the kept events in their order, or none on a database
  // failure (with `error`).
  std::optional<std::vector<TLMPBEvent>> sampleEvents(const std::vector<TLMPBEvent>& events,
                                                      Error* error);
  bool canEventBeSampled(const std::string& name);
  // True with probability 1/rate.
  bool isEventBundledAfterRoll(std::int32_t rate);

  // Stored events are committed in runs: each event's storing transaction
  // is a savepoint inside one database transaction, which is committed
  // when the worker queue has nothing more queued or the run grows old
  // (engine/TLMMeasurementCommits.cc). Worker queue.
  bool writeInCommitRun(const std::function<bool()>& block);
  // Commits the open run now, if any; a failed commit is reported as data
  // loss. Worker queue.
  void commitStoredEvents();

  // Test-only: sees every call reaching the worker-queue event entry,
  // before the pipeline runs it. Process-wide; set before use, clear with
  // an empty function.
  static void TEST_setLogEventCallObserver(std::function<void(const TLMLogEventCall&)> observer);

  // ---- Bundle assembly (engine/TLMMeasurementBundle*.cc) ----
  // Worker queue.
  // Packs the oldest run of raw events sharing one metadata record into a
  // queued bundle, in one transaction. True when a bundle was stored or a
  // run was consumed; false when there was nothing to do or a step failed.
  bool bundleRawEvents();
  // The steps below run inside bundleRawEvents' transaction; each reports
  // its own failures.
  // The next run for `fingerprint`: its raw events in row-id order, one
  // clock hour, no row-id gap, at most uploadMaxEventsPerBundle and below
  // uploadMaxSizeLimitBytes (the first event is taken even when alone over
  // the size limit). None, with `error`, when the read failed.
  [[nodiscard]] std::optional<std::vector<TLMRawEventDataPtr>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, Error* error);
  // Drops rejected events, then counts conversions and real-time events
  // and puts each event in its internal form. `metadata` is the run's
  // metadata fingerprint. Empty when every event was rejected (the run's
  // raw events are deleted then); none on failure.
  [[nodiscard]] std::optional<std::vector<TLMRawEventDataPtr>> processRawEvents(
      const std::vector<TLMRawEventDataPtr>& rawEvents, std::int64_t metadata);
  // Session start and engagement totals before the aggregates are
  // counted; updates `bundle`'s "_lte"/"_se". The evaluation time of the
  // run (its earliest event), or none on failure.
  [[nodiscard]] std::optional<double> evaluationTimeFromRawEvents(
      const std::vector<TLMRawEventDataPtr>& rawEvents, TLMPBMeasurementBundle& bundle);
  // Copies of the events with their previous timestamps, after counting
  // each in its aggregates and evaluating the audience event filters with
  // `audienceTimestampsCache`. None on failure.
  [[nodiscard]] std::optional<std::vector<TLMEventPtr>> eventsAfterUpdatingEventAggregates(
      const std::vector<TLMRawEventDataPtr>& rawEvents,
      class TLMAudienceTimestampsCacheStandIn* audienceTimestampsCache);
  // The previous-bundle times and the next bundle index; times in seconds.
  [[nodiscard]] bool updateAppMetadataForBundle(TLMPBMeasurementBundle& bundle,
                                                double bundleStartTimestamp,
                                                double bundleEndTimestamp);
  // Adds `engagementMilliseconds` to "_se" (session-scoped) or "_lte" in
  // the database and in `bundle`. False for a negative time (23186) or a
  // database failure; 0 does nothing.
  [[nodiscard]] bool updateUserEngagement(std::int64_t engagementMilliseconds,
                                          TLMPBMeasurementBundle& bundle, bool sessionScoped);
  // Experiments, monitoring sample, configuration version, app ID and the
  // bundle's start and end; times in seconds.
  void addBundleMetadataIntoBundle(TLMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);

  // ---- Upload scheduling and transport (engine/TLMMeasurementUpload*.cc) ----
  // Worker queue unless said otherwise. One batch at most is in flight.

  // Uploads now when the network is connected and there is data, else
  // updates the schedule.
  void uploadDataOrRegisterAlarm();
  // The queue or the raw-event table holds rows; false (23117 / 23118)
  // when that cannot be read.
  bool hasDataToUpload();
  // Seconds since 1970 of the next automatic upload; 0 for none (no data,
  // or the retry budget for the newest data is spent).
  double nextUploadingTime();
  // Sets, keeps or cancels the alarm; waits for the network through the
  // reachability delegate; ends the background task when nothing is due.
  void updateSchedule();
  // Bundles raw events and posts one batch of queued bundles to
  // `serviceBaseURL() + "/a"`. With nothing queued, activates a waiting
  // experiment snapshot and, when the configuration has expired, fetches it.
  void uploadData();
  // Any thread. False while a request of the engine is pending (23041 when
  // the client disagrees) or the client has a request in flight.
  bool isNetworkReadyForRequest();
  // The flag isNetworkBackgroundSessionEnabled and an active background
  // task.
  bool shouldUseBackgroundSession();
  // The leading bundles that share the first bundle's app ID and device
  // identifier (resettable, else vendor); the rest wait for the next batch.
  // Each entry is a queued bundle and its row ID.
  using QueuedBundles = std::vector<std::pair<TLMPBMeasurementBundle, std::int64_t>>;
  static QueuedBundles filteredBundlesWithCompatibleAppID(const QueuedBundles& bundlesToUpload);
  // Records the row IDs of the batch about to be posted. False, reporting
  // 23046 / 23047, for an empty list or while another batch is in flight;
  // then nothing may be posted.
  [[nodiscard]] bool setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& rowIDs);
  // The row IDs of the batch in flight; empty when none.
  const std::vector<std::int64_t>& uploadingBundleIDs() const { return uploadingBundleIDs_; }
  // Handles the answer to a posted batch: `response` is absent when no
  // complete response arrived (then `error` says why).
  void networkUploadCompletionHandlerWithResponse(const std::optional<HRNHTTPResponse>& response,
                                                  const std::optional<Error>& error);
  // Adds one to the retry count of the batch in flight (23166 on failure).
  void incrementRetryCounter();
  // False (23122) when the rows cannot be deleted.
  [[nodiscard]] bool removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& rowIDs);
  // Applies the current consent and identifier rules to `bundle`: clears
  // the consent and identifier fields, then fills those allowed now.
  void applyConsentAndIdentifierFields(TLMPBMeasurementBundle& bundle);

  // Test-only: sees the name of each upload entry point ("updateSchedule",
  // "uploadData") as it starts. Process-wide; clear with an empty function.
  static void TEST_setUploadCallObserver(std::function<void(std::string_view method)> observer);
  // Test-only: the request timeout (seconds) of engines made from now on,
  // in place of the flag's (which is never below 30 s); none restores the
  // flag. Process-wide.
  static void TEST_setNetworkTimeout(std::optional<double> seconds);

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

  // Test-only: sees every report the engine makes (level, code, message,
  // contexts) besides the monitor. Set before use.
  using ReportObserver =
      std::function<void(int level, long code, std::string_view message, const ObjectArray&)>;
  void TEST_setReportObserver(ReportObserver observer) { reportObserver_ = std::move(observer); }

 private:
  friend class TLMMeasurementNetworkDelegate;
  struct CreationTag {};

  TLMMeasurement(TLMMeasurementComponents components, TLMMeasurementHooks hooks);
  // The designated initialiser's first phase: stores the arguments.
  TLMMeasurement(CreationTag, const std::string& databaseName,
                 std::shared_ptr<TLMPersistedConfig> persistedConfig,
                 std::shared_ptr<HRNNetwork> network, std::shared_ptr<TLMScheduler> scheduler,
                 std::shared_ptr<TLMAlarm> alarm, const std::string& appID,
                 bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                 const std::optional<std::vector<std::string>>& safelistedEvents,
                 std::shared_ptr<TLMExperimentManagerSeam> experimentManager);
  // The second phase, once a shared_ptr owns the engine: the load
  // timestamp, the enabled state and the background task.
  void finishInitialization();

  // Schedules `block` on the worker queue holding the engine weakly.
  void scheduleWeakly(std::string_view blockID, std::function<void(TLMMeasurement&)> block);
  // The component build, under initializeComponentsLock. Worker queue.
  bool initializeComponentsOnWorkerQueue();
  bool openDatabaseOnWorkerQueue();
  void wipeIfOwedOnWorkerQueue(bool resetOwed);
  void persistAppIDsOnWorkerQueue();
  void excludeDataFolderFromBackup();
  void observeApplicationNotifications();
  // The remote flags and identity other threads may ask for.
  void publishComponents();
  std::shared_ptr<TLMRemoteConfig> publishedRemoteConfig() const;
  std::shared_ptr<TLMIdentity> publishedIdentity() const;

  // Fills the empty hooks with their defaults (engine/TLMMeasurementDefaults.cc).
  static void installDefaultHooks(TLMMeasurementHooks& hooks);

  void report(int level, long code, std::string_view message, ObjectArray contexts = {});
  // Records `now` as the last successful fetch; failure suspends uploads.
  void recordSuccessfulFetch(double now, long failureCode, std::string_view failureMessage);
  // The transaction that puts `data` in force; false when rolled back.
  bool applyReceivedConfiguration(const Bytes& data);

  std::shared_ptr<TLMDatabase> database_;
  std::shared_ptr<TLMRemoteConfig> remoteConfig_;
  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::shared_ptr<HRNNetwork> network_;
  std::shared_ptr<TLMIdentity> identity_;
  std::shared_ptr<TLMScheduler> scheduler_;
  std::shared_ptr<TLMAlarm> alarm_;
  std::shared_ptr<DispatchQueue> workerQueue_;
  std::string databaseName_;
  std::string appID_;
  std::optional<std::vector<std::string>> safelistedEvents_;
  double initTimestamp_ = 0;
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  bool isAnalyticsCollectionEnabled_ = true;
  bool isAnalyticsCollectionDeactivated_ = false;
  std::shared_ptr<TLMExperimentManagerSeam> experimentManager_;
  std::string previousQVRAppID_;

  mutable std::mutex initializeComponentsLock_;
  bool didInitializeComponents_ = false;  // under initializeComponentsLock_

  mutable std::mutex publishedMutex_;
  std::shared_ptr<TLMRemoteConfig> publishedRemoteConfig_;  // under publishedMutex_
  std::shared_ptr<TLMIdentity> publishedIdentity_;          // under publishedMutex_

  std::atomic<std::uint64_t> backgroundUpdateTask_{0};
  std::shared_ptr<TLMMeasurementNetworkDelegate> networkDelegate_;
  // The Platform whose notification centre the engine observes.
  std::weak_ptr<Platform> observedPlatform_;
  bool observesApplication_ = false;  // worker queue
  std::string serviceAddressProblem_;
  std::optional<std::string> serviceBaseURL_;
  TLMMeasurementHooks hooks_;
  ReportObserver reportObserver_;

  // The commit run (worker queue).
  bool commitRunFlushScheduled_ = false;
  double commitRunStartUptime_ = 0;
  double commitRunLastCommitSeconds_ = 0;  // added by commits: how long the last commit took

  // Bundle assembly state (worker queue).
  // Deletes the raw events up to `lastRowID` and the metadata row of
  // `fingerprint` once no raw event uses it. Inside the transaction.
  [[nodiscard]] bool deleteRawEventsOfRun(std::int64_t lastRowID, std::int64_t fingerprint);
  // Set when a monitoring sample went into the bundle being built: the time
  // to record as the last sample once the bundle is committed.
  std::optional<double> bundleMonitorSampleTimestamp_;

  // Upload state (worker queue).
  std::vector<std::int64_t> uploadingBundleIDs_;
  // Ends the background task, if one is active.
  void endBackgroundTaskIfActive();
  // Within an hour of uptime since uploads were suspended; clears a
  // suspension that is over.
  bool isUploadSuspended();
  // Fills the empty upload hooks with this engine's own methods.
  void installUploadHooks();

  std::atomic<bool> isNetworkRequestPending_{false};
  std::atomic<double> suspendedUploadTimestamp_{0.0};
};
