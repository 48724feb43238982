#include "support/TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace networktest {

namespace {

EVP_PKEY* newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) {
        throw std::runtime_error("cannot make a test key");
    }
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

X509* newCertificate(const CertificateSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                     bool isCa) {
    static long serial = 1;
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), spec.notBeforeOffset);
    X509_gmtime_adj(X509_getm_notAfter(certificate), spec.notAfterOffset);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(certificate, issuer ? X509_get_subject_name(issuer) : name);
    if (isCa) {
        addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    std::string names;
    for (const auto& dns : spec.dnsNames) {
        names += (names.empty() ? "DNS:" : ",DNS:") + dns;
    }
    if (!names.empty()) {
        addExtension(certificate, issuer ? issuer : certificate, NID_subject_alt_name, names);
    }
    X509_sign(certificate, issuerKey ? issuerKey : key, EVP_sha256());
    return certificate;
}

void writePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
    if (certificate) {
        PEM_write_X509(file, certificate);
    }
    if (key) {
        PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    }
    std::fclose(file);
}

}  // namespace

TestCertificates::TestCertificates(std::string folder) : folder_(std::move(folder)) {
    EVP_PKEY* key = newKey();
    X509* ca = newCertificate({"Quorvane Test CA", {}, -86400, 86400 * 30, false}, key, nullptr,
                              nullptr, true);
    writePem(caFile(), ca, nullptr);
    caKey_ = key;
    caCertificate_ = ca;
}

TestCertificates::~TestCertificates() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(caKey_));
    X509_free(static_cast<X509*>(caCertificate_));
}

std::string TestCertificates::make(const std::string& name, const CertificateSpec& spec) {
    EVP_PKEY* key = newKey();
    X509* certificate =
        spec.signedByCa ? newCertificate(spec, key, static_cast<X509*>(caCertificate_),
                                         static_cast<EVP_PKEY*>(caKey_), false)
                        : newCertificate(spec, key, nullptr, nullptr, false);
    const std::string file = folder_ + "/" + name + ".pem";
    writePem(file, certificate, nullptr);
    writePem(keyFile(name), nullptr, key);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return file;
}

std::string TestCertificates::pem(const std::string& name) const {
    std::ifstream file(folder_ + "/" + name + ".pem");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace networktest
