#include "CorvaneTunnel/PeerCredentials.hpp"

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

std::optional<gid_t> groupID(std::string_view name) {
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrnam_r(std::string(name).c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return std::nullopt;
    }
    return found->gr_gid;
}

bool userIsMember(uid_t uid, gid_t primary, gid_t wanted) {
    if (primary == wanted) return true;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(static_cast<std::size_t>(count));
    for (gid_t g : groups) {
        if (g == wanted) return true;
    }
    return false;
}

}  // namespace

bool isPeerAllowed(const PeerCredentials& peer, ServiceMode mode, uid_t serviceUser, std::string_view group) {
    if (mode == ServiceMode::user) return peer.uid == serviceUser;
    if (peer.uid == 0) return true;
    auto gid = groupID(group);
    return gid && userIsMember(peer.uid, peer.gid, *gid);
}

}  // namespace corvane
