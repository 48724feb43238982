#include "network/KeychainCertificateIndex.h"

#include <cstring>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/x509.h>

namespace network {

namespace {

// Where the subject lies in a DER certificate: Certificate ::= SEQUENCE {
// tbsCertificate SEQUENCE { [0] version OPTIONAL, serialNumber, signature,
// issuer, validity, subject, ... }, ... }. False when it cannot be found.
bool FindSubject(const std::vector<unsigned char>& der, std::size_t& at, std::size_t& length) {
    const unsigned char* cursor = der.data();
    const unsigned char* end = der.data() + der.size();
    long content = 0;
    int tag = 0;
    int tagClass = 0;
    // Reads one header; false on an error or an indefinite length.
    const auto header = [&](const unsigned char* limit) {
        const int result = ASN1_get_object(&cursor, &content, &tag, &tagClass, limit - cursor);
        return (result & 0x81) == 0;
    };
    if (!header(end) || tag != V_ASN1_SEQUENCE || !header(end) || tag != V_ASN1_SEQUENCE) {
        return false;
    }
    const unsigned char* const fieldsEnd = cursor + content;
    for (int field = 0; cursor < fieldsEnd;) {
        const unsigned char* const start = cursor;
        if (!header(fieldsEnd)) {
            return false;
        }
        const bool version = field == 0 && tagClass == V_ASN1_CONTEXT_SPECIFIC && tag == 0;
        if (!version && field == 4) {
            if (tag != V_ASN1_SEQUENCE) {
                return false;
            }
            at = static_cast<std::size_t>(start - der.data());
            length = static_cast<std::size_t>(cursor - start) + static_cast<std::size_t>(content);
            return true;
        }
        cursor += content;
        field += version ? 0 : 1;
    }
    return false;
}

void FreeIndex(void*, void* index, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<KeychainCertificateIndex*>(index);
}

// Whether the store already holds a certificate of subject `name`.
bool StoreHolds(X509_STORE* store, const X509_NAME* name) {
    if (X509_STORE_lock(store) != 1) {
        return false;
    }
    const bool holds =
        X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), X509_LU_X509, name) !=
        nullptr;
    X509_STORE_unlock(store);
    return holds;
}

}  // namespace

KeychainCertificateIndex::KeychainCertificateIndex(std::vector<Entry> entries, Import import)
    : entries_(std::move(entries)), import_(std::move(import)) {}

void KeychainCertificateIndex::Attach(X509_STORE* store,
                                      std::vector<std::vector<unsigned char>> certificates,
                                      Import import) {
    std::vector<Entry> entries;
    entries.reserve(certificates.size());
    for (auto& der : certificates) {
        Entry entry;
        if (!FindSubject(der, entry.subjectAt, entry.subjectLength)) {
            ERR_clear_error();
            import(der.data(), static_cast<int>(der.size()), store);
            continue;
        }
        entry.der = std::move(der);
        entries.push_back(std::move(entry));
    }
    auto* index = new KeychainCertificateIndex(std::move(entries), std::move(import));
    KeychainCertificateIndex* previous = Of(store);
    if (X509_STORE_set_ex_data(store, IndexSlot(), index) != 1) {
        // Nowhere to keep it: every certificate is offered now.
        for (auto& entry : index->entries_) {
            index->import_(entry.der.data(), static_cast<int>(entry.der.size()), store);
        }
        delete index;
        return;
    }
    delete previous;
    X509_STORE_set_get_issuer(store, &KeychainCertificateIndex::GetIssuer);
    X509_STORE_set_lookup_certs(store, &KeychainCertificateIndex::LookupCertificates);
}

void KeychainCertificateIndex::OfferSubject(X509_STORE* store, const X509_NAME* name) {
    const unsigned char* nameDer = nullptr;
    std::size_t nameLength = 0;
    if (name == nullptr || X509_NAME_get0_der(name, &nameDer, &nameLength) != 1) {
        return;
    }
    std::lock_guard lock(mutex_);
    std::vector<Entry*> matches;
    bool sameEncoding = false;
    for (auto& entry : entries_) {
        if (entry.subjectLength == nameLength &&
            std::memcmp(entry.der.data() + entry.subjectAt, nameDer, nameLength) == 0) {
            sameEncoding = true;
            if (!entry.offered) {
                matches.push_back(&entry);
            }
        }
    }
    // A name encoded otherwise may still be the same name to OpenSSL; the
    // subjects are decoded for that only when neither the keychains nor the
    // store hold the name as it is encoded.
    if (!sameEncoding && !StoreHolds(store, name)) {
        for (auto& entry : entries_) {
            if (entry.offered) {
                continue;
            }
            if (!entry.subject) {
                const unsigned char* cursor = entry.der.data() + entry.subjectAt;
                entry.subject.reset(
                    d2i_X509_NAME(nullptr, &cursor, static_cast<long>(entry.subjectLength)));
                if (!entry.subject) {
                    ERR_clear_error();
                    continue;
                }
            }
            if (X509_NAME_cmp(entry.subject.get(), name) == 0) {
                matches.push_back(&entry);
            }
        }
    }
    for (Entry* entry : matches) {
        entry->offered = true;
        import_(entry->der.data(), static_cast<int>(entry->der.size()), store);
    }
}

int KeychainCertificateIndex::IndexSlot() {
    static const int slot = X509_STORE_get_ex_new_index(0, nullptr, nullptr, nullptr, &FreeIndex);
    return slot;
}

KeychainCertificateIndex* KeychainCertificateIndex::Of(X509_STORE* store) {
    return store == nullptr
               ? nullptr
               : static_cast<KeychainCertificateIndex*>(X509_STORE_get_ex_data(store, IndexSlot()));
}

int KeychainCertificateIndex::GetIssuer(X509** issuer, X509_STORE_CTX* context, X509* certificate) {
    X509_STORE* store = X509_STORE_CTX_get0_store(context);
    if (KeychainCertificateIndex* index = Of(store)) {
        index->OfferSubject(store, X509_get_issuer_name(certificate));
    }
    return X509_STORE_CTX_get1_issuer(issuer, context, certificate);
}

STACK_OF(X509) * KeychainCertificateIndex::LookupCertificates(X509_STORE_CTX* context,
                                                             const X509_NAME* name) {
    X509_STORE* store = X509_STORE_CTX_get0_store(context);
    if (KeychainCertificateIndex* index = Of(store)) {
        index->OfferSubject(store, name);
    }
    return X509_STORE_CTX_get1_certs(context, name);
}

}  // namespace network
