#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::optional<std::vector<std::string>>& environment) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The child starts with default signal dispositions and an empty mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    auto args = cStrings(argv);
    std::vector<char*> env;
    if (environment) env = cStrings(*environment);
    const int rc = posix_spawn(&pid_, argv.at(0).c_str(), &actions, &attributes, args.data(),
                               environment ? env.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    stderrFd_ = err[0];
    if (rc != 0) throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(rc));
    fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
    fcntl(stderrFd_, F_SETFL, O_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    for (int fd : {stdinFd_, stdoutFd_, stderrFd_}) {
        if (fd >= 0) close(fd);
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = outBuffer_.find('\n');
        if (newline != std::string::npos) {
            std::string line = outBuffer_.substr(0, newline);
            outBuffer_.erase(0, newline + 1);
            return line;
        }
        if (outEnded_) return std::nullopt;
        pollfd fds[2] = {{stdoutFd_, POLLIN, 0}, {stderrFd_, POLLIN, 0}};
        const int ready = poll(fds, 2, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        if (fds[1].revents) drainError();
        if (fds[0].revents) {
            char buffer[4096];
            const ssize_t n = read(stdoutFd_, buffer, sizeof buffer);
            if (n > 0) {
                outBuffer_.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                outEnded_ = true;
            }
        }
    }
}

std::string ChildProcess::readRemainingOutput(std::chrono::milliseconds timeout) {
    std::string all;
    while (auto line = readLine(timeout)) all += *line + "\n";
    all += outBuffer_;
    outBuffer_.clear();
    return all;
}

void ChildProcess::drainError() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(stderrFd_, buffer, sizeof buffer);
        if (n <= 0) return;
        errBuffer_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ChildProcess::standardError() {
    drainError();
    return errBuffer_;
}

void ChildProcess::writeInput(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(stdinFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (stdinFd_ >= 0) close(stdinFd_);
    stdinFd_ = -1;
}

void ChildProcess::closeOutput() {
    if (stdoutFd_ >= 0) close(stdoutFd_);
    stdoutFd_ = -1;
    outEnded_ = true;
}

void ChildProcess::sendSignal(int signalNumber) {
    if (pid_ > 0 && !status_) kill(pid_, signalNumber);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            drainError();
            return status_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        usleep(5000);
    }
}

RunResult runToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                   const std::string& input) {
    ChildProcess child(argv);
    if (!input.empty()) child.writeInput(input);
    child.closeInput();
    RunResult result;
    const auto deadline = Clock::now() + timeout;
    result.output = child.readRemainingOutput(timeout);
    result.status = child.waitForExit(std::chrono::milliseconds(remainingMs(deadline)));
    result.error = child.standardError();
    return result;
}

}  // namespace testsupport
