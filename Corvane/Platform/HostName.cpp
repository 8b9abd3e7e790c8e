// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/HostName.hpp"

#include <climits>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <systemd/sd-bus.h>

#include "CorvaneCore/Support/Text.hpp"

namespace corvane {

namespace {

std::optional<std::string> prettyHostNameFromHostnamed() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return std::nullopt;
    sd_bus_set_method_call_timeout(bus, 1'000'000);  // sign-in waits for this
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* value = nullptr;
    std::optional<std::string> name;
    if (sd_bus_get_property_string(bus, "org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                                   "org.freedesktop.hostname1", "PrettyHostname", &error, &value) >= 0 &&
        value && *value) {
        name = value;
    }
    free(value);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return name;
}

}  // namespace

std::optional<std::string> prettyHostNameFromMachineInfo(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(lines, line)) {
        std::string_view l = trimWhitespace(line);
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (!l.starts_with(key)) continue;
        l.remove_prefix(key.size());
        std::string value;
        char quote = 0;
        for (std::size_t i = 0; i < l.size(); ++i) {
            char c = l[i];
            if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else if (c == '\\' && quote != '\'' && i + 1 < l.size()) {
                value += l[++i];
            } else {
                value += c;
            }
        }
        found = value;  // the last assignment wins, as in a shell
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> localizedHostName() {
    if (auto name = prettyHostNameFromHostnamed()) return name;
    std::ifstream file("/etc/machine-info");
    if (file) {
        std::stringstream text;
        text << file.rdbuf();
        if (auto name = prettyHostNameFromMachineInfo(text.str())) return name;
    }
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0') return std::string(buffer);
    return std::nullopt;
}

}  // namespace corvane
