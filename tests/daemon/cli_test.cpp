// The real qax binary: command-line shapes, single instance, SIGTERM.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "process.h"
#include "test_root.h"

namespace {

const char kUsage[] =
    "usage:\n   qax [-options] [log file]- Qaxkeeper.\noptions:\n   -d: debug mode.\n"
    "   -r: read log file.\n   -P: print full power history.\n";

class QaxBinary : public ::testing::Test {
  protected:
    std::map<std::string, std::string> Env(const std::string &clock = "virtual") const {
        return {{"QAX_ROOT", root_.Path()},
                {"QAX_CLOCK", clock},
                {"QAX_CLOCK_START", "1798761600"},
                {"QAX_IPMI", "sim"},
                {"TZ", "UTC"}};
    }
    std::string Out(const std::string &name) const { return root_.Path() + "/" + name + ".out"; }
    std::string Trace() const {
        return qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_0.txt") +
               qaxtest::ReadAll(root_.Path() + "/tmp/qax_trace/qax_trace_log_1.txt");
    }
    bool Exists(const std::string &rel) const {
        struct stat st;
        return stat((root_.Path() + rel).c_str(), &st) == 0;
    }
    qaxtest::TestRoot root_;
};

TEST_F(QaxBinary, ArgumentShapesPrintUsageAndExitZero) {
    const std::vector<std::vector<std::string>> shapes = {
        {"-x"}, {"-r"}, {"-D"}, {"-p"}, {"-d", "extra"}, {"-P", "x"}, {"file", "-r"}, {"-r", "a", "b"},
    };
    for (const auto &shape : shapes) {
        std::vector<std::string> argv = {QAX_BINARY};
        argv.insert(argv.end(), shape.begin(), shape.end());
        std::string out;
        EXPECT_EQ(qaxtest::Run(argv, Env(), Out("usage"), &out), 0) << shape[0];
        EXPECT_EQ(out, kUsage) << shape[0];
    }
    // Neither usage nor the reader creates the daemon's directories.
    EXPECT_FALSE(Exists("/tmp/qax_trace"));
    EXPECT_FALSE(Exists("/tmp/qax_log"));
}

TEST_F(QaxBinary, ReadOfAMissingFileReportsTheReaderCode) {
    std::string out;
    EXPECT_EQ(qaxtest::Run({QAX_BINARY, "-r", root_.Path() + "/nothing.log"}, Env(), Out("r"), &out), 1);
    EXPECT_EQ(out, "[QAX ERR]: Read log file error. Error code: 2.\n");
    EXPECT_FALSE(Exists("/tmp/qax_log"));
}

// SIGTERM reaches a daemon that waits for its first data (no firmware
// answers), also when a reader that died left the lock behind: it exits with
// 15 after saving both histories.
TEST_F(QaxBinary, SigtermWhileWaitingSavesBothHistories) {
    for (const bool staleLock : {false, true}) {
        SCOPED_TRACE(staleLock ? "stale lock" : "no lock");
        for (const char *left : {"/pstorage/power/PowerHistoryFull", "/pstorage/power/PowerPerformanceFull",
                                 "/tmp/qax_trace/qax_trace_log_0.txt", "/tmp/qax_trace/qax_trace_log_1.txt"})
            unlink((root_.Path() + left).c_str());
        auto env = Env();
        env["QAX_IPMI"] = "inband";
        qaxtest::Process daemon = qaxtest::Start({QAX_BINARY}, env, Out("daemon"));
        ASSERT_GT(daemon.pid, 0);
        // Wait (real time, bounded) until the first-data loop has been entered.
        for (int i = 0; i < 2000 && Trace().find("when get first data") == std::string::npos; i++) {
            usleep(5000);
        }
        if (staleLock) {
            // The daemon can never take the lock again.
            const std::string lock = root_.Path() + "/tmp/qax_log/qax.lock";
            int fd = -1;
            for (int i = 0; i < 2000 && fd < 0; i++) {
                fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (fd < 0) usleep(1000);
            }
            EXPECT_GE(fd, 0);
            if (fd >= 0) close(fd);
        }
        kill(daemon.pid, SIGTERM);
        int status = daemon.Wait(5000);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 15);
        EXPECT_NE(Trace().find("[ERROR] \"main\": Get Snapshot buffer from QAX is fail when get "
                               "first data"),
                  std::string::npos);
        EXPECT_TRUE(Exists("/pstorage/power/PowerHistoryFull"));
        EXPECT_TRUE(Exists("/pstorage/power/PowerPerformanceFull"));
    }
}

// A second daemon on the same root is refused; one on another root (another
// controller, a parallel test) is not counted and runs.
TEST_F(QaxBinary, SecondInstanceIsRefusedOnItsOwnRoot) {
    if (qaxtest::Emulator() != nullptr)
        GTEST_SKIP() << "under " << qaxtest::Emulator() << ", pidof does not see an emulated qax";
    auto env = Env("x1");  // real pace: the first instance simply sleeps
    env["QAX_IPMI"] = "inband";
    qaxtest::Process first = qaxtest::Start({QAX_BINARY}, env, Out("first"));
    ASSERT_GT(first.pid, 0);
    for (int i = 0; i < 2000 && !Exists("/tmp/qax_log"); i++) usleep(5000);
    usleep(50000);

    std::string out;
    EXPECT_EQ(qaxtest::Run({QAX_BINARY}, env, Out("second"), &out), 0);
    EXPECT_NE(Trace().find("[ERROR] \"main\": Process QAX is executing."), std::string::npos);

    qaxtest::TestRoot other;
    auto env2 = env;
    env2["QAX_ROOT"] = other.Path();
    qaxtest::Process elsewhere = qaxtest::Start({QAX_BINARY}, env2, Out("elsewhere"));
    for (int i = 0; i < 2000 && !qaxtest::FileExists(other.Path() + "/tmp/qax_log"); i++) usleep(5000);
    usleep(100000);
    EXPECT_EQ(waitpid(elsewhere.pid, nullptr, WNOHANG), 0);

    // Both go on, and still stop cleanly.
    for (qaxtest::Process *p : {&first, &elsewhere}) {
        EXPECT_EQ(waitpid(p->pid, nullptr, WNOHANG), 0);
        kill(p->pid, SIGTERM);
        int status = p->Wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 15) << status;
    }
}

TEST_F(QaxBinary, StartUpRemovesAStaleLockAndOldLogs) {
    mkdir((root_.Path() + "/tmp/qax_log").c_str(), 0755);
    {
        std::ofstream(root_.Path() + "/tmp/qax_log/qax.lock") << '\x01';
        std::ofstream(root_.Path() + "/tmp/qax_log/qax_7.log") << "old";
    }
    auto env = Env();
    env["QAX_IPMI"] = "inband";
    qaxtest::Process daemon = qaxtest::Start({QAX_BINARY}, env, Out("daemon"));
    for (int i = 0; i < 2000 && Trace().find("when get first data") == std::string::npos; i++) {
        usleep(5000);
    }
    kill(daemon.pid, SIGTERM);
    daemon.Wait();
    EXPECT_FALSE(Exists("/tmp/qax_log/qax_7.log"));
    EXPECT_NE(Trace().find("when get first data"), std::string::npos);
}

}  // namespace
