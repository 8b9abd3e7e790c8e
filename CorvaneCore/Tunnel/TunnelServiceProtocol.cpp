#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

PlatformError PlatformError::decode(const RecordDecoder& d) {
    return {
        .domain = d.required<std::string>("domain"),
        .code = d.defaulted<std::int64_t>("code", 0),
        .localizedDescription = d.required<std::string>("localizedDescription"),
    };
}

void PlatformError::encode(RecordEncoder& e) const {
    e.set("domain", domain);
    e.set("code", code);
    e.set("localizedDescription", localizedDescription);
}

TunnelProfile TunnelProfile::decode(const RecordDecoder& d) {
    return {
        .identifier = d.defaulted<std::string>("identifier", ""),
        .providerBundleIdentifier = d.required<std::string>("providerBundleIdentifier"),
        .serverAddress = d.defaulted<std::string>("serverAddress", ""),
        .localizedDescription = d.defaulted<std::string>("localizedDescription", ""),
        .enabled = d.defaulted<bool>("enabled", false),
    };
}

void TunnelProfile::encode(RecordEncoder& e) const {
    e.set("identifier", identifier);
    e.set("providerBundleIdentifier", providerBundleIdentifier);
    e.set("serverAddress", serverAddress);
    e.set("localizedDescription", localizedDescription);
    e.set("enabled", enabled);
}

}  // namespace corvane
