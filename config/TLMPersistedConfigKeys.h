// Keys of the measurement suite "com.tarvix.qvr.measurement", each read and
// written through its own TLMPersistedConfig accessor (named in the
// comment, with the stored type).
#pragma once

// double, seconds since 1970: lastDeleteStaleBundlesTimestamp
inline constexpr char kTLMLastDeleteStaleKey[] = "/tarvix/measurement/last_delete_stale";
// number: searchAdCampaignValue
inline constexpr char kTLMIsSearchAdCampaignKey[] = "/tarvix/measurement/is_search_ad_campaign";
// double, seconds: lastSearchAdLookUpTimestamp
inline constexpr char kTLMSearchAdLastAttemptTimestampKey[] =
    "/tarvix/measurement/search_ad_last_attempt_timestamp";
// int64: searchAdRetryCount
inline constexpr char kTLMSearchAdNumberOfRetriesKey[] =
    "/tarvix/measurement/search_ad_number_of_retries";
// strings: appInstanceID, appIDFromQVR, appIDFromVelmora, hashedResettableDeviceID
inline constexpr char kTLMAppInstanceIDKey[] = "/tarvix/measurement/app_instance_id";
inline constexpr char kTLMQVRAppIDKey[] = "/tarvix/measurement/qvr_app_id";
inline constexpr char kTLMVelmoraAppIDKey[] = "/tarvix/measurement/velmora_app_id";
inline constexpr char kTLMHashedIDFAKey[] = "/tarvix/measurement/hashed_idfa";
// doubles, seconds: lastBackoffTimestamp, lastSuccessfulUploadTimestamp,
// lastFailedUploadTimestamp
inline constexpr char kTLMLastBackoffKey[] = "/tarvix/measurement/last_backoff";
inline constexpr char kTLMLastSuccessfulUploadKey[] = "/tarvix/measurement/last_successful_upload";
inline constexpr char kTLMLastFailedUploadKey[] = "/tarvix/measurement/last_failed_upload";
// strings: appVersion, osVersion
inline constexpr char kTLMAppVersionKey[] = "/tarvix/measurement/app_version";
inline constexpr char kTLMOSVersionKey[] = "/tarvix/measurement/os_version";
// double, seconds: midnightOffset
inline constexpr char kTLMMidnightOffsetKey[] = "/tarvix/measurement/midnight_offset";
// double, seconds: lastMonitorDataSampledTimestamp
inline constexpr char kTLMLastMonitorDataSampledTimestampKey[] =
    "/tarvix/measurement/last_monitor_data_sampled_timestamp";
// int64, milliseconds since 1970: firstOpenTimestampMilliseconds
inline constexpr char kTLMFirstOpenTimestampMillisecondsKey[] =
    "/tarvix/measurement/first_open_timestamp_ms";
// string: configServerLastModifiedString
inline constexpr char kTLMLastModifiedSinceKey[] = "/tarvix/measurement/last_modified_since_key";
// number holding a double, seconds: loadTimestampValue
inline constexpr char kTLMLoadTimestampKey[] = "/tarvix/measurement/load_timestamp";
// boolean number: allowPersonalizedAds
inline constexpr char kTLMAllowPersonalizedAdsKey[] = "/tarvix/measurement/allow_personalized_ads";
// string: quillfenFeatureRollouts
inline constexpr char kTLMQuillfenFeatureRolloutsKey[] =
    "/tarvix/measurement/quillfen_feature_rollouts";
// number: deferredDeepLinkRetrievalComplete
inline constexpr char kTLMDeepLinkRetrievalCompleteKey[] =
    "/tarvix/measurement/deep_link_retrieval_complete";
// int64: deferredDeepLinkRetryCount
inline constexpr char kTLMDeepLinkRetryCountKey[] = "/tarvix/measurement/deep_link_retry_count";
// int64 read as a bool (non-zero): shouldSetLastAdvertisingIDResetUserProperty
inline constexpr char kTLMSetLastAdvertisingIDResetKey[] =
    "/tarvix/measurement/set_last_advertising_id_reset";
// int64 read as a bool (non-zero): unmatchedFirstOpenWithoutIDFA
inline constexpr char kTLMUnmatchedFirstOpenKey[] = "/tarvix/measurement/unmatched_first_open";
// bool: startNewSession
inline constexpr char kTLMStartNewSessionKey[] = "/tarvix/measurement/start_new_session";
// doubles: lastSessionActivityClockTime (seconds), engagementTimeBeforeSessionStart
inline constexpr char kTLMLastEngagementEndKey[] = "/tarvix/measurement/last_engagement_end";
inline constexpr char kTLMEngagementTimeBeforeSessionStartKey[] =
    "/tarvix/measurement/et_before_session_start";
// int64: sessionNumber
inline constexpr char kTLMSessionNumberKey[] = "/tarvix/measurement/session_number";
// dictionary: defaultEventParameters
inline constexpr char kTLMDefaultEventParametersKey[] =
    "/tarvix/measurement/default_event_parameters";
