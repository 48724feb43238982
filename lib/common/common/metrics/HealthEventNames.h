#pragma once

#include <string>

// The names of the health and installer events that the product's components
// report as metrics. Each source file that includes this header has its own
// copies (internal linkage).
namespace common::healthEventNames {

// The service's start, the user interface, the data channel, sessions, media and elevation.
const std::string kHealthServiceStarting = "health-service-starting";
const std::string kHealthServiceStartingAsAdmin = "health-service-starting-as-admin";
const std::string kHealthRcStarting = "health-rc-starting";
const std::string kHealthUiConnected = "health-ui-connected";
const std::string kHealthDataChannelPing = "health-data-channel-ping";
const std::string kHealthDataChannelPong = "health-data-channel-pong";
const std::string kHealthDataChannelUnreliable = "health-data-channel-unreliable";
const std::string kHealthDataChannelConnected = "health-data-channel-connected";
const std::string kHealthSessionConnected = "health-session-connected";
const std::string kHealthSessionConnectNotPossible = "health-session-connect-not-possible";
const std::string kHealthSessionConnectAccepted = "health-session-connect-accepted";
const std::string kHealthSessionConnectRejected = "health-session-connect-rejected";
const std::string kHealthSessionRemoteControlPermissionRequest =
    "health-session-remote-control-permission-request";
const std::string kHealthSessionRemoteControlPermissionResponse =
    "health-session-remote-control-permission-response";
const std::string kHealthMediaOfferReceived = "health-media-offer-received";
const std::string kHealthMediaStreamArrived = "health-media-stream-arrived";
const std::string kHealthMediaIceConnectionStuck = "health-media-ice-connection-stuck";
const std::string kHealthStartServiceModeElevation = "health-start-service-mode-elevation";
const std::string kHealthServiceModeElevationFailed = "health-service-mode-elevation-failed";
const std::string kHealthServiceModeElevationWrongCredentials =
    "health-service-mode-elevation-wrong-credentials";
const std::string kHealthFatalErrorPickedUp = "health-fatal-error-picked-up";
const std::string kHealthServiceQuitRequested = "health-service-quit-requested";

// Screen capture.
const std::string kHealthyFirstFrameSent = "healthy-first-frame-sent";
const std::string kHealthyScreenCaptureFallbackInitiated =
    "healthy-screen-capture-fallback-initiated";

const std::string kHealthSessionQuitCrashCount = "health-session-quit-crash-count";

// The remote-control session.
const std::string kRcsUseDesktopDuplication = "rcs-use-desktop-duplication";
const std::string kRcsUseScreenServer = "rcs-use-screen-server";
const std::string kRcsScreenCapturerMac = "rcs-screen-capturer-mac";
const std::string kRcsCreateScreenCapturerFailed = "rcs-create-screen-capturer-failed";
const std::string kRcsAllPermissionGranted = "rcs-all-permission-granted";
const std::string kRcsPermissionMissing = "rcs-permission-missing";
const std::string kRcsQuitReason = "rcs-quit-reason";

// The unattended agent: start and updates.
const std::string kUnattendedStarting = "unattended-starting";
const std::string kUnattendedUpdateDownloadStarting = "unattended-update-download-starting";
const std::string kUnattendedUpdateDownloadSuccess = "unattended-update-download-success";
const std::string kUnattendedUpdateDownloadFailed = "unattended-update-download-failed";
const std::string kUnattendedUpdateInstallStarting = "unattended-update-install-starting";
const std::string kUnattendedUpdateInstallFailed = "unattended-update-install-failed";
const std::string kUnattendedUpdateMaxTryCountExceeded = "unattended-update-max-try-count-exceeded";
const std::string kUnattendedUpdateRequested = "unattended-update-requested";
const std::string kUnattendedUpdateDeviceToken = "unattended-update-device-token";

// The unattended agent: sessions and the device.
const std::string kUnattendedSessionRequested = "unattended-session-requested";
const std::string kUnattendedSessionForcedTakeover = "unattended-session-forced-takeover";
const std::string kUnattendedSessionFailed = "unattended-session-failed";
const std::string kUnattendedCompanyTokenAccepted = "unattended-company-token-accepted";
const std::string kUnattendedSessionZerotrustAuthenticationFailed =
    "unattended-session-zerotrust-authentication-failed";
const std::string kUnattendedSessionIsNotInTheValidFrame =
    "unattended-session-is-not-in-the-valid-frame";
const std::string kUnattendedDeviceDuplicationDetected = "unattended-device-duplication-detected";

// The unattended agent: states.
const std::string kUnattendedStateIdle = "unattended-state-idle";
const std::string kUnattendedStateInsession = "unattended-state-insession";
const std::string kUnattendedStateStopped = "unattended-state-stopped";

// The unattended agent: remote executions.
const std::string kUnattendedRemoteExecutionStarting = "unattended-remote-execution-starting";
const std::string kUnattendedRemoteExecutionFinishedSuccessful =
    "unattended-remote-execution-finished-successful";
const std::string kUnattendedRemoteExecutionFinishedFailed =
    "unattended-remote-execution-finished-failed";
const std::string kUnattendedRemoteExecutionDownloadStarting =
    "unattended-remote-execution-download-starting";
const std::string kUnattendedRemoteExecutionDownloadSuccessful =
    "unattended-remote-execution-download-successful";
const std::string kUnattendedRemoteExecutionDownloadFailed =
    "unattended-remote-execution-download-failed";
const std::string kUnattendedRemoteExecutionInstallStarting =
    "unattended-remote-execution-install-starting";
const std::string kUnattendedRemoteExecutionInstallSuccessful =
    "unattended-remote-execution-install-successful";
const std::string kUnattendedRemoteExecutionInstallFailed =
    "unattended-remote-execution-install-failed";

// The unattended agent: external feature modules.
const std::string kUnattendedExternalFeatureModuleStarting =
    "unattended-external-feature-module-starting";
const std::string kUnattendedExternalFeatureModuleStartFailed =
    "unattended-external-feature-module-start-failed";
const std::string kUnattendedExternalFeatureModuleTerminated =
    "unattended-external-feature-module-terminated";
const std::string kUnattendedExternalFeatureModuleDownloadStarting =
    "unattended-external-feature-module-download-starting";
const std::string kUnattendedExternalFeatureModuleDownloadSuccessful =
    "unattended-external-feature-module-download-successful";
const std::string kUnattendedExternalFeatureModuleDownloadFailed =
    "unattended-external-feature-module-download-failed";
const std::string kUnattendedExternalFeatureModuleInstallStarting =
    "unattended-external-feature-module-install-starting";
const std::string kUnattendedExternalFeatureModuleInstallSuccessful =
    "unattended-external-feature-module-install-successful";
const std::string kUnattendedExternalFeatureModuleInstallFailed =
    "unattended-external-feature-module-install-failed";

}  // namespace common::healthEventNames
