// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/LoopbackListener.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>

#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

namespace {

// Whether a listener bound to this address takes connections to 127.0.0.1.
bool reachesLoopback(int family, const std::uint32_t (&address)[4], bool v6only) {
    if (family == AF_INET) return address[0] == htonl(INADDR_LOOPBACK) || address[0] == htonl(INADDR_ANY);
    if (family != AF_INET6 || v6only) return false;
    const bool wildcard = address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
    const bool mapped = address[0] == 0 && address[1] == 0 && address[2] == htonl(0xffff) &&
                        (address[3] == htonl(INADDR_LOOPBACK) || address[3] == 0);
    return wildcard || mapped;
}

void dumpListeners(int family, std::uint16_t port, std::vector<LoopbackListener>& out) {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "cannot ask the kernel for its sockets");
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    message.request.id.idiag_sport = htons(port);  // the kernel filters listeners by it already
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot ask the kernel for its sockets");
    }
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "cannot read the kernel's sockets");
        }
        if (n == 0) return;
        int remaining = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_type == NLMSG_DONE) return;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                throw std::system_error(-error->error, std::generic_category(), "the kernel refused to list its sockets");
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (ntohs(diag->id.idiag_sport) != port) continue;
            bool v6only = false;
            int attributesLength = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
            for (auto* a = reinterpret_cast<rtattr*>(const_cast<inet_diag_msg*>(diag) + 1); RTA_OK(a, attributesLength);
                 a = RTA_NEXT(a, attributesLength)) {
                if (a->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(a) >= 1) v6only = *static_cast<const std::uint8_t*>(RTA_DATA(a)) != 0;
            }
            std::uint32_t address[4];
            std::memcpy(address, diag->id.idiag_src, sizeof address);
            if (!reachesLoopback(diag->idiag_family, address, v6only)) continue;
            out.push_back({diag->idiag_uid, diag->idiag_inode});
        }
    }
}

}  // namespace

std::vector<LoopbackListener> loopbackListeners(std::uint16_t port) {
    std::vector<LoopbackListener> listeners;
    dumpListeners(AF_INET, port, listeners);
    dumpListeners(AF_INET6, port, listeners);
    std::sort(listeners.begin(), listeners.end());
    return listeners;
}

namespace {

bool addSocketInodes(pid_t pid, std::set<std::uint64_t>& inodes) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return false;
    char target[64];
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string_view text(target, static_cast<std::size_t>(n));
        constexpr std::string_view prefix = "socket:[";
        if (!text.starts_with(prefix) || !text.ends_with("]")) continue;
        inodes.insert(std::stoull(std::string(text.substr(prefix.size(), text.size() - prefix.size() - 1))));
    }
    ::closedir(dir);
    return true;
}

// The children of every thread of `pid`, as /proc lists them.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) return children;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        FILE* list = std::fopen((tasks + "/" + entry->d_name + "/children").c_str(), "re");
        if (!list) continue;
        long child = 0;
        while (std::fscanf(list, "%ld", &child) == 1) children.push_back(static_cast<pid_t>(child));
        std::fclose(list);
    }
    ::closedir(dir);
    return children;
}

}  // namespace

std::optional<std::set<std::uint64_t>> socketInodesOf(pid_t pid) {
    std::set<std::uint64_t> inodes;
    if (!addSocketInodes(pid, inodes)) return std::nullopt;
    // A program the engine runs is still the engine's; a bounded walk, as the tree may change meanwhile.
    std::vector<pid_t> pending = childrenOf(pid);
    for (std::size_t visited = 0; !pending.empty() && visited < 256; ++visited) {
        const pid_t next = pending.back();
        pending.pop_back();
        addSocketInodes(next, inodes);
        for (pid_t child : childrenOf(next)) pending.push_back(child);
    }
    return inodes;
}

ListenerCheck checkLoopbackListener(std::uint16_t port, const ListenerExpectation& expected) {
    ListenerCheck check;
    std::vector<LoopbackListener> listeners;
    try {
        listeners = loopbackListeners(port);
    } catch (const std::system_error& e) {
        check.refusal = std::string("who listens on 127.0.0.1:") + std::to_string(port) + " cannot be checked: " + e.what();
        return check;
    }
    if (listeners.empty()) {
        check.refusal = "nothing listens on 127.0.0.1:" + std::to_string(port);
        check.nobodyListens = true;
        return check;
    }
    for (const auto& listener : listeners) {
        if (listener.uid != expected.uid) {
            check.refusal = "127.0.0.1:" + std::to_string(port) + " is held by uid " + std::to_string(listener.uid) +
                            ", not by uid " + std::to_string(expected.uid);
            return check;
        }
        if (expected.inodes && !expected.inodes->contains(listener.inode)) {
            check.refusal = "127.0.0.1:" + std::to_string(port) + " is held by another process of uid " + std::to_string(listener.uid);
            return check;
        }
    }
    check.listeners = std::move(listeners);
    return check;
}

}  // namespace corvane
