#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace network {

// The keychains' certificates for one OpenSSL certificate store, by subject.
// Decoding a certificate is costly and a handshake needs only the few of its
// chain, so none is decoded up front: the first time a verification asks the
// store for a subject (an issuer, or a certificate by name), the keychains'
// certificates of that subject are handed to the import function, which
// decides whether each goes into the store. Each certificate is offered at
// most once.
class KeychainCertificateIndex {
public:
    // Offers one certificate (DER) to the store.
    using Import = std::function<void(const unsigned char* der, int length, X509_STORE* store)>;

    // Attaches the certificates to `store`, which owns them from then on (an
    // index attached before is replaced). A certificate whose subject cannot
    // be read is offered at once, so that its failure is not put off.
    static void Attach(X509_STORE* store, std::vector<std::vector<unsigned char>> certificates,
                       Import import);

    KeychainCertificateIndex(const KeychainCertificateIndex&) = delete;
    KeychainCertificateIndex& operator=(const KeychainCertificateIndex&) = delete;

private:
    struct Entry {
        std::vector<unsigned char> der;
        // Where the subject's encoding lies in `der`.
        std::size_t subjectAt = 0;
        std::size_t subjectLength = 0;
        // The subject decoded, for names that match only when compared as
        // OpenSSL compares them (case, spacing, string types); made when
        // first needed.
        struct FreeName {
            void operator()(X509_NAME* name) const { X509_NAME_free(name); }
        };
        std::unique_ptr<X509_NAME, FreeName> subject;
        bool offered = false;
    };

    KeychainCertificateIndex(std::vector<Entry> entries, Import import);

    // Offers the certificates of subject `name` that were not offered yet.
    void OfferSubject(X509_STORE* store, const X509_NAME* name);

    static int IndexSlot();
    static KeychainCertificateIndex* Of(X509_STORE* store);
    static int GetIssuer(X509** issuer, X509_STORE_CTX* context, X509* certificate);
    static STACK_OF(X509) * LookupCertificates(X509_STORE_CTX* context, const X509_NAME* name);

    std::mutex mutex_;
    std::vector<Entry> entries_;
    const Import import_;
};

}  // namespace network
