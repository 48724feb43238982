#include "ProxyChallenge.h"

#include "LoggingCategories.h"
#include "QtProxyTypes.h"

const char* authenticationMethodName(int method) {
    switch (method) {
        case 0:
            return "None";
        case 1:
            return "Basic";
        case 2:
            return "Negotiate";
        case 3:
            return "Ntlm";
        case 4:
            return "DigestMd5";
        default:
            return "Unknown";
    }
}

void logProxyAuthentication(const QNetworkProxy* proxy, const QAuthenticator* authenticator) {
    if (proxy == nullptr) {
        return;
    }
    if (authenticator == nullptr) {
        qCInfo(lcProxyAuthenticator) << "Using proxy of type:" << proxyTypeName(proxy->type());
        return;
    }
    qCInfo(lcProxyAuthenticator) << "Using proxy of type:" << proxyTypeName(proxy->type())
                                 << "with auth method of:" << authenticationMethodName(-1);
}

ProxyAuthenticator::ChallengeAnswer answerProxyChallenge(ProxyAuthenticator& proxies,
                                                         const QNetworkProxy& proxy,
                                                         QAuthenticator* authenticator,
                                                         const QLoggingCategory& category,
                                                         bool canAskUser) {
    logProxyAuthentication(&proxy, authenticator);
    qCInfo(category).noquote().nospace()
        << " proxy authentication required for " << proxy.hostName() << ":" << proxy.port();
    auto answer = proxies.beginChallenge(canAskUser);
    switch (answer.kind) {
        case ProxyAuthenticator::ChallengeAnswer::AlreadyRequested:
            qCInfo(category) << "proxy credentials already requested";
            break;
        case ProxyAuthenticator::ChallengeAnswer::UseStored:
            qCInfo(category) << "trying to authenticate with cached credentials";
            if (authenticator != nullptr) {
                authenticator->setUser(QString::fromStdWString(answer.user));
                authenticator->setPassword(QString::fromStdWString(answer.password));
            }
            break;
        default:
            break;
    }
    return answer;
}
