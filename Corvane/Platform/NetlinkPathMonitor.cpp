// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/NetlinkPathMonitor.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Corvane/Platform/AppLog.hpp"

namespace corvane {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

FileDescriptor openNetlink(std::uint32_t groups) {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (groups ? SOCK_NONBLOCK : 0), NETLINK_ROUTE));
    if (!fd.valid()) fail("rtnetlink socket");
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) fail("rtnetlink bind");
    return fd;
}

// Sends one dump request and hands every message of the answer to `each`.
template <class Each>
void dump(int fd, std::uint16_t type, unsigned char family, std::uint32_t seq, Each each) {
    struct {
        nlmsghdr header;
        rtgenmsg body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    request.body.rtgen_family = family;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        fail("rtnetlink request");
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("rtnetlink answer");
        }
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != seq) continue;
            if (h->nlmsg_type == NLMSG_DONE) return;
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                errno = -e->error;
                fail("rtnetlink dump");
            }
            each(h);
        }
    }
}

struct Link {
    std::string name;
    unsigned flags = 0;
};

}  // namespace

NetworkPath NetlinkPathMonitor::current() {
    FileDescriptor fd = openNetlink(0);
    std::map<int, Link> links;  // ordered by kernel index
    std::set<int> addressed;
    std::set<int> defaultRouteInterfaces;

    dump(fd.get(), RTM_GETLINK, AF_UNSPEC, 1, [&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWLINK) return;
        auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(h));
        Link link{{}, info->ifi_flags};
        int len = static_cast<int>(IFLA_PAYLOAD(h));
        for (auto* a = IFLA_RTA(info); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
            if (a->rta_type == IFLA_IFNAME) link.name = static_cast<const char*>(RTA_DATA(a));
        }
        links[info->ifi_index] = std::move(link);
    });
    dump(fd.get(), RTM_GETADDR, AF_UNSPEC, 2, [&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWADDR) return;
        addressed.insert(static_cast<int>(static_cast<ifaddrmsg*>(NLMSG_DATA(h))->ifa_index));
    });
    dump(fd.get(), RTM_GETROUTE, AF_UNSPEC, 3, [&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWROUTE) return;
        auto* route = static_cast<rtmsg*>(NLMSG_DATA(h));
        if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
        int len = static_cast<int>(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(route); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
            if (a->rta_type == RTA_OIF) {
                defaultRouteInterfaces.insert(*static_cast<const int*>(RTA_DATA(a)));
            } else if (a->rta_type == RTA_MULTIPATH) {
                int left = static_cast<int>(RTA_PAYLOAD(a));
                for (auto* hop = static_cast<rtnexthop*>(RTA_DATA(a)); RTNH_OK(hop, left);
                     left -= RTNH_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop)) {
                    defaultRouteInterfaces.insert(hop->rtnh_ifindex);
                }
            }
        }
    });

    NetworkPath path;
    for (int index : defaultRouteInterfaces) {
        auto it = links.find(index);
        if (it != links.end() && (it->second.flags & IFF_UP)) path.satisfied = true;
    }
    for (const auto& [index, link] : links) {
        if ((link.flags & IFF_UP) && !(link.flags & IFF_LOOPBACK) && addressed.count(index)) {
            path.interfaces.push_back({link.name, index});
        }
    }
    return path;
}

NetlinkPathMonitor::~NetlinkPathMonitor() { cancel(); }

void NetlinkPathMonitor::start(Handler handler) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    try {
        events_ = openNetlink(RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                              RTMGRP_IPV6_ROUTE);
        wake_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_.valid()) fail("eventfd");
    } catch (const std::system_error& e) {
        appLog("WARN", "path-monitor", std::string("network changes are not followed: ") + e.what());
        events_ = FileDescriptor();
        return;
    }
    handler_ = std::move(handler);
    thread_ = std::thread([this] { run(); });
    std::string name(threadName);
    name.resize(std::min<std::size_t>(name.size(), 15));  // the kernel keeps 15 bytes
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

void NetlinkPathMonitor::cancel() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wake_.get(), &one, sizeof one);
        thread = std::move(thread_);
    }
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // cancelled from its own handler: the loop ends on its own
    } else {
        thread.join();
    }
}

void NetlinkPathMonitor::run() {
    std::optional<NetworkPath> last;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        try {
            NetworkPath path = current();
            if (!last || path != *last) {
                last = path;
                handler_(path);
            }
        } catch (const std::system_error& e) {
            appLog("WARN", "path-monitor", std::string("cannot read the network path: ") + e.what());
        }
        // Wait for a change, then let a burst (link, addresses, routes) settle before reading again.
        int timeout = -1;
        for (;;) {
            pollfd fds[2] = {{events_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            int n = ::poll(fds, 2, timeout);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || (fds[1].revents & POLLIN)) return;
            if (n == 0) break;  // quiet for a moment: read the path again
            // An overrun (ENOBUFS) loses events but not the path: it is read again in full.
            for (;;) {
                ssize_t r = ::recv(events_.get(), buffer.data(), buffer.size(), 0);
                if (r > 0 || (r < 0 && (errno == ENOBUFS || errno == EINTR))) continue;
                break;
            }
            timeout = 30;
        }
    }
}

}  // namespace corvane
