#include "common/credentialstorage/CredentialStorage.h"

#include <boost/locale/encoding_utf.hpp>

#include "platform/security/Keychain.h"

namespace common::credentialstorage {

namespace {

using platform::security::errSecItemNotFound;
using platform::security::errSecSuccess;
using platform::security::ItemQuery;
using platform::security::ItemResult;
using platform::security::Keychain;

// UTF-8 of a wide text; characters that cannot be converted are dropped.
std::string toUtf8(const std::wstring& text) {
    return boost::locale::conv::utf_to_utf<char>(text, boost::locale::conv::skip);
}

std::wstring fromUtf8(const std::string& text) {
    return boost::locale::conv::utf_to_utf<wchar_t>(text, boost::locale::conv::skip);
}

// The wide text of data that must be UTF-8 as a whole; empty when it is not.
std::wstring strictlyFromUtf8(const std::string& data) {
    try {
        return boost::locale::conv::utf_to_utf<wchar_t>(data, boost::locale::conv::stop);
    } catch (const boost::locale::conv::conversion_error&) {
        return {};
    }
}

ItemQuery byLabel(const std::string& label) {
    ItemQuery query;
    query.label = label;
    return query;
}

}  // namespace

// The item under the label is changed in place when there is one, so that a
// failure leaves the credential stored before; otherwise a new item is added.
bool CredentialStorage::store(const std::wstring& label, const std::wstring& account,
                              const std::wstring& secret) {
    const std::string utf8Label = toUtf8(label);

    ItemQuery attributes;
    attributes.account = toUtf8(account);
    attributes.valueData = toUtf8(secret);
    const auto status = Keychain::update(byLabel(utf8Label), attributes);
    if (status == errSecSuccess) {
        return true;
    }
    if (status != errSecItemNotFound) {
        return false;
    }
    attributes.label = utf8Label;
    return Keychain::add(attributes) == errSecSuccess;
}

bool CredentialStorage::load(const std::wstring& label, std::wstring& account,
                             std::wstring& secret) {
    ItemQuery query = byLabel(toUtf8(label));
    query.returnAttributes = true;
    ItemResult attributes;
    if (Keychain::copyMatching(query, attributes) != errSecSuccess) {
        return false;
    }
    account = fromUtf8(attributes.account.value_or(std::string()));

    query.returnAttributes = false;
    query.returnData = true;
    ItemResult data;
    if (Keychain::copyMatching(query, data) != errSecSuccess) {
        return false;
    }
    secret = strictlyFromUtf8(data.valueData.value_or(std::string()));
    return true;
}

}  // namespace common::credentialstorage
