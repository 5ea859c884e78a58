// A child process for the end-to-end tests of the programs: started from an
// argument list (no shell), its stdout and stderr read through pipes, waited
// for with deadlines. POSIX only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tes::test {

class Process {
public:
    Process() = default;
    ~Process() {
        if (nPid > 0) {
            ::kill(nPid, SIGKILL);
            ::waitpid(nPid, nullptr, 0);
        }
        CloseFd(&nOut);
        CloseFd(&nErr);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Start(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int out[2], err[2];
        if (::pipe(out) != 0) return false;
        if (::pipe(err) != 0) {
            ::close(out[0]);
            ::close(out[1]);
            return false;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::close(out[0]);
            ::close(out[1]);
            ::close(err[0]);
            ::close(err[1]);
            const int devnull = ::open("/dev/null", O_RDONLY);
            if (devnull >= 0) ::dup2(devnull, 0);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        if (pid < 0) {
            ::close(out[0]);
            ::close(err[0]);
            return false;
        }
        nPid = pid;
        nOut = out[0];
        nErr = err[0];
        ::fcntl(nOut, F_SETFL, O_NONBLOCK);
        ::fcntl(nErr, F_SETFL, O_NONBLOCK);
        return true;
    }

    // Reads until `needle` shows in stdout (or stderr) past `from`, the
    // streams end, or the time is up.
    bool WaitForOut(const std::string& needle, int64_t timeoutMs, size_t from = 0) {
        return WaitFor(sOut, needle, from, timeoutMs);
    }
    bool WaitForErr(const std::string& needle, int64_t timeoutMs, size_t from = 0) {
        return WaitFor(sErr, needle, from, timeoutMs);
    }

    // The exit code (128 + signal for a signal) once the program has ended
    // and closed its output, or nullopt when the time is up.
    std::optional<int> Wait(int64_t timeoutMs) {
        const auto deadline = Deadline(timeoutMs);
        while (nOut >= 0 || nErr >= 0) {
            if (!ReadSome(deadline)) return std::nullopt;
        }
        // Output closed: the program is leaving; its exit follows at once.
        while (nPid > 0) {
            int status = 0;
            const pid_t done = ::waitpid(nPid, &status, WNOHANG);
            if (done == nPid) {
                nPid = -1;
                nExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            ::usleep(1000);
        }
        return nExit;
    }

    void Signal(int signal) {
        if (nPid > 0) ::kill(nPid, signal);
    }

    const std::string& Out() const { return sOut; }
    const std::string& Err() const { return sErr; }

private:
    static std::chrono::steady_clock::time_point Deadline(int64_t ms) {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    }
    static void CloseFd(int* fd) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }

    bool WaitFor(const std::string& stream, const std::string& needle, size_t from,
                 int64_t timeoutMs) {
        const auto deadline = Deadline(timeoutMs);
        for (;;) {
            if (stream.size() > from && stream.find(needle, from) != std::string::npos) return true;
            if ((nOut < 0 && nErr < 0) || !ReadSome(deadline)) return false;
        }
    }

    // One wait for output until the deadline; false when it passed.
    bool ReadSome(std::chrono::steady_clock::time_point deadline) {
        pollfd fds[2];
        int n = 0;
        for (int fd : {nOut, nErr}) {
            if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
        }
        if (n == 0) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        if (::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left)) <= 0) return true;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            int* fd = fds[i].fd == nOut ? &nOut : &nErr;
            std::string* to = fds[i].fd == nOut ? &sOut : &sErr;
            char buffer[4096];
            const ssize_t got = ::read(*fd, buffer, sizeof buffer);
            if (got > 0) {
                to->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                CloseFd(fd);
            }
        }
        return true;
    }

    pid_t nPid = -1;
    int nOut = -1;
    int nErr = -1;
    int nExit = -1;
    std::string sOut;
    std::string sErr;
};

// The command line that runs `program`, one of this build's programs, with
// `args`. A cross build's programs run under the emulator CMake runs the
// tests with (TESSARA_TARGET_EMULATOR, its words separated by spaces); the
// host's own programs (log2asc, python3) are started as they are.
inline std::vector<std::string> TargetCommand(const std::string& program,
                                              const std::vector<std::string>& args = {}) {
    std::vector<std::string> line;
#ifdef TESSARA_TARGET_EMULATOR
    std::istringstream words(TESSARA_TARGET_EMULATOR);
    for (std::string word; words >> word;) line.push_back(word);
#endif
    line.push_back(program);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

// Runs a program to its end: exit code (-1 when it overran) and output.
struct RunResult {
    int nCode = -1;
    std::string sOut;
    std::string sErr;
};

inline RunResult RunProgram(const std::vector<std::string>& args, int64_t timeoutMs) {
    Process p;
    RunResult r;
    if (!p.Start(args)) return r;
    r.nCode = p.Wait(timeoutMs).value_or(-1);
    r.sOut = p.Out();
    r.sErr = p.Err();
    return r;
}

}  // namespace tes::test
