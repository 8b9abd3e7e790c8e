// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/AutostartEntry.hpp"

#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <system_error>
#include <vector>

#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view digestKey = "X-Corvane-Digest=";

// FNV-1a: it only has to notice an edit, and must read the same in every build.
std::string digestOf(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, hash);
    return hex;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// The value of `key` in the [Desktop Entry] group, if set.
std::optional<std::string> valueOf(const std::vector<std::string>& lines, std::string_view key) {
    bool inEntry = false;
    std::optional<std::string> value;
    for (const auto& line : lines) {
        const std::string text = trimmed(line);
        if (text.starts_with('[')) {
            inEntry = text == "[Desktop Entry]";
        } else if (inEntry && text.starts_with(key)) {
            const std::string rest = trimmed(std::string_view(text).substr(key.size()));
            if (rest.starts_with('=')) value = trimmed(std::string_view(rest).substr(1));
        }
    }
    return value;
}

// Sets `key` in the [Desktop Entry] group: replaces its lines, else adds one
// after the group's header.
std::vector<std::string> withValue(std::vector<std::string> lines, std::string_view key, std::string_view value) {
    const std::string line = std::string(key) + "=" + std::string(value);
    bool inEntry = false, done = false;
    std::optional<std::size_t> header;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string text = trimmed(lines[i]);
        if (text.starts_with('[')) {
            inEntry = text == "[Desktop Entry]";
            if (inEntry) header = i;
        } else if (inEntry && text.starts_with(key) && trimmed(std::string_view(text).substr(key.size())).starts_with('=')) {
            lines[i] = line;
            done = true;
        }
    }
    if (!done) {
        if (!header) {
            lines.insert(lines.begin(), "[Desktop Entry]");
            header = 0;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*header) + 1, line);
    }
    return lines;
}

bool isFalse(const std::optional<std::string>& value) { return value && *value == "false"; }
bool isTrue(const std::optional<std::string>& value) { return value && *value == "true"; }

// Our copy: the template's text and then the digest of that text.
bool isOurCopy(const std::string& text) {
    auto lines = linesOf(text);
    if (lines.empty() || !lines.back().starts_with(digestKey)) return false;
    const std::string digest = lines.back().substr(digestKey.size());
    lines.pop_back();
    return digest == digestOf(joined(lines));
}

std::string reason(const std::error_code& error) { return error.message(); }

}  // namespace

AutostartEntry::AutostartEntry(fs::path path, fs::path templateFile)
    : path_(std::move(path)), template_(std::move(templateFile)) {}

fs::path AutostartEntry::userEntryPath() { return xdgConfigHome() / "autostart" / "corvane.desktop"; }

AutostartEntry AutostartEntry::forUser() {
    std::error_code error;
    const fs::path bin = fs::read_symlink("/proc/self/exe", error).parent_path();
    fs::path found = bin / ".." / "share" / "corvane" / "autostart" / "corvane.desktop";
#ifdef CORVANE_SOURCE_AUTOSTART_TEMPLATE
    // A program run from its build tree has no installed template beside it.
    if (!fs::exists(found, error)) found = CORVANE_SOURCE_AUTOSTART_TEMPLATE;
#endif
    return AutostartEntry(userEntryPath(), found.lexically_normal());
}

AutostartStatus AutostartEntry::status() const {
    std::error_code error;
    const auto text = readFileIfExists(path_, error);
    if (error) {
        throw AutostartError("Could not read the autostart entry " + path_.string() + ": " + reason(error) + ".");
    }
    AutostartStatus status{.path = path_};
    if (!text) return status;
    const auto lines = linesOf(*text);
    // Hidden=true means deleted; GNOME also honours its own switch.
    status.enabled = !isTrue(valueOf(lines, "Hidden")) && !isFalse(valueOf(lines, "X-GNOME-Autostart-enabled"));
    status.edited = !isOurCopy(*text);
    return status;
}

AutostartStatus AutostartEntry::set(bool enabled) const {
    const AutostartStatus now = status();
    std::error_code error;
    try {
        if (!fs::exists(path_, error) || !now.edited) {
            if (!enabled) {
                if (fs::remove(path_, error); error) {
                    throw AutostartError("Could not remove the autostart entry " + path_.string() + ": " + reason(error) + ".");
                }
                return status();
            }
            const auto text = readFileIfExists(template_, error);
            if (!text || error) {
                throw AutostartError("Could not read the autostart template " + template_.string() + " (" +
                                     (error ? reason(error) : std::string("it is missing")) +
                                     "); reinstall Corvane to get it back.");
            }
            std::string body = joined(linesOf(*text));
            body += std::string(digestKey) + digestOf(body) + "\n";
            fs::create_directories(path_.parent_path());
            writeFileAtomically(path_, body, fs::perms(0644));
            return status();
        }
        // The user's own entry: change only whether it runs, keep the rest of their edits.
        if (now.enabled == enabled) return now;
        auto lines = linesOf(*readFileIfExists(path_));
        lines = withValue(std::move(lines), "Hidden", enabled ? "false" : "true");
        if (enabled && valueOf(lines, "X-GNOME-Autostart-enabled")) {
            lines = withValue(std::move(lines), "X-GNOME-Autostart-enabled", "true");
        }
        writeFileAtomically(path_, joined(lines), fs::status(path_).permissions());
        return status();
    } catch (const fs::filesystem_error& e) {
        throw AutostartError("Could not " + std::string(enabled ? "write" : "change") + " the autostart entry " +
                             path_.string() + ": " + e.code().message() + ".");
    } catch (const std::system_error& e) {
        throw AutostartError("Could not " + std::string(enabled ? "write" : "change") + " the autostart entry " +
                             path_.string() + ": " + e.code().message() + ".");
    }
}

}  // namespace corvane
