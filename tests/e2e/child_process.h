// A program a test starts: vistreld, vistrel-film, vistrel-watch, nginx.
// Its output goes to a file, so a chatty program never blocks on a pipe
// nobody reads; every wait is bounded, so a hung program fails the test
// instead of hanging it; and whatever is still running when the object goes
// is killed with SIGKILL and reaped.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace vistrel::testing {

struct TChildOptions {
    // stdout and stderr together, appended to (several runs of one program
    // may share a log); "" for a temporary file of the object's own.
    std::string Output{};
    // stderr to a file of its own instead.
    std::string ErrorOutput{};
    // Both files started empty.
    bool Truncate = false;
    // A descriptor of the caller's as stdout (what the journal would be);
    // stderr still goes to Output.
    int Stdout = -1;
    // Added to the test's environment, "NAME=value".
    std::vector<std::string> Environment{};
    // RLIMIT_FSIZE in bytes (0: as it is); a write past it fails with EFBIG
    // instead of ending the program.
    rlim_t FileSizeLimit = 0;
};

class TChildProcess {
public:
    explicit TChildProcess(std::vector<std::string> args, TChildOptions options = {}) : options_(std::move(options)) {
        if (options_.Output.empty()) {
            std::string pattern = ::testing::TempDir() + "/vistrel-child-XXXXXX";
            const int fd = mkstemp(pattern.data());
            if (fd >= 0) close(fd);
            options_.Output = own_output_ = pattern;
        }
        // The test's environment, less what a service manager running the
        // tests may have set for the test program itself.
        std::vector<std::string> environment;
        for (char** variable = environ; *variable; ++variable) {
            const std::string_view text = *variable;
            if (!text.starts_with("NOTIFY_SOCKET=") && !text.starts_with("JOURNAL_STREAM="))
                environment.emplace_back(text);
        }
        environment.insert(environment.end(), options_.Environment.begin(), options_.Environment.end());
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& v : environment) envp.push_back(v.data());
        envp.push_back(nullptr);
        const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (options_.Truncate ? O_TRUNC : O_APPEND);
        const int out = open(options_.Output.c_str(), flags, 0600);
        const int err = options_.ErrorOutput.empty() ? out : open(options_.ErrorOutput.c_str(), flags, 0600);
        EXPECT_GE(out, 0) << options_.Output;
        EXPECT_GE(err, 0) << options_.ErrorOutput;
        const std::string failed = "cannot run " + args[0] + "\n";
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            dup2(options_.Stdout >= 0 ? options_.Stdout : out, 1);
            dup2(err, 2);
            if (options_.FileSizeLimit != 0) {
                signal(SIGXFSZ, SIG_IGN);
                rlimit limit{};
                getrlimit(RLIMIT_FSIZE, &limit);
                limit.rlim_cur = options_.FileSizeLimit;
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execve(argv[0], argv.data(), envp.data());
            (void)!write(2, failed.data(), failed.size());
            _exit(127);
        }
        EXPECT_GT(pid_, 0) << "fork for " << args[0];
        if (err != out && err >= 0) close(err);
        if (out >= 0) close(out);
    }
    ~TChildProcess() {
        Kill();
        if (!own_output_.empty()) unlink(own_output_.c_str());
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Reaps the program once it has ended.
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    // The exit status (128 + the signal that ended it) once it has ended
    // within limit; -1 while it still runs.
    int Wait(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (Running() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return Running() ? -1 : status_;
    }
    // False when there is nothing running to signal.
    bool Signal(int sig) { return Running() && kill(pid_, sig) == 0; }
    // Sends sig and waits for the end, with SIGKILL after limit; true when it
    // ended within limit.
    bool Stop(int sig, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        Signal(sig);
        if (Wait(limit) >= 0) return true;
        Kill();
        return false;
    }
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // What it wrote so far: stdout and stderr, or only stdout when stderr
    // has a file of its own.
    std::string Output() const { return ReadAll(options_.Output); }
    std::string ErrorOutput() const { return ReadAll(options_.ErrorOutput.empty() ? options_.Output : options_.ErrorOutput); }

private:
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    TChildOptions options_;
    std::string own_output_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace vistrel::testing
