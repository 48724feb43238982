#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include "network/AsyncSSLContext.h"
#include "platform/security/TrustedCertificates.h"
#include "support/LogCapture.h"
#include "support/SocketTestLoop.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

using networktest::probe;
using platform::security::TrustedCertificates;

X509* readCertificate(const std::string& file) {
    FILE* in = std::fopen(file.c_str(), "r");
    if (in == nullptr) {
        return nullptr;
    }
    X509* certificate = PEM_read_X509(in, nullptr, nullptr, nullptr);
    std::fclose(in);
    return certificate;
}

std::string oneLine(const X509_NAME* name) {
    char text[256] = {};
    X509_NAME_oneline(name, text, sizeof text);
    return text;
}

// A currently valid authority of the system's bundle: its subject.
std::string systemAuthority() {
    FILE* in = std::fopen(TrustedCertificates::kSystemRootCertificates, "r");
    std::string subject;
    while (in != nullptr && subject.empty()) {
        X509* certificate = PEM_read_X509(in, nullptr, nullptr, nullptr);
        if (certificate == nullptr) {
            break;
        }
        if (X509_cmp_current_time(X509_get0_notBefore(certificate)) < 0 &&
            X509_cmp_current_time(X509_get0_notAfter(certificate)) > 0) {
            subject = oneLine(X509_get_subject_name(certificate));
        }
        X509_free(certificate);
    }
    if (in != nullptr) {
        std::fclose(in);
    }
    return subject;
}

// How many certificates of subject `name` the context's store finds, looked
// up as a verification looks them up.
int lookUp(network::AsyncSSLContext& context, const X509_NAME* name) {
    X509_STORE_CTX* verification = X509_STORE_CTX_new();
    X509_STORE_CTX_init(verification, SSL_CTX_get_cert_store(context.Get().native_handle()),
                        nullptr, nullptr);
    STACK_OF(X509)* found = X509_STORE_CTX_get_lookup_certs(verification)(verification, name);
    const int count = found != nullptr ? sk_X509_num(found) : 0;
    sk_X509_pop_free(found, X509_free);
    X509_STORE_CTX_free(verification);
    return count;
}

// Whether the certificate of `file` verifies against the context's store.
bool verifies(network::AsyncSSLContext& context, const std::string& file) {
    X509* certificate = readCertificate(file);
    X509_STORE_CTX* verification = X509_STORE_CTX_new();
    X509_STORE_CTX_init(verification, SSL_CTX_get_cert_store(context.Get().native_handle()),
                        certificate, nullptr);
    const bool verified = X509_verify_cert(verification) == 1;
    X509_STORE_CTX_free(verification);
    X509_free(certificate);
    return verified;
}

class CertificateStoreManagerTest : public ::testing::Test {
protected:
    CertificateStoreManagerTest() : certificates_(folder_.path()) {
        certificates_.make("valid", {"Valid Server", {"valid.test"}});
        certificates_.make("expired", {"Expired Server", {}, -7200, -1});
        certificates_.make("future", {"Future Server", {}, 3600, 7200});
        std::ofstream out(bundle_);
        out << std::ifstream(certificates_.caFile()).rdbuf() << certificates_.pem("valid")
            << certificates_.pem("expired") << certificates_.pem("future")
            // Base64 of bytes that are no certificate.
            << "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n-----END CERTIFICATE-----\n"
            // Text that is not Base64: cannot be exported, left out silently.
            << "-----BEGIN CERTIFICATE-----\n!!!!\n-----END CERTIFICATE-----\n";
    }

    testsupport::TempDir folder_{"network-trust"};
    networktest::TestCertificates certificates_;
    const std::string bundle_ = folder_.file("bundle.pem");
    const std::string channel_ = "CertificateStoreManager";
};

// Each certificate of the keychains is judged once, when a verification
// first asks for its subject: those in their validity period are trusted,
// the others are reported and left out.
TEST_F(CertificateStoreManagerTest, TheTrustLoaderSkipsExpiredFutureAndCorruptEntries) {
    const auto run = testsupport::runLogged([&] {
        TrustedCertificates::setSearchList({bundle_});
        network::AsyncSSLContext context;
        context.LoadTrust();
        context.LoadTrust();
        for (const char* name : {"ca", "valid", "expired", "future", "valid", "ca"}) {
            X509* certificate = readCertificate(std::string(name) == "ca"
                                                    ? certificates_.caFile()
                                                    : certificates_.certificateFile(name));
            probe(std::string(name) + " found " +
                  std::to_string(lookUp(context, X509_get_subject_name(certificate))));
            X509_free(certificate);
        }
        probe(std::string("valid verifies ") +
              (verifies(context, certificates_.certificateFile("valid")) ? "yes" : "no"));
        return 0;
    });
    ASSERT_TRUE(run.result.exited);
    for (const auto& line : {"Certificate imported: /CN=Quorvane Test CA",
                             "Certificate imported: /CN=Valid Server",
                             "Certificate already expired: /CN=Expired Server",
                             "Certificate not yet valid: /CN=Future Server"}) {
        // Loaded once, however often asked.
        EXPECT_EQ(1, run.count("trace", channel_, line)) << line << "\n" << run.text();
    }
    for (const auto& line : {"ca found 1", "valid found 1", "expired found 0", "future found 0",
                             "valid verifies yes"}) {
        EXPECT_GE(run.count("info", "Probe", line), 1) << line << "\n" << run.text();
    }
    EXPECT_EQ(0, run.count("trace", channel_, "Certificate imported: /CN=Expired Server"));
    EXPECT_EQ(0, run.count("trace", channel_, "Certificate imported: /CN=Future Server"));
    EXPECT_TRUE(run.hasPart("warning", channel_, "OpenSSL error ")) << run.text();
    EXPECT_TRUE(run.hasPart("warning", channel_, " when parsing certificate")) << run.text();
}

// Loading the trust decodes none of the keychains' certificates: the
// system's authorities are found when asked for by subject, however the
// name is written (OpenSSL compares names without regard to case), and only
// those asked for are ever decoded.
TEST_F(CertificateStoreManagerTest, KeychainCertificatesAreDecodedOnlyWhenAskedFor) {
    const std::string authority = systemAuthority();
    ASSERT_FALSE(authority.empty()) << "no valid authority in the system's bundle";
    const auto run = testsupport::runLogged([&] {
        TrustedCertificates::setSearchList({bundle_});
        network::AsyncSSLContext context;
        context.LoadTrust();
        probe("trust loaded");
        // The test CA's name in other letters and as another string type.
        X509_NAME* otherCase = X509_NAME_new();
        X509_NAME_add_entry_by_txt(otherCase, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("quorvane TEST ca"), -1,
                                   -1, 0);
        probe("other case found " + std::to_string(lookUp(context, otherCase)));
        X509_NAME_free(otherCase);
        X509* fromBundle = nullptr;
        FILE* in = std::fopen(TrustedCertificates::kSystemRootCertificates, "r");
        while (in != nullptr && (fromBundle = PEM_read_X509(in, nullptr, nullptr, nullptr))) {
            if (oneLine(X509_get_subject_name(fromBundle)) == authority) {
                break;
            }
            X509_free(fromBundle);
        }
        if (in != nullptr) {
            std::fclose(in);
        }
        probe("system authority found " +
              std::to_string(fromBundle ? lookUp(context, X509_get_subject_name(fromBundle)) : -1));
        X509_free(fromBundle);
        return 0;
    });
    ASSERT_TRUE(run.result.exited);
    const long loaded = [&] {
        for (std::size_t i = 0; i < run.lines.size(); ++i) {
            if (run.lines[i].find(";;;trust loaded") != std::string::npos) {
                return static_cast<long>(i);
            }
        }
        return -1L;
    }();
    ASSERT_GE(loaded, 0) << run.text();
    for (long i = 0; i < loaded; ++i) {
        EXPECT_EQ(std::string::npos, run.lines[i].find(";;" + channel_ + ";;;Certificate "))
            << "decoded while the trust was loaded: " << run.lines[i];
    }
    EXPECT_TRUE(run.has("info", "Probe", "other case found 1")) << run.text();
    EXPECT_EQ(1, run.count("trace", channel_, "Certificate imported: /CN=Quorvane Test CA"));
    EXPECT_TRUE(run.hasPart("info", "Probe", "system authority found ")) << run.text();
    EXPECT_FALSE(run.has("info", "Probe", "system authority found 0")) << run.text();
    EXPECT_FALSE(run.has("info", "Probe", "system authority found -1")) << run.text();
    EXPECT_GE(run.count("trace", channel_, "Certificate imported: " + authority), 1) << run.text();
    // The CA and the authority (with any other of the same name), not the
    // whole bundle.
    EXPECT_LE(run.countPart("trace", channel_, "Certificate imported: "), 4) << run.text();
}

// Beside the keychains, the context trusts OpenSSL's default paths as their
// environment overrides name them: a CA file (SSL_CERT_FILE) or a folder of
// certificates named by their subject's hash (SSL_CERT_DIR).
TEST_F(CertificateStoreManagerTest, TheCertificateFileAndFolderOfTheEnvironmentAreTrusted) {
    const std::string hashed = folder_.file("hashed");
    std::filesystem::create_directory(hashed);
    {
        X509* ca = readCertificate(certificates_.caFile());
        char name[32];
        std::snprintf(name, sizeof name, "%08lx.0", X509_NAME_hash_ex(X509_get_subject_name(ca),
                                                                      nullptr, nullptr, nullptr));
        X509_free(ca);
        std::filesystem::copy_file(certificates_.caFile(), hashed + "/" + name);
    }
    const struct {
        const char* file;  // SSL_CERT_FILE, or null for none
        const char* dir;   // SSL_CERT_DIR, or null for none
        bool verified;
    } cases[] = {
        {nullptr, nullptr, false},
        {"ca", nullptr, true},
        {nullptr, "hashed", true},
        {nullptr, "empty", false},
    };
    std::filesystem::create_directory(folder_.file("empty"));
    for (const auto& c : cases) {
        const auto run = testsupport::runLogged([&] {
            TrustedCertificates::setSearchList({});
            ::unsetenv(X509_get_default_cert_file_env());
            ::unsetenv(X509_get_default_cert_dir_env());
            if (c.file != nullptr) {
                ::setenv(X509_get_default_cert_file_env(), certificates_.caFile().c_str(), 1);
            }
            if (c.dir != nullptr) {
                ::setenv(X509_get_default_cert_dir_env(), folder_.file(c.dir).c_str(), 1);
            }
            network::AsyncSSLContext context;
            context.LoadTrust();
            return verifies(context, certificates_.certificateFile("valid")) ? 10 : 11;
        });
        EXPECT_EQ(c.verified ? 10 : 11, run.result.exitCode)
            << "SSL_CERT_FILE " << (c.file ? c.file : "unset") << ", SSL_CERT_DIR "
            << (c.dir ? c.dir : "unset") << "\n"
            << run.text();
    }
}

}  // namespace
