#include "network/AsyncSSLContext.h"

#include <sys/stat.h>

#include <cstdlib>

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include "network/CertificateStoreManager.h"
#include "platform/security/TrustedCertificates.h"

namespace network {

namespace {

using platform::security::TrustedCertificates;

bool SameFile(const char* a, const char* b) {
    struct stat first {};
    struct stat second {};
    return a != nullptr && b != nullptr && ::stat(a, &first) == 0 && ::stat(b, &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// What SSL_CTX_set_default_verify_paths sets up (the default file, the hashed
// directory and the default store, each as OpenSSL's environment overrides
// SSL_CERT_FILE, SSL_CERT_DIR and SSL_CERT_URI name them), except that the
// default file is not read when it is the system bundle, whose certificates
// the trust loader already offers to the store as verifications ask for
// them: reading it would decode every one of them. The directory and the
// store are looked up lazily, certificate by certificate. Failures are
// ignored.
void LoadDefaultVerifyPaths(SSL_CTX* context, bool systemBundleLoaded) {
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    if (!store) {
        return;
    }
    const char* file = std::getenv(X509_get_default_cert_file_env());
    if (file == nullptr) {
        file = X509_get_default_cert_file();
    }
    if (!systemBundleLoaded || !SameFile(file, TrustedCertificates::kSystemRootCertificates)) {
        if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file())) {
            X509_LOOKUP_load_file(lookup, nullptr, X509_FILETYPE_DEFAULT);
        }
    }
    if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir())) {
        X509_LOOKUP_add_dir(lookup, nullptr, X509_FILETYPE_DEFAULT);
    }
    if (X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_store())) {
        X509_LOOKUP_add_store(lookup, nullptr);
    }
    ERR_clear_error();
}

}  // namespace

AsyncSSLContext::AsyncSSLContext() = default;

AsyncSSLContext::~AsyncSSLContext() = default;

boost::asio::ssl::context& AsyncSSLContext::Get() {
    std::call_once(created_, [this] {
        auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::sslv23);
        SSL_CTX* handle = context->native_handle();
        SSL_CTX_set_options(handle, SSL_OP_NO_SSLv3);
        SSL_CTX_set_verify(handle, SSL_VERIFY_PEER, SSL_CTX_get_verify_callback(handle));
        context_ = std::move(context);
        isCreated_.store(true, std::memory_order_release);
    });
    return *context_;
}

bool AsyncSSLContext::IsCreated() const {
    return isCreated_.load(std::memory_order_acquire);
}

void AsyncSSLContext::LoadTrust() {
    std::call_once(trustLoaded_, [this] {
        SSL_CTX* context = Get().native_handle();
        ERR_clear_error();
        bool systemBundleLoaded = false;
        if (auto manager = CertificateStoreManager::Create()) {
            manager->LoadSystemCertificates(context);
            manager->SetTrustedFirst(context);
            systemBundleLoaded =
                TrustedCertificates::openKeychain(TrustedCertificates::kSystemRootCertificates);
        }
        LoadDefaultVerifyPaths(context, systemBundleLoaded);
    });
}

}  // namespace network
