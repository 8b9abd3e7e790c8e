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

// Who may use the service: in user mode only the user who runs it; in system
// mode root and the members of `group` (primary or supplementary).
bool isPeerAllowed(const PeerCredentials& peer, ServiceMode mode, uid_t serviceUser, std::string_view group);

}  // namespace corvane
