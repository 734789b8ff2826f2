#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Runs `command`, returns its output and stores the close status.
std::string RunCommand(const char *command, int *status) {
    FILE *stream = secure_popen(command, "r");
    if (stream == nullptr) {
        *status = -2;
        return "<null>";
    }
    std::string out;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stream)) > 0) out.append(buffer, n);
    *status = secure_pclose(stream);
    return out;
}

TEST(PopenTest, RunsWithoutShell) {
    struct Case {
        const char *command, *output;
    } cases[] = {
        {"/bin/echo a b c", "a b c\n"},
        {"  /bin/echo\t\ta   b\t", "a b\n"},
        {"/bin/echo $HOME;ls *", "$HOME;ls *\n"},
        {"/bin/echo 'a b' \"c\" `id` | >x", "'a b' \"c\" `id` | >x\n"},
        {"/bin/cat", ""},  // stdin is /dev/null: ends at once
    };
    for (const Case &c : cases) {
        int status = 0;
        EXPECT_EQ(RunCommand(c.command, &status), c.output) << c.command;
        ASSERT_TRUE(WIFEXITED(status)) << c.command;
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.command;
    }
}

TEST(PopenTest, CloseReportsExitStatus) {
    int status = 0;
    RunCommand("/bin/false", &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    RunCommand("/bin/grep -qs x /nonexistent-qax-file", &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(PopenTest, RefusesWhatCannotRun) {
    std::string args33 = "/bin/echo";
    for (int i = 1; i < 33; ++i) args33 += " x";
    std::string args32 = args33.substr(0, args33.size() - 2);
    struct Case {
        const char *command, *mode;
        int error;
    } cases[] = {
        {"/nonexistent/qax-program", "r", ENOENT},
        {"/etc/passwd", "r", EACCES},  // not executable
        {"echo hi", "r", EINVAL},      // no PATH search
        {"", "r", EINVAL},
        {" \t ", "r", EINVAL},
        {nullptr, "r", EINVAL},
        {"/bin/echo hi", "w", EINVAL},
        {"/bin/echo hi", "re", EINVAL},
        {"/bin/echo hi", nullptr, EINVAL},
        {args33.c_str(), "r", E2BIG},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(secure_popen(c.command, c.mode), nullptr) << (c.command ? c.command : "null");
        EXPECT_EQ(errno, c.error) << (c.command ? c.command : "null");
    }
    int status = 0;
    EXPECT_EQ(RunCommand(args32.c_str(), &status).size(), 31u * 2);
}

TEST(PopenTest, CloseOfUnknownStreamFails) {
    EXPECT_EQ(secure_pclose(nullptr), -1);
    EXPECT_EQ(secure_pclose(stdout), -1);
    FILE *stream = secure_popen("/bin/true", "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(secure_pclose(stream), 0);
}

TEST(PopenTest, StreamsAreCloseOnExecAndBounded) {
    std::vector<FILE *> open;
    for (;;) {
        FILE *stream = secure_popen("/bin/true", "r");
        if (stream == nullptr) {
            EXPECT_EQ(errno, EMFILE);
            break;
        }
        EXPECT_TRUE(fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC);
        open.push_back(stream);
        ASSERT_LT(open.size(), 100u);
    }
    EXPECT_GE(open.size(), 2u);
    for (FILE *stream : open) EXPECT_EQ(secure_pclose(stream), 0);
    // The table slots are free again.
    int status = 0;
    EXPECT_EQ(RunCommand("/bin/echo again", &status), "again\n");
}

}  // namespace
