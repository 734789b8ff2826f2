#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

#include "process.h"

namespace {

// Output and close status of `command`; status -2 when it did not start.
std::pair<std::string, int> RunCommand(const char *command) {
    FILE *stream = secure_popen(command, "r");
    if (stream == nullptr) return {"", -2};
    EXPECT_TRUE(fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC) << command;  // not inherited by later children
    std::string out;
    char buffer[256];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, stream)) > 0;) out.append(buffer, n);
    return {out, secure_pclose(stream)};
}

TEST(PopenTest, RunsWithoutShellAndReportsExitStatus) {
    const struct {
        const char *command, *output;
        int exit;
    } cases[] = {
        {"/bin/echo a b c", "a b c\n", 0},
        {"  /bin/echo\t\ta   b\t", "a b\n", 0},
        {"/bin/echo $HOME;ls *", "$HOME;ls *\n", 0},
        {"/bin/echo 'a b' \"c\" `id` | >x", "'a b' \"c\" `id` | >x\n", 0},
        {"/bin/cat", "", 0},  // stdin is /dev/null: ends at once
        {"/bin/false", "", 1},
        {"/bin/grep -qs x /nonexistent-qax-file", "", 2},
    };
    for (const auto &c : cases) {
        const auto [out, status] = RunCommand(c.command);
        EXPECT_EQ(out, c.output) << c.command;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit) << c.command << ": " << status;
    }
}

TEST(PopenTest, RefusesWhatCannotRun) {
    std::string args33 = "/bin/echo";
    for (int i = 1; i < 33; ++i) args33 += " x";
    const struct {
        const char *command, *mode;
        int error;
    } cases[] = {
        {"/nonexistent/qax-program", "r", ENOENT},
        {"/etc/passwd", "r", EACCES},  // not executable
        {"echo hi", "r", EINVAL},      // no PATH search
        {nullptr, "r", EINVAL},
        {"/bin/echo hi", "w", EINVAL},
        {args33.c_str(), "r", E2BIG},
    };
    std::string unchecked;
    for (const auto &c : cases) {
        if (qaxtest::Emulator() != nullptr && (c.error == ENOENT || c.error == EACCES)) {
            unchecked += std::string(" ") + c.command;
            continue;
        }
        errno = 0;
        EXPECT_EQ(secure_popen(c.command, c.mode), nullptr) << (c.command ? c.command : "null");
        EXPECT_EQ(errno, c.error) << (c.command ? c.command : "null");
    }
    EXPECT_TRUE(secure_pclose(nullptr) == -1 && secure_pclose(stdout) == -1);  // not ours
    if (!unchecked.empty())
        GTEST_SKIP() << "under " << qaxtest::Emulator()
                     << ", posix_spawn does not report a failed exec; not checked:" << unchecked;
}

}  // namespace
