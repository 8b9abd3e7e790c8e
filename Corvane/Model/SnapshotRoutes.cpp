// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Model/SnapshotRoutes.hpp"

#include <charconv>

namespace corvane::SnapshotRoutes {
namespace {

template <class T>
const T& orEmpty(const std::shared_ptr<const T>& p) {
    static const T empty{};
    return p ? *p : empty;
}

template <class S>
concept PublishesRoutes = requires(const S& s) {
    { s.pinChoice } -> std::convertible_to<std::string>;
    { s.entryName } -> std::convertible_to<std::string>;
    { s.exitName } -> std::convertible_to<std::string>;
};

std::optional<std::int64_t> shareIndex(std::string_view tag) {
    constexpr std::string_view prefix = "proxy-";
    if (!tag.starts_with(prefix)) return std::nullopt;
    tag.remove_prefix(prefix.size());
    std::int64_t n = 0;
    auto [end, ec] = std::from_chars(tag.data(), tag.data() + tag.size(), n);
    if (ec != std::errc{} || end != tag.data() + tag.size() || n < 0 || tag.empty()) return std::nullopt;
    return n;
}

std::string computedPinChoice(const AppSnapshot& s) {
    if (s.selectedExitId) return "proxy-0";
    if (!s.pin) return "proxy-auto";
    const auto& fleet = orEmpty(s.snapshot);
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        if (fleet[i].vpsId == s.pin->vpsId) return shareTag(i, s.pin->reality);
    }
    return "proxy-auto";
}

std::string computedEntryName(const AppSnapshot& s) {
    if (s.pin) {
        for (const auto& server : orEmpty(s.servers)) {
            if (server.vpsId == s.pin->vpsId) return server.name;
        }
    }
    return s.selectedExitId ? "Entry unavailable" : "Auto \u00b7 fastest";
}

std::string computedExitName(const AppSnapshot& s) {
    if (!s.selectedExitId) return "Original VPS exit";
    auto exit = selectedExit(s);
    return exit ? exit->name : "Exit unavailable";
}

}  // namespace

std::string shareTag(std::size_t slot, bool reality) {
    return "proxy-" + std::to_string(2 * slot + (reality ? 1 : 0));
}

// The model's own value where the snapshot carries one; the same rules over
// the snapshot's fields where it does not (snapshots made by hand, as in the view tests).
template <class S>
std::string publishedOr(const S& s, std::string (*computed)(const AppSnapshot&), int which) {
    if constexpr (PublishesRoutes<S>) {
        std::string published = which == 0 ? s.pinChoice : which == 1 ? s.entryName : s.exitName;
        return published.empty() ? computed(s) : published;
    } else {
        return computed(s);
    }
}

std::string pinChoice(const AppSnapshot& s) { return publishedOr(s, computedPinChoice, 0); }
std::string entryName(const AppSnapshot& s) { return publishedOr(s, computedEntryName, 1); }
std::string exitName(const AppSnapshot& s) { return publishedOr(s, computedExitName, 2); }

std::optional<ClientExit> selectedExit(const AppSnapshot& s) {
    if (!s.selectedExitId) return std::nullopt;
    for (const auto& exit : orEmpty(s.exits)) {
        if (exit.exitId == *s.selectedExitId) return exit;
    }
    return std::nullopt;
}

std::string prettyTag(const AppSnapshot& s, std::string_view tag) {
    if (s.selectedExitId && s.pin) {
        for (const auto& server : orEmpty(s.servers)) {
            if (server.vpsId == s.pin->vpsId) return "Reality on " + server.name;
        }
    }
    if (tag == "proxy-auto") return "Auto \u00b7 pick fastest";
    if (auto n = shareIndex(tag)) {
        const std::string protocol = (*n % 2 == 1) ? "Reality" : "Hysteria2";
        const auto i = static_cast<std::size_t>(*n / 2);
        const auto& fleet = orEmpty(s.snapshot);
        if (i < fleet.size()) return protocol + " on " + fleet[i].name;
        return protocol + " on VPS-" + std::to_string(i + 1);
    }
    return std::string(tag);
}

}  // namespace corvane::SnapshotRoutes
