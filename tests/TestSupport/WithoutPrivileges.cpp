// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/WithoutPrivileges.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::testing {

int withoutPrivileges(const std::function<int()>& body) {
    if (::geteuid() != 0) return body();
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace corvane::testing
