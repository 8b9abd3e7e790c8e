// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/LogRing.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "CorvaneCore/Support/AtomicFile.hpp"

namespace corvane {

namespace {

// The lines hold destinations and addresses before sanitising: the owner's only.
constexpr auto mirrorMode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

// Writes all of `bytes` to an open descriptor; false on any failure.
bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

LogRing::LogRing(std::int64_t capacity, std::optional<std::filesystem::path> file)
    : capacity_(static_cast<std::size_t>(std::max<std::int64_t>(capacity, 1))), file_(std::move(file)) {}

void LogRing::append(LogLine line) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(line));
    while (entries_.size() > capacity_) entries_.pop_front();
    if (file_) mirror(entries_.back());
}

void LogRing::append(std::string level, std::string target, std::string message,
                     std::chrono::system_clock::time_point at) {
    append(LogLine{timestamp(at), std::move(level), std::move(target), std::move(message)});
}

void LogRing::mirror(const LogLine& line) {
    // The mirror is a convenience: a line that cannot be written is still kept in memory.
    try {
        std::string bytes = encodeJSON(line);
        bytes.push_back('\n');
        int fd = ::open(file_->c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) {
            // The first line creates the file whole, so no reader sees it half-written.
            if (errno == ENOENT) {
                writeFileAtomically(*file_, bytes, mirrorMode);
                mirrorIsPrivate_ = true;
            }
            return;
        }
        if (!mirrorIsPrivate_) {
            // A mirror left readable by an older version is made private before more is added to it.
            mirrorIsPrivate_ = ::fchmod(fd, 0600) == 0;
        }
        writeAll(fd, bytes);
        ::close(fd);
    } catch (const std::exception&) {
    }
}

std::vector<LogLine> LogRing::snapshot() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

std::vector<LogLine> LogRing::snapshot(std::string_view minimumLevel) const {
    const int minimum = rank(minimumLevel);
    std::lock_guard lock(mutex_);
    std::vector<LogLine> out;
    for (const auto& line : entries_) {
        if (rank(line.level) >= minimum) out.push_back(line);
    }
    return out;
}

void LogRing::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    if (file_) {
        std::error_code ignored;
        std::filesystem::remove(*file_, ignored);
        mirrorIsPrivate_ = false;
    }
}

std::vector<LogLine> LogRing::read(const std::filesystem::path& from, std::size_t limit) {
    std::optional<std::string> text;
    try {
        text = readFileIfExists(from);
    } catch (const std::system_error&) {
    }
    if (!text || limit == 0) return {};

    // The file is never trimmed, so decode from its end and stop once enough lines are in.
    std::vector<LogLine> out;
    std::string_view rest(*text);
    while (!rest.empty() && out.size() < limit) {
        auto cut = rest.rfind('\n', rest.size() - 1);
        std::string_view line = cut == std::string_view::npos ? rest : rest.substr(cut + 1);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(0, cut);
        if (line.empty()) continue;
        try {
            out.push_back(decodeJSON<LogLine>(line));
        } catch (const DecodingError&) {
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::string LogRing::timestamp(std::chrono::system_clock::time_point date) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(date);
    const hh_mm_ss<std::chrono::seconds> time(seconds - floor<days>(seconds));
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
    return text;
}

int LogRing::rank(std::string_view level) {
    // No known level is longer than "WARNING"; this runs for every line sanitised.
    char buffer[8];
    if (level.size() > sizeof buffer) return 4;
    for (std::size_t i = 0; i < level.size(); ++i) {
        const char c = level[i];
        buffer[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view upper(buffer, level.size());
    if (upper == "TRACE") return 0;
    if (upper == "DEBUG") return 1;
    if (upper == "INFO") return 2;
    if (upper == "WARN" || upper == "WARNING") return 3;
    if (upper == "ERROR") return 4;
    if (upper == "FATAL") return 5;
    return 4;
}

}  // namespace corvane
