#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A child process with pipes on its standard input, output and error, for
// tests that drive the real agents. The child is killed and reaped when the
// object goes, whatever state it is in.
class ChildProcess {
public:
    // argv[0] is the program's path. `environment` replaces the child's
    // environment when given.
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::optional<std::vector<std::string>>& environment = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next whole line of standard output (without its newline), or
    // nothing when the timeout passes or the output ends first.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Everything standard output still gives until it ends or the timeout.
    std::string readRemainingOutput(std::chrono::milliseconds timeout);
    // All of standard error so far (after exit: all of it).
    std::string standardError();

    void writeInput(const std::string& text);
    void closeInput();
    // Closes this end of the child's standard output, as a host that has
    // gone does.
    void closeOutput();
    void sendSignal(int signalNumber);

    // The exit status, or -signal when a signal ended it; nothing if it is
    // still running when the timeout passes.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

private:
    void drainError();

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
    bool outEnded_ = false;
    std::optional<int> status_;
};

// Runs a program to the end: its output, its error and its exit status.
struct RunResult {
    std::string output;
    std::string error;
    std::optional<int> status;
};
RunResult runToEnd(const std::vector<std::string>& argv,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20),
                   const std::string& input = "");

}  // namespace testsupport
