// The upload's monitor codes and limits. Internal to the engine.
#pragma once

#include <string_view>

// Monitor codes of upload scheduling and transport.
inline constexpr long kTLMUploadCodeSuspended = 23023;
inline constexpr long kTLMUploadCodeNoData = 23024;
inline constexpr long kTLMUploadCodeNoNextTime = 23025;
inline constexpr long kTLMUploadCodeNoNetwork = 23026;
inline constexpr long kTLMUploadCodeAlreadyScheduled = 23027;
inline constexpr long kTLMUploadCodeScheduled = 23028;
inline constexpr long kTLMUploadCodeLatestRawEventTimeFailed = 23029;
inline constexpr long kTLMUploadCodeLatestBundleTimeFailed = 23030;
inline constexpr long kTLMUploadCodeRealtimeBundlesFailed = 23031;
inline constexpr long kTLMUploadCodeRealtimeRawEventsFailed = 23032;
inline constexpr long kTLMUploadCodeStarting = 23033;
inline constexpr long kTLMUploadCodeRequestPending = 23034;
inline constexpr long kTLMUploadCodeNotConnected = 23035;
inline constexpr long kTLMUploadCodeQueryFailed = 23036;
inline constexpr long kTLMUploadCodeNothingQueued = 23037;
inline constexpr long kTLMUploadCodeSinceLastSuccess = 23038;
inline constexpr long kTLMUploadCodeSent = 23039;
inline constexpr long kTLMUploadCodeNoSession = 23040;
inline constexpr long kTLMUploadCodeClientNotUploading = 23041;
inline constexpr long kTLMUploadCodeFailedWillRetry = 23043;
inline constexpr long kTLMUploadCodeSucceeded = 23044;
inline constexpr long kTLMUploadCodeDeleteFailedSuspending = 23045;
inline constexpr long kTLMUploadCodeEmptyBundleList = 23046;
inline constexpr long kTLMUploadCodeAlreadyInProgress = 23047;
inline constexpr long kTLMUploadCodeQueueCheckFailed = 23117;
inline constexpr long kTLMUploadCodeRawEventsCheckFailed = 23118;
inline constexpr long kTLMUploadCodeDeleteFailed = 23122;
inline constexpr long kTLMUploadCodeRetryCountFailed = 23166;
// No measurement service address: nothing is posted (as for the fetch).
inline constexpr long kTLMUploadCodeNoServiceAddress = 29011;

// How long uploads stay suspended (seconds of uptime) after delivered
// bundles could not be deleted, so that they are not sent again at once.
inline constexpr double kTLMUploadSuspensionSeconds = 3600;
// The alarm delay used instead of one too small to tell from zero.
inline constexpr double kTLMUploadMinimumDelay = 0.001;
// The upload path on the measurement service.
inline constexpr char kTLMUploadPath[] = "/a";

// Tells the test observer (TLMMeasurement::TEST_setUploadCallObserver)
// that an upload entry point started.
void tlm_notifyUploadCallObserver(std::string_view method);
