#include "platform/cfnetwork/ProxyAutoConfiguration.h"

namespace platform::cfnetwork {

ProxyAutoConfiguration::ProxyAutoConfiguration(PacFetchLimits limits) : limits_(limits) {}

ProxyAutoConfigurationResult ProxyAutoConfiguration::execute(const std::string& scriptUrl,
                                                             const std::string& targetUrl) {
    ProxyAutoConfigurationResult result;
    auto host = hostOfUrl(targetUrl);
    if (!host && targetUrl.find("://") == std::string::npos && hostOfUrl("http://" + targetUrl)) {
        // A bare host name stands for itself, as URL and host.
        host = targetUrl;
    }
    if (!host) {
        result.error = "The URL \"" + targetUrl + "\" is not valid.";
        return result;
    }
    const auto fetched = fetchPacScript(scriptUrl, limits_);
    if (!fetched.script) {
        result.error = fetched.error;
        return result;
    }
    const auto evaluated = evaluatePacScript(*fetched.script, targetUrl, *host);
    if (!evaluated.proxies) {
        result.error = evaluated.error;
        return result;
    }
    result.proxies = parsePacProxies(*evaluated.proxies);
    return result;
}

}  // namespace platform::cfnetwork
