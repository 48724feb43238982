#include <gtest/gtest.h>

#include <fstream>

#include "network/AsyncSSLContext.h"
#include "platform/security/TrustedCertificates.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

using platform::security::TrustedCertificates;

TEST(CertificateStoreManagerTest, TheTrustLoaderSkipsExpiredFutureAndCorruptEntries) {
    testsupport::TempDir folder("network-trust");
    networktest::TestCertificates certificates(folder.path());
    certificates.make("valid", {"Valid Server", {"valid.test"}});
    certificates.make("expired", {"Expired Server", {}, -7200, -1});
    certificates.make("future", {"Future Server", {}, 3600, 7200});
    const std::string bundle = folder.file("bundle.pem");
    {
        std::ofstream out(bundle);
        out << std::ifstream(certificates.caFile()).rdbuf() << certificates.pem("valid")
            << certificates.pem("expired") << certificates.pem("future")
            // Base64 of bytes that are no certificate.
            << "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n"
            // Text that is not Base64: cannot be exported, left out silently.
            << "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n";
    }
    const auto run = testsupport::runLogged([&] {
        TrustedCertificates::setSearchList({bundle});
        network::AsyncSSLContext context;
        context.LoadTrust();
        context.LoadTrust();
        return 0;
    });
    ASSERT_TRUE(run.result.exited);
    const std::string channel = "CertificateStoreManager";
    for (const auto& line : {"Certificate imported: /CN=Quorvane Test CA",
                             "Certificate imported: /CN=Valid Server",
                             "Certificate already expired: /CN=Expired Server",
                             "Certificate not yet valid: /CN=Future Server"}) {
        // Loaded once, however often asked.
        EXPECT_EQ(1, run.count("trace", channel, line)) << line << "\n" << run.text();
    }
    EXPECT_EQ(0, run.count("trace", channel, "Certificate imported: /CN=Expired Server"));
    EXPECT_EQ(0, run.count("trace", channel, "Certificate imported: /CN=Future Server"));
    EXPECT_TRUE(run.hasPart("warning", channel, "OpenSSL error ")) << run.text();
    EXPECT_TRUE(run.hasPart("warning", channel, " when parsing certificate")) << run.text();
    // The system's own authorities are loaded too.
    EXPECT_GT(run.countOnChannel(channel), 20) << "the system bundle was not read";
}

}  // namespace
