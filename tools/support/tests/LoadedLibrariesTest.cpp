#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace {

// The shared libraries that the dynamic loader maps for a program, as ldd
// lists them (their names, the loader and the kernel's vDSO included).
std::vector<std::string> loadedLibraries(const std::string& program, std::string& listing) {
    const auto run = testsupport::runCommand({"/usr/bin/ldd", program});
    listing = run.output + run.errors;
    std::vector<std::string> libraries;
    if (!run.exited || run.exitCode != 0) {
        return libraries;
    }
    for (const auto& line : testsupport::splitLines(run.output)) {
        std::istringstream words(line);
        std::string name;
        if (words >> name) {
            libraries.push_back(name);
        }
    }
    return libraries;
}

// The network tools load only what they use: at most 20 shared libraries,
// and neither Qt (with ICU) nor libcurl (with GnuTLS, Kerberos and LDAP) nor
// libpacparser, which only the proxy support needs; that comes in a module
// of its own, loaded for --proxy.
TEST(LoadedLibrariesTest, NetworkToolsLoadAtMostTwentyLibrariesAndNoProxySupport) {
    const char* forbidden[] = {"libQt5", "libicu", "libcurl", "libpacparser", "libgnutls",
                               "libkrb5", "libldap"};
    for (const std::string program : {NET_GET_PATH, NET_WS_PATH}) {
        std::string listing;
        const auto libraries = loadedLibraries(program, listing);
        ASSERT_FALSE(libraries.empty()) << program << ":\n" << listing;
        EXPECT_LE(libraries.size(), 20u) << program << ":\n" << listing;
        for (const auto& library : libraries) {
            for (const char* prefix : forbidden) {
                EXPECT_NE(0u, library.rfind(prefix, 0)) << program << " loads " << library;
            }
        }
    }
}

}  // namespace
