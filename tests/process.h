// Runs the real executables for end-to-end tests: fixed environment, captured
// standard output, bounded waits.
#ifndef QAX_TESTS_PROCESS_H
#define QAX_TESTS_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace qaxtest {

// Polls every 5 ms for at most `ms` of real time.
inline bool WaitUntil(const std::function<bool()> &done, int ms) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A wait status as an exit code: 128 + signal when killed, -1 for none.
inline int ExitCode(int status) {
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

struct Process {
    pid_t pid = -1;

    // Waits at most `timeoutMs` of real time; returns the raw wait status, or
    // -1 after killing a process that did not end, or for one never started.
    int Wait(int timeoutMs = 20000) {
        int status = 0;
        if (pid < 0) return -1;
        if (WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) return status;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
};

// Starts `argv` with the current environment plus `env` overrides (an empty
// value unsets); standard output goes to `outPath`.
inline Process Start(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                     const std::string &outPath) {
    std::vector<std::string> envStrings;
    for (char **e = environ; *e != nullptr; e++) {
        const std::string kv = *e;
        if (env.count(kv.substr(0, kv.find('='))) == 0) envStrings.push_back(kv);
    }
    for (const auto &kv : env)
        if (!kv.second.empty()) envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp, args;
    for (auto &s : envStrings) envp.push_back(const_cast<char *>(s.c_str()));
    for (auto &s : argv) args.push_back(const_cast<char *>(s.c_str()));
    envp.push_back(nullptr);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    Process p;
    if (posix_spawn(&p.pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) p.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return p;
}

// Empty for anything but a regular file: a FIFO left where a test planted
// it (the daemon failed to clear it) must fail the test, not hang it.
inline std::string ReadAll(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs to the end; returns the exit code (-1 on time-out) and fills `output`.
inline int Run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
               const std::string &outPath, std::string *output, int timeoutMs = 20000) {
    const int code = ExitCode(Start(argv, env, outPath).Wait(timeoutMs));
    if (output != nullptr) *output = ReadAll(outPath);
    return code;
}

// The emulator the tests run under (CTest of a cross build says so), or null.
// Under qemu-user, posix_spawn does not report a failed exec, and pidof does
// not see an emulated qax (it is qemu's process).
inline const char *Emulator() {
    const char *name = getenv("QAX_TEST_EMULATOR");
    return name != nullptr && *name != '\0' ? name : nullptr;
}

inline bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

inline int Count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

}  // namespace qaxtest

#endif
