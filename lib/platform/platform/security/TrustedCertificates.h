#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::security {

// Stand-in for exporting certificates from the system's keychains: a
// keychain is a PEM bundle file, and each certificate in it is exported as
// its DER bytes. The system's root keychain is Debian's bundle of trusted
// authorities; the user's search list is empty unless set (tests add their
// own bundles there).
class TrustedCertificates {
public:
    static constexpr const char* kSystemRootCertificates = "/etc/ssl/certs/ca-certificates.crt";

    // Whether a keychain can be opened (the file is readable).
    static bool openKeychain(const std::string& path);

    // The keychains of the user's search list.
    static std::vector<std::string> copySearchList();
    static void setSearchList(std::vector<std::string> keychains);

    // The DER bytes of every certificate of the keychains, in order; a block
    // whose text is not Base64 cannot be exported and is left out. Nothing
    // when no certificate is found.
    static std::optional<std::vector<std::vector<unsigned char>>> copyCertificates(
        const std::vector<std::string>& keychains);
};

}  // namespace platform::security
