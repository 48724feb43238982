#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/metrics/HealthEventNames.h"

using namespace common::healthEventNames;

namespace {

const std::vector<const std::string*> kAll = {
    &kHealthServiceStarting,
    &kHealthServiceStartingAsAdmin,
    &kHealthRcStarting,
    &kHealthUiConnected,
    &kHealthDataChannelPing,
    &kHealthDataChannelPong,
    &kHealthDataChannelUnreliable,
    &kHealthDataChannelConnected,
    &kHealthSessionConnected,
    &kHealthSessionConnectNotPossible,
    &kHealthSessionConnectAccepted,
    &kHealthSessionConnectRejected,
    &kHealthSessionRemoteControlPermissionRequest,
    &kHealthSessionRemoteControlPermissionResponse,
    &kHealthMediaOfferReceived,
    &kHealthMediaStreamArrived,
    &kHealthMediaIceConnectionStuck,
    &kHealthStartServiceModeElevation,
    &kHealthServiceModeElevationFailed,
    &kHealthServiceModeElevationWrongCredentials,
    &kHealthFatalErrorPickedUp,
    &kHealthServiceQuitRequested,
    &kHealthyFirstFrameSent,
    &kHealthyScreenCaptureFallbackInitiated,
    &kHealthSessionQuitCrashCount,
    &kRcsUseDesktopDuplication,
    &kRcsUseScreenServer,
    &kRcsScreenCapturerMac,
    &kRcsCreateScreenCapturerFailed,
    &kRcsAllPermissionGranted,
    &kRcsPermissionMissing,
    &kRcsQuitReason,
    &kUnattendedStarting,
    &kUnattendedUpdateDownloadStarting,
    &kUnattendedUpdateDownloadSuccess,
    &kUnattendedUpdateDownloadFailed,
    &kUnattendedUpdateInstallStarting,
    &kUnattendedUpdateInstallFailed,
    &kUnattendedUpdateMaxTryCountExceeded,
    &kUnattendedUpdateRequested,
    &kUnattendedUpdateDeviceToken,
    &kUnattendedSessionRequested,
    &kUnattendedSessionForcedTakeover,
    &kUnattendedSessionFailed,
    &kUnattendedCompanyTokenAccepted,
    &kUnattendedSessionZerotrustAuthenticationFailed,
    &kUnattendedSessionIsNotInTheValidFrame,
    &kUnattendedDeviceDuplicationDetected,
    &kUnattendedStateIdle,
    &kUnattendedStateInsession,
    &kUnattendedStateStopped,
    &kUnattendedRemoteExecutionStarting,
    &kUnattendedRemoteExecutionFinishedSuccessful,
    &kUnattendedRemoteExecutionFinishedFailed,
    &kUnattendedRemoteExecutionDownloadStarting,
    &kUnattendedRemoteExecutionDownloadSuccessful,
    &kUnattendedRemoteExecutionDownloadFailed,
    &kUnattendedRemoteExecutionInstallStarting,
    &kUnattendedRemoteExecutionInstallSuccessful,
    &kUnattendedRemoteExecutionInstallFailed,
    &kUnattendedExternalFeatureModuleStarting,
    &kUnattendedExternalFeatureModuleStartFailed,
    &kUnattendedExternalFeatureModuleTerminated,
    &kUnattendedExternalFeatureModuleDownloadStarting,
    &kUnattendedExternalFeatureModuleDownloadSuccessful,
    &kUnattendedExternalFeatureModuleDownloadFailed,
    &kUnattendedExternalFeatureModuleInstallStarting,
    &kUnattendedExternalFeatureModuleInstallSuccessful,
    &kUnattendedExternalFeatureModuleInstallFailed,
};

TEST(HealthEventNamesTest, SixtyNineDistinctLowerCaseNamesWithTheirPrefixes) {
    ASSERT_EQ(69u, kAll.size());
    std::set<std::string> distinct;
    std::map<std::string, int> prefixes;
    for (const std::string* name : kAll) {
        ASSERT_FALSE(name->empty());
        distinct.insert(*name);
        for (const char c : *name) {
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(c)) || c == '-') << *name;
        }
        EXPECT_EQ(std::string::npos, name->find("--")) << *name;
        EXPECT_NE('-', name->back()) << *name;
        prefixes[name->substr(0, name->find('-'))]++;
    }
    EXPECT_EQ(69u, distinct.size());
    EXPECT_EQ((std::map<std::string, int>{
                  {"health", 23}, {"healthy", 2}, {"rcs", 7}, {"unattended", 37}}),
              prefixes);
    EXPECT_EQ("unattended-update-download-success", kUnattendedUpdateDownloadSuccess);
    EXPECT_EQ("unattended-remote-execution-download-successful",
              kUnattendedRemoteExecutionDownloadSuccessful);
}

}  // namespace
