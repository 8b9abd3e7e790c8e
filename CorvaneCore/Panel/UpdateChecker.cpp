// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/UpdateChecker.hpp"

#include <sys/utsname.h>

#include "CorvaneCore/Panel/Version.hpp"

namespace corvane {

VersionResponse VersionResponse::decode(const RecordDecoder& d) {
    return {
        .platform = d.required<std::string>("platform"),
        .version = d.required<std::string>("version"),
        .sha256 = d.required<std::string>("sha256"),
        .filename = d.required<std::string>("filename"),
        .sizeBytes = d.required<std::int64_t>("size_bytes"),
        .downloadUrl = d.required<std::string>("download_url"),
        .minRequiredVersion = d.optional<std::string>("min_required_version"),
        .uploadedAt = d.required<std::string>("uploaded_at"),
    };
}

void VersionResponse::encode(RecordEncoder& e) const {
    e.set("platform", platform);
    e.set("version", version);
    e.set("sha256", sha256);
    e.set("filename", filename);
    e.set("size_bytes", sizeBytes);
    e.set("download_url", downloadUrl);
    e.setOptional("min_required_version", minRequiredVersion);
    e.set("uploaded_at", uploadedAt);
}

namespace UpdateChecker {

UpdateStatus evaluate(const VersionResponse& response, std::string_view installed) {
    UpdateStatus status;
    status.latest = Version::release(response.version);
    status.installed = Version::release(installed);
    status.updateAvailable = Version::compare(status.latest, status.installed) == 1;
    status.blocking = status.updateAvailable && response.minRequiredVersion &&
                      Version::compare(status.installed, Version::release(*response.minRequiredVersion)) == -1;
    return status;
}

std::string platform() {
    struct utsname name {};
    if (uname(&name) != 0) return "linux-unknown";
    return std::string("linux-") + name.machine;
}

}  // namespace UpdateChecker

}  // namespace corvane
