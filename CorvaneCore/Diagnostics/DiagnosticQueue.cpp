// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/DiagnosticQueue.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>

#include "CorvaneCore/Support/AtomicFile.hpp"

namespace corvane {

namespace asio = boost::asio;

namespace {

// Reports hold log lines and addresses of the user's own devices: keep them private.
constexpr auto queueFileMode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

bool isQueuedName(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    return path.extension() == ".json" && !name.starts_with(".tmp-");
}

void removeQuietly(const std::filesystem::path& file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

[[noreturn]] void throwCancelled() { throw boost::system::system_error(asio::error::operation_aborted); }

bool isShortOfResources(const std::error_code& error) {
    const int e = error.value();
    return e == EMFILE || e == ENFILE || e == ENOMEM || e == ENOBUFS || e == EAGAIN;
}

}  // namespace

QueuedBundle QueuedBundle::decode(const RecordDecoder& d) {
    return {
        .attempts = d.required<std::int64_t>("attempts"),
        .report = d.required<DiagnosticReport>("report"),
    };
}

void QueuedBundle::encode(RecordEncoder& e) const {
    e.set("attempts", attempts);
    e.set("report", report);
}

std::filesystem::path EnqueueOutcome::file() const {
    if (const auto* q = std::get_if<Queued>(&value_)) return q->file;
    return {};
}

std::int64_t EnqueueOutcome::count() const {
    if (const auto* s = std::get_if<Suppressed>(&value_)) return s->count;
    return 0;
}

DiagnosticQueue::DiagnosticQueue(std::filesystem::path directory, Clock now, SteadyClock steadyNow)
    : directory_(std::move(directory)), now_(std::move(now)), steadyNow_(std::move(steadyNow)) {
    std::filesystem::create_directories(directory_);
    removeAbandonedTemporaries(directory_);  // what a writer killed mid-write left
}

DiagnosticQueue::~DiagnosticQueue() = default;

std::string DiagnosticQueue::signature(const DiagnosticReport& report) {
    std::string hint;
    if (!report.hints.empty()) hint = report.hints.front().kind + "|" + report.hints.front().message;

    std::string crash;
    if (report.crash && !report.crash->panicFiles.empty()) {
        std::string_view content = report.crash->panicFiles.front().content;
        while (!content.empty()) {
            auto end = content.find('\n');
            std::string_view line = content.substr(0, end);
            content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
            if (line.starts_with("location: ")) {
                crash = line;
                break;
            }
        }
    }

    std::string key = report.triggerReason + "|" + hint + "|" + crash;
    // Reports that differ only in ports, process ids or line numbers are the same report.
    std::erase_if(key, [](char c) { return c >= '0' && c <= '9'; });
    return key;
}

EnqueueOutcome DiagnosticQueue::enqueue(DiagnosticReport report, bool force) {
    const std::string key = signature(report);
    const auto now = now_();
    const auto elapsedNow = steadyNow_();

    if (!force) {
        auto last = lastEnqueued_.find(key);
        if (last != lastEnqueued_.end() && elapsedNow - last->second < dedupWindow) {
            return EnqueueOutcome::suppressed(++suppressed_[key]);
        }
    }
    std::int64_t suppressedBefore = 0;
    if (auto it = suppressed_.find(key); it != suppressed_.end() && it->second > 0) {
        suppressedBefore = it->second;
        report.hints.push_back(DiagnosticHint{
            .kind = "suppressed_duplicates",
            .severity = "info",
            .message = std::to_string(suppressedBefore) + " identical bundle(s) suppressed within the last hour",
            .details = {{"count", JSONValue(suppressedBefore)}},
        });
        it->second = 0;
    }
    std::optional<std::chrono::steady_clock::time_point> previous;
    if (auto it = lastEnqueued_.find(key); it != lastEnqueued_.end()) previous = it->second;
    lastEnqueued_[key] = elapsedNow;

    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    const auto file = directory_ / (std::to_string(seconds) + "-" + makeUUID() + ".json");
    try {
        writeFileAtomically(file, encodeJSON(QueuedBundle{0, std::move(report)}), queueFileMode);
    } catch (...) {
        // Nothing was saved: the next identical report must not be taken for a duplicate of it.
        if (previous) {
            lastEnqueued_[key] = *previous;
        } else {
            lastEnqueued_.erase(key);
        }
        if (suppressedBefore > 0) suppressed_[key] = suppressedBefore;
        throw;
    }
    return EnqueueOutcome::queued(file);
}

std::vector<std::filesystem::path> DiagnosticQueue::queuedFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
        std::error_code ec;
        if (entry.is_directory(ec)) continue;
        if (isQueuedName(entry.path())) files.push_back(entry.path());
    }
    // Names begin with the time in seconds, so name order is age order.
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.filename().string() < b.filename().string(); });
    return files;
}

Async<std::int64_t> DiagnosticQueue::drain(Poster post) {
    // Files another running pass has taken on are left to it: posting them twice
    // would deliver them twice, and waiting for that pass would hold this one up
    // behind every post it still has to make (each up to a request timeout).
    std::vector<std::filesystem::path> mine;
    for (auto& file : queuedFiles()) {
        if (claimed_->insert(file).second) mine.push_back(std::move(file));
    }
    struct Claim {
        std::shared_ptr<std::set<std::filesystem::path>> claimed;
        const std::vector<std::filesystem::path>& files;
        ~Claim() {
            for (const auto& file : files) claimed->erase(file);
        }
    };
    Claim claim{claimed_, mine};
    co_return co_await pass(mine, post);
}

Async<std::int64_t> DiagnosticQueue::pass(const std::vector<std::filesystem::path>& files, Poster& post) {
    std::int64_t delivered = 0;
    for (const auto& file : files) {
        std::error_code readError;
        const std::optional<std::string> text = readFileIfExists(file, readError);
        // Out of descriptors or memory says nothing about the file: a later pass reads it.
        if (readError && isShortOfResources(readError)) continue;
        if (readError) {
            removeQuietly(file);  // it cannot be delivered by this user; removing needs only the folder
            continue;
        }
        if (!text) continue;  // gone since the listing

        QueuedBundle bundle;
        try {
            bundle = decodeJSON<QueuedBundle>(std::string_view(*text));
        } catch (const DecodingError&) {
            removeQuietly(file);  // corrupt: it can never be delivered
            continue;
        }

        PostResult result;
        std::exception_ptr failure;
        try {
            result = co_await post(bundle.report);
        } catch (...) {
            failure = std::current_exception();
        }
        // A cancelled pass leaves the file as it was: the post did not fail.
        if (co_await taskIsCancelled()) throwCancelled();
        if (failure) result = PanelError::transientServer();

        if (!result) {
            removeQuietly(file);
            ++delivered;
        } else if (result->kind() == PanelError::Case::transientServer) {
            bundle.attempts += 1;
            if (bundle.attempts >= maxAttempts) {
                removeQuietly(file);
            } else {
                try {
                    writeFileAtomically(file, encodeJSON(bundle), queueFileMode);
                } catch (const std::exception&) {
                }
            }
        } else {
            removeQuietly(file);  // refused: sending it again would be refused again
        }
    }
    co_return delivered;
}

}  // namespace corvane
