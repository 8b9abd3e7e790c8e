// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneCore/Diagnostics/DiagnosticQueue.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"
#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

class PanelClient;

// The app's one entry point for diagnostics: builds a report, keeps it in the
// on-disk queue and tries to deliver the queue at once. Lives on the model's
// thread. No error escapes it: every failure becomes an outcome or a count of 0.
class DiagnosticsReporter {
public:
    enum class Outcome { sent, saved, alreadySent, notSaved };

    // The platform facts that go into a report.
    struct Device {
        std::string os;
        std::string osVersion;
        std::string arch;
        std::optional<std::string> locale;
        std::optional<std::string> timezone;
        bool operator==(const Device&) const = default;
    };

    // The queue under $XDG_DATA_HOME/corvane/diagnostics/queue; without a usable
    // directory every report is notSaved.
    DiagnosticsReporter();
    // The queue in `queueDirectory`, with its own clock (tests).
    explicit DiagnosticsReporter(std::filesystem::path queueDirectory,
                                 DiagnosticQueue::Clock clock = &std::chrono::system_clock::now);
    ~DiagnosticsReporter();

    static std::filesystem::path defaultQueueDirectory();
    // The last engine configuration, its secrets masked, for reports of other processes.
    static std::filesystem::path configSnapshotPath();

    // Without a panel client the report is only saved. The client is shared so
    // that signing out during a delivery does not pull it away mid-request.
    Async<Outcome> report(ReportBuilder::Input input, std::shared_ptr<PanelClient> panel);
    // Delivers what was saved earlier; the number of reports delivered.
    Async<std::int64_t> drain(std::shared_ptr<PanelClient> panel);

    // Null when the queue directory could not be prepared.
    DiagnosticQueue* queue() noexcept { return queue_.get(); }

    static Device device();
    // The line shown to the user.
    static std::string_view message(Outcome outcome);

private:
    std::unique_ptr<DiagnosticQueue> queue_;
};

}  // namespace corvane
