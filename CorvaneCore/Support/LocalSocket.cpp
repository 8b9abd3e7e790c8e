// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/LocalSocket.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

bool someoneListensOn(const std::filesystem::path& path) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return fd.valid() && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace corvane
