// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string_view>
#include <sys/types.h>

namespace corvane {

enum class ServiceMode { system, user };

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The credentials of the process at the other end of a connected Unix socket.
std::optional<PeerCredentials> peerCredentials(int socket);

// Whether a peer may use the service, or that it could not be told (a lookup
// failed, with `error` its errno), which is no reason to call it a stranger.
struct PeerVerdict {
    enum class Kind { allowed, refused, unknown };
    Kind kind = Kind::refused;
    int error = 0;
};

// Who may use the service: in user mode only the user who runs it; in system
// mode root and the members of `group` (primary or supplementary).
PeerVerdict checkPeer(const PeerCredentials& peer, ServiceMode mode, uid_t serviceUser, std::string_view group);
inline bool isPeerAllowed(const PeerCredentials& peer, ServiceMode mode, uid_t serviceUser, std::string_view group) {
    return checkPeer(peer, mode, serviceUser, group).kind == PeerVerdict::Kind::allowed;
}

}  // namespace corvane
