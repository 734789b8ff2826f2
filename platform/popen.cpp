// Process pipe without a shell. The command text is split on blanks into an
// argument vector and the program is started with posix_spawn, so nothing in
// the text (quotes, $, ;, |, globs) is ever interpreted. The program must be
// named by an absolute path: there is no PATH search.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>

extern char **environ;

namespace {

constexpr size_t kMaxArgs = 32;
constexpr size_t kMaxCommand = 4096;
constexpr size_t kMaxStreams = 8;

struct Child {
    FILE *stream;
    pid_t pid;
};

std::mutex g_mutex;
Child g_children[kMaxStreams];

// Moves a descriptor above the standard ones so that the child's dup2 onto
// 0/1 cannot collide with it (the parent may run with 0..2 closed).
bool LiftAboveStdio(int *fd) {
    if (*fd > STDERR_FILENO) return true;
    int lifted = fcntl(*fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (lifted < 0) return false;
    close(*fd);
    *fd = lifted;
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits `text` in place; false when there is no word or too many.
bool SplitArgs(std::string &text, char *argv[kMaxArgs + 1]) {
    size_t count = 0;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) text[i++] = '\0';
        if (i == text.size()) break;
        if (count == kMaxArgs) return false;
        argv[count++] = &text[i];
        while (i < text.size() && !IsBlank(text[i])) i++;
    }
    argv[count] = nullptr;
    return count > 0;
}

pid_t Spawn(char *const argv[], int stdoutFd, int *error) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if ((*error = posix_spawn_file_actions_init(&actions)) != 0) return -1;
    if ((*error = posix_spawnattr_init(&attr)) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    // The child starts clean: default dispositions (the daemon may ignore
    // SIGPIPE or catch SIGTERM) and nothing blocked.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    pid_t pid = -1;
    if ((*error = posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO)) == 0 &&
        (*error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY,
                                                   0)) == 0 &&
        (*error = posix_spawnattr_setsigdefault(&attr, &all)) == 0 &&
        (*error = posix_spawnattr_setsigmask(&attr, &none)) == 0 &&
        (*error = posix_spawnattr_setflags(&attr,
                                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK)) == 0) {
        // posix_spawn reports a failed exec as its own error.
        *error = posix_spawn(&pid, argv[0], &actions, &attr, argv, environ);
        if (*error != 0) pid = -1;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Reap(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

FILE *secure_popen(const char *command, const char *mode) {
    if (command == nullptr || mode == nullptr || strcmp(mode, "r") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    size_t length = strnlen(command, kMaxCommand + 1);
    if (length > kMaxCommand) {
        errno = E2BIG;
        return nullptr;
    }
    std::string text(command, length);
    char *argv[kMaxArgs + 1];
    if (!SplitArgs(text, argv)) {
        errno = argv[0] == nullptr ? EINVAL : E2BIG;
        return nullptr;
    }
    if (argv[0][0] != '/') {
        errno = EINVAL;
        return nullptr;
    }

    std::lock_guard<std::mutex> lock(g_mutex);
    Child *slot = nullptr;
    for (Child &c : g_children) {
        if (c.stream == nullptr) {
            slot = &c;
            break;
        }
    }
    if (slot == nullptr) {
        errno = EMFILE;
        return nullptr;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    if (!LiftAboveStdio(&fds[0]) || !LiftAboveStdio(&fds[1])) {
        int saved = errno;
        close(fds[0]);
        close(fds[1]);
        errno = saved;
        return nullptr;
    }
    int error = 0;
    pid_t pid = Spawn(argv, fds[1], &error);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        errno = error;
        return nullptr;
    }
    FILE *stream = fdopen(fds[0], "r");
    if (stream == nullptr) {
        int saved = errno;
        close(fds[0]);  // the child sees EPIPE and ends
        Reap(pid);
        errno = saved;
        return nullptr;
    }
    slot->stream = stream;
    slot->pid = pid;
    return stream;
}

int secure_pclose(FILE *stream) {
    pid_t pid = -1;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (stream != nullptr) {
            for (Child &c : g_children) {
                if (c.stream == stream) {
                    pid = c.pid;
                    c.stream = nullptr;
                    c.pid = 0;
                    break;
                }
            }
        }
    }
    if (pid < 0) {
        errno = ECHILD;
        return -1;
    }
    fclose(stream);
    return Reap(pid);
}
