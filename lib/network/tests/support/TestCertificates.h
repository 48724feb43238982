#pragma once

#include <string>
#include <vector>

namespace networktest {

// What a test certificate is made like: its subject's common name, the
// DNS names it is valid for, its validity relative to now (in seconds) and
// whether the test CA signs it (otherwise it signs itself).
struct CertificateSpec {
    std::string commonName;
    std::vector<std::string> dnsNames;
    long notBeforeOffset = -3600;
    long notAfterOffset = 86400;
    bool signedByCa = true;
};

// A test CA and certificates made at test time with OpenSSL, written as PEM
// files into `folder`: "ca.pem", and "<name>.pem" with "<name>.key" for each
// certificate made.
class TestCertificates {
public:
    explicit TestCertificates(std::string folder);
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    std::string caFile() const { return folder_ + "/ca.pem"; }
    // Makes the certificate and its key; returns the certificate's file.
    std::string make(const std::string& name, const CertificateSpec& spec);
    std::string keyFile(const std::string& name) const { return folder_ + "/" + name + ".key"; }
    std::string certificateFile(const std::string& name) const { return folder_ + "/" + name + ".pem"; }
    // The certificate's PEM text.
    std::string pem(const std::string& name) const;

private:
    std::string folder_;
    void* caKey_;
    void* caCertificate_;
};

}  // namespace networktest
