// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/ChildCommand.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane {

namespace {

// A pipe, or for the command's input a socket pair: a command that ends without
// reading all of it then costs a failed send, never a SIGPIPE for the caller.
struct Pipe {
    int fd[2] = {-1, -1};
    explicit Pipe(bool socket = false) {
        if ((socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) : ::pipe2(fd, O_CLOEXEC)) != 0) {
            throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
        }
    }
    ~Pipe() {
        for (int f : fd) if (f >= 0) ::close(f);
    }
    void close(int end) {
        if (fd[end] >= 0) ::close(fd[end]);
        fd[end] = -1;
    }
};

}  // namespace

ChildCommandResult runChildCommand(const std::vector<std::string>& argv, const std::string& input,
                                   std::chrono::milliseconds limit) {
    if (argv.empty()) throw std::invalid_argument("no command");
    Pipe in(true), out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
    // The child starts with default dispositions and nothing blocked, whatever the caller's thread had
    // (the service ignores SIGPIPE and Asio blocks signals on its threads).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = argv[0].find('/') == std::string::npos
                            ? ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ)
                            : ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw std::runtime_error("cannot run " + argv[0] + ": " + std::strerror(spawned));
    in.close(0);
    out.close(1);
    err.close(1);

    ChildCommandResult result;
    std::size_t written = 0;
    if (input.empty()) in.close(1);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.fd[0] >= 0 || err.fd[0] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
        if (::poll(fds, 3, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) continue;
            ::kill(pid, SIGKILL);
            break;
        }
        if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            ssize_t n = ::send(in.fd[1], input.data() + written, input.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) written += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in.close(1);
        }
        for (auto [index, text, pipe] : {std::tuple{0, &result.out, &out}, std::tuple{1, &result.err, &err}}) {
            if (!(fds[index].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t n = ::read(pipe->fd[0], buffer, sizeof buffer);
            if (n > 0) {
                text->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                pipe->close(0);
            }
        }
    }
    in.close(1);
    // A command that closed its output may still be running: it gets what is left of the time.
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) break;
        if (ended == 0 && std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (ended == 0) ::usleep(5'000);
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace corvane
