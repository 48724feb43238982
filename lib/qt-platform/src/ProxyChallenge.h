#pragma once

#include <QAuthenticator>
#include <QLoggingCategory>
#include <QNetworkProxy>

#include "ProxyAuthenticator.h"

// The name of an authentication method number for the log: 0 "None",
// 1 "Basic", 2 "Negotiate", 3 "Ntlm", 4 "DigestMd5", else "Unknown".
const char* authenticationMethodName(int method);

// Logs the type of a challenged proxy and, when there is an authenticator,
// its method. Qt 5 does not tell an authenticator's method, so it is logged
// as "Unknown".
void logProxyAuthentication(const QNetworkProxy* proxy, const QAuthenticator* authenticator);

// Meets a proxy's demand for credentials from the authenticator, logging in
// `category`: leaves it unanswered while the user is being asked, or fills
// `authenticator` with the known credentials. When the user must be asked the
// answer says so, and the caller asks.
ProxyAuthenticator::ChallengeAnswer answerProxyChallenge(ProxyAuthenticator& proxies,
                                                         const QNetworkProxy& proxy,
                                                         QAuthenticator* authenticator,
                                                         const QLoggingCategory& category,
                                                         bool canAskUser);
