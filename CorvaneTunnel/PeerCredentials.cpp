// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/PeerCredentials.hpp"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace corvane {

std::optional<PeerCredentials> peerCredentials(int socket) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) return std::nullopt;
    return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

namespace {

// The lookups report "no such entry" as 0 or as one of these; anything else
// (EMFILE, EIO...) means the answer is not known.
bool meansNotFound(int error) { return error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM; }

// Calls lookup(buffer, size) with a buffer that grows while it is too small.
template <class Lookup>
int withBuffer(std::vector<char>& buffer, Lookup lookup) {
    int error;
    while ((error = lookup(buffer.data(), buffer.size())) == ERANGE && buffer.size() < (1u << 20)) buffer.resize(buffer.size() * 2);
    return error;
}

}  // namespace

PeerVerdict checkPeer(const PeerCredentials& peer, ServiceMode mode, uid_t serviceUser, std::string_view group) {
    using Kind = PeerVerdict::Kind;
    if (mode == ServiceMode::user) return {peer.uid == serviceUser ? Kind::allowed : Kind::refused};
    if (peer.uid == 0) return {Kind::allowed};

    const std::string groupName(group);
    std::vector<char> groupBuffer(16384);
    struct group groupEntry {};
    struct group* foundGroup = nullptr;
    int error = withBuffer(groupBuffer, [&](char* b, std::size_t n) { return getgrnam_r(groupName.c_str(), &groupEntry, b, n, &foundGroup); });
    if (!foundGroup) return meansNotFound(error) ? PeerVerdict{Kind::refused} : PeerVerdict{Kind::unknown, error};
    if (peer.gid == foundGroup->gr_gid) return {Kind::allowed};

    std::vector<char> userBuffer(16384);
    struct passwd userEntry {};
    struct passwd* foundUser = nullptr;
    error = withBuffer(userBuffer, [&](char* b, std::size_t n) { return getpwuid_r(peer.uid, &userEntry, b, n, &foundUser); });
    if (!foundUser) return meansNotFound(error) ? PeerVerdict{Kind::refused} : PeerVerdict{Kind::unknown, error};
    for (char** member = foundGroup->gr_mem; member && *member; ++member) {
        if (std::string_view(*member) == foundUser->pw_name) return {Kind::allowed};
    }
    // Memberships that other sources give (initgroups of LDAP and the like).
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(foundUser->pw_name, foundUser->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(foundUser->pw_name, foundUser->pw_gid, groups.data(), &count) < 0) return {Kind::refused};
    }
    groups.resize(static_cast<std::size_t>(count));
    for (gid_t g : groups) {
        if (g == foundGroup->gr_gid) return {Kind::allowed};
    }
    return {Kind::refused};
}

}  // namespace corvane
