// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/SnapshotNotices.hpp"

namespace corvane {

std::vector<DesktopNotice> SnapshotNotices::next(const AppSnapshot& s) {
    const Seen now{
        .status = s.status,
        .signedIn = s.signedIn,
        .quotaNotice = s.quotaNotice,
        .updateRequired = s.update && s.update->blocking,
        .errorMessage = s.errorMessage,
    };
    const std::optional<Seen> before = std::exchange(before_, now);
    if (!before) return {};
    std::vector<DesktopNotice> notices;
    const std::string blocked = s.trafficBlocked ? " Traffic outside the tunnel is blocked until it is back." : "";

    if (before->status == UiStatus::connected && now.status == UiStatus::reconnecting) {
        notices.push_back({"Connection lost", "Corvane is reconnecting." + blocked});
    }
    if (before->status != UiStatus::failed && now.status == UiStatus::failed) {
        const std::string why = s.tunnelLastError.value_or(s.errorMessage.value_or("The tunnel stopped."));
        notices.push_back({"Connection failed", why + (s.trafficBlocked ? blocked : " Open Corvane to connect again.")});
    }
    if (now.quotaNotice && !now.quotaNotice->empty() && now.quotaNotice != before->quotaNotice) {
        notices.push_back({"Metered exit used up", *now.quotaNotice});
    }
    if (now.updateRequired && !before->updateRequired) {
        notices.push_back({"Update required", "Corvane " + s.update->latest + " is needed to connect; this is " +
                                                  s.update->installed + ". Open Corvane to download it."});
    }
    if (before->signedIn && !now.signedIn) {
        // An error that came with the sign-out says why (the session expired); an older one does not.
        const bool why = now.errorMessage && now.errorMessage != before->errorMessage;
        notices.push_back({"Signed out", why ? *now.errorMessage : "Corvane is signed out. Sign in again to connect."});
    }
    return notices;
}

}  // namespace corvane
