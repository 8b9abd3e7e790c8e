// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"

#include <cstdlib>
#include <sys/utsname.h>
#include <system_error>

#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/Text.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

// "6.1.0-18-amd64" -> "6.1.0": the major, minor and patch numbers, missing ones 0.
std::string kernelVersion(std::string_view release) {
    std::string out;
    std::size_t i = 0;
    for (int part = 0; part < 3; ++part) {
        std::size_t start = i;
        while (i < release.size() && release[i] >= '0' && release[i] <= '9') ++i;
        std::string_view number = release.substr(start, i - start);
        if (number.empty()) {
            if (part == 0) return std::string(release);  // not a version we know how to read
            number = "0";
        }
        if (part > 0) out.push_back('.');
        out.append(number);
        if (i < release.size() && release[i] == '.' && i + 1 < release.size() && release[i + 1] >= '0' &&
            release[i + 1] <= '9') {
            ++i;
        } else {
            i = release.size();  // the rest is the distribution's suffix
        }
    }
    return out;
}

// "de_DE.UTF-8@euro" -> "de_DE": the locale's identifier without codeset and modifier.
std::optional<std::string> localeIdentifier() {
    for (const char* name : {"LC_ALL", "LANG"}) {
        auto value = environment(name);
        if (!value || value->empty()) continue;
        std::string id = value->substr(0, value->find_first_of(".@"));
        if (!id.empty()) return id;
    }
    return std::nullopt;
}

// The zone's name from a path into the zone database, e.g. ".../zoneinfo/Europe/Berlin".
std::optional<std::string> zoneFromPath(std::string_view path) {
    constexpr std::string_view marker = "zoneinfo/";
    auto at = path.rfind(marker);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view zone = path.substr(at + marker.size());
    // The "posix/" and "right/" trees hold the same zones under another prefix.
    for (std::string_view prefix : {"posix/", "right/"}) {
        if (zone.starts_with(prefix)) zone.remove_prefix(prefix.size());
    }
    if (zone.empty()) return std::nullopt;
    return std::string(zone);
}

std::optional<std::string> timeZoneIdentifier() {
    if (auto tz = environment("TZ")) {
        std::string_view value = *tz;
        if (value.starts_with(":")) value.remove_prefix(1);
        if (value.empty()) return "UTC";  // an empty TZ means UTC to the C library
        if (value.starts_with("/")) return zoneFromPath(value);
        return std::string(value);
    }
    std::error_code ec;
    auto target = std::filesystem::read_symlink("/etc/localtime", ec);
    if (!ec) {
        if (auto zone = zoneFromPath(target.string())) return zone;
    }
    try {
        if (auto text = readFileIfExists("/etc/timezone")) {
            auto zone = trimWhitespace(*text);
            if (!zone.empty()) return std::string(zone);
        }
    } catch (const std::system_error&) {
    }
    return std::nullopt;
}

Async<DiagnosticQueue::PostResult> upload(std::shared_ptr<PanelClient> panel, const DiagnosticReport& report) {
    try {
        co_await panel->uploadDiagnostics(report);  // the panel's report id is not needed
        co_return std::nullopt;
    } catch (const PanelError& e) {
        co_return e;
    } catch (...) {
        co_return PanelError::transientServer();  // unexpected: try again on a later pass
    }
}

}  // namespace

DiagnosticsReporter::DiagnosticsReporter() {
    try {
        queue_ = std::make_unique<DiagnosticQueue>(defaultQueueDirectory());
    } catch (const std::exception&) {
    }
}

DiagnosticsReporter::DiagnosticsReporter(std::filesystem::path queueDirectory, DiagnosticQueue::Clock clock) {
    try {
        queue_ = std::make_unique<DiagnosticQueue>(std::move(queueDirectory), std::move(clock));
    } catch (const std::exception&) {
    }
}

DiagnosticsReporter::~DiagnosticsReporter() = default;

std::filesystem::path DiagnosticsReporter::defaultQueueDirectory() {
    return xdgDataHome() / "corvane" / "diagnostics" / "queue";
}

std::filesystem::path DiagnosticsReporter::configSnapshotPath() {
    return xdgDataHome() / "corvane" / "diagnostics" / "last-config.json";
}

Async<DiagnosticsReporter::Outcome> DiagnosticsReporter::report(ReportBuilder::Input input,
                                                                std::shared_ptr<PanelClient> panel) {
    if (!queue_) co_return Outcome::notSaved;
    std::optional<EnqueueOutcome> queued;
    try {
        // A report the user asked for is never suppressed as a duplicate.
        queued = queue_->enqueue(ReportBuilder::build(input), input.trigger == "manual");
    } catch (const std::exception&) {
        co_return Outcome::notSaved;
    }
    if (queued->isSuppressed()) co_return Outcome::alreadySent;
    if (!panel) co_return Outcome::saved;
    // Any delivery counts: the pass may send older reports before this one.
    const std::int64_t delivered = co_await drain(std::move(panel));
    co_return delivered > 0 ? Outcome::sent : Outcome::saved;
}

Async<std::int64_t> DiagnosticsReporter::drain(std::shared_ptr<PanelClient> panel) {
    if (!queue_ || !panel) co_return 0;
    DiagnosticQueue::Poster post = [panel](const DiagnosticReport& report) { return upload(panel, report); };
    std::int64_t delivered = 0;
    try {
        delivered = co_await queue_->drain(std::move(post));
    } catch (const std::exception&) {
    }
    co_return delivered;
}

DiagnosticsReporter::Device DiagnosticsReporter::device() {
    Device device{.os = "linux"};
    utsname info{};
    if (::uname(&info) == 0) {
        device.osVersion = kernelVersion(info.release);
        device.arch = info.machine;
    }
    device.locale = localeIdentifier();
    device.timezone = timeZoneIdentifier();
    return device;
}

std::string_view DiagnosticsReporter::message(Outcome outcome) {
    switch (outcome) {
    case Outcome::sent: return "Report sent";
    case Outcome::saved: return "Saved \u2014 it will be sent when the panel is reachable";
    case Outcome::alreadySent: return "Already sent in the last hour";
    case Outcome::notSaved: return "Could not save the report";
    }
    return "Could not save the report";
}

}  // namespace corvane
