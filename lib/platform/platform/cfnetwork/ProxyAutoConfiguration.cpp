#include "platform/cfnetwork/ProxyAutoConfiguration.h"

namespace platform::cfnetwork {

namespace {

// The host that the script is asked about for `target`: the host of a URL,
// or a bare host name (no "://"), which then stands for its URL as well.
std::optional<std::string> targetHost(const std::string& target) {
    if (target.find("://") != std::string::npos) {
        return hostOfUrl(target);
    }
    const auto host = hostOfUrl("http://" + target);
    return host == target ? host : std::nullopt;
}

}  // namespace

ProxyAutoConfiguration::ProxyAutoConfiguration(PacFetchLimits limits) : limits_(limits) {}

ProxyAutoConfigurationResult ProxyAutoConfiguration::execute(const std::string& scriptUrl,
                                                             const std::string& targetUrl) {
    ProxyAutoConfigurationResult result;
    const auto host = targetHost(targetUrl);
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
