#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// No shell: its metacharacters are plain words; no PATH search either.
TEST(PopenTest, RunsWithoutShellOrRefusesWithErrno) {
    std::string args33 = "/bin/echo";
    for (int i = 1; i < 33; ++i) args33 += " x";
    const struct {
        const char *command, *output;  // output null: refused
        int status;                    // exit status, or errno when refused
    } cases[] = {
        {"  /bin/echo\t\ta   $HOME;ls * 'b c' `id` | >x\t", "a $HOME;ls * 'b c' `id` | >x\n", 0},
        {"/bin/grep -qs x /nonexistent-qax-file", "", 2},
        {"echo hi", nullptr, EINVAL},
        {args33.c_str(), nullptr, E2BIG},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        errno = 0;
        FILE *stream = secure_popen(c.command, "r");
        if (c.output == nullptr) {
            EXPECT_TRUE(stream == nullptr && errno == c.status) << errno;
            continue;
        }
        ASSERT_NE(stream, nullptr);
        EXPECT_TRUE(fcntl(fileno(stream), F_GETFD) & FD_CLOEXEC);  // not inherited by later children
        std::string out;
        char buffer[256];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, stream)) > 0;) out.append(buffer, n);
        const int status = secure_pclose(stream);
        EXPECT_EQ(out, c.output);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status;
    }
    EXPECT_TRUE(secure_pclose(nullptr) == -1 && secure_pclose(stdout) == -1);  // not ours
}

}  // namespace
