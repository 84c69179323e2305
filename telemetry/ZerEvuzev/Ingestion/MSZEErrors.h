// The telemetry SDK's error domain and the codes its senders report. Channels and services
// compare against these values, so every sender takes them from here.
#pragma once

#include <cstdint>

inline constexpr const char* kMSZEErrorDomain = "com.revererav.zerevuzev.ErrorDomain";

// A log container that is missing or fails validation; never reaches the network.
inline constexpr std::int64_t kMSZELogInvalidContainerErrorCode = 1;
inline constexpr const char* kMSZELogInvalidContainerErrorDesc = "Invalid log container.";

// A generic HTTP call ended because its client was disabled while it was pending.
inline constexpr std::int64_t kMSZECanceledErrorCode = 2;
inline constexpr const char* kMSZECanceledErrorDesc = "The operation was canceled.";

// A generic HTTP call was started on a disabled client.
inline constexpr std::int64_t kMSZEDisabledErrorCode = 3;
inline constexpr const char* kMSZEDisabledErrorDesc = "The service is disabled.";

// A channel dropped its logs while paused with deletion.
inline constexpr std::int64_t kMSZEConnectionPausedErrorCode = 100;
inline constexpr const char* kMSZEConnectionPausedErrorDesc = "Canceled, connection paused with log deletion.";

// An answer other than 200; the status travels in the user info under kMSZEConnectionHttpCodeKey.
inline constexpr std::int64_t kMSZEConnectionHttpErrorCode = 101;
inline constexpr const char* kMSZEConnectionHttpErrorDesc = "An HTTP error occured.";
inline constexpr const char* kMSZEConnectionHttpCodeKey = "MSZEConnectionHttpCode";
