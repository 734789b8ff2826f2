// The real qax binary: command-line shapes, readers given a FIFO, single
// instance, SIGTERM.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_root.h"

namespace {

using qaxtest::Exists;
using qaxtest::WaitUntil;

TEST(QaxBinary, ArgumentShapesPrintUsageAndReaderErrorsExitWithTheirCode) {
    qaxtest::Site site;
    const std::vector<std::vector<std::string>> shapes = {
        {"-x"}, {"-r"}, {"-D"}, {"-p"}, {"-d", "extra"}, {"-P", "x"}, {"file", "-r"}, {"-r", "a", "b"},
    };
    for (auto argv : shapes) {
        argv.insert(argv.begin(), "qax");
        std::string out;
        EXPECT_EQ(site.Run(argv, &out), 0) << argv[1];
        EXPECT_EQ(out,
                  "usage:\n   qax [-options] [log file]- Qaxkeeper.\noptions:\n   -d: debug mode.\n"
                  "   -r: read log file.\n   -P: print full power history.\n")
            << argv[1];
    }
    // Neither usage nor the reader creates the daemon's directories.
    EXPECT_FALSE(Exists(site.At("tmp/qax_trace")) || Exists(site.At("tmp/qax_log")));
    // Readers given a FIFO answer at once (-1: still blocked after 3 s).
    const std::string error = "[QAX ERR]: Read log file error. Error code: ";
    std::string out;
    ASSERT_EQ(mkdir(site.At("pstorage/power").c_str(), 0700), 0);
    ASSERT_EQ(
        mkfifo(site.At("fifo.log").c_str(), 0666) | mkfifo(site.At("pstorage/power/PowerHistoryFull").c_str(), 0666),
        0);
    EXPECT_EQ(site.Run({"qax", "-r", site.At("fifo.log")}, &out, 3000), 1);
    EXPECT_NE(out.find(error), std::string::npos) << out;
    EXPECT_NE(site.Run({"qax", "-P"}, &out, 3000), -1);
    EXPECT_NE(out.find("Error loading power history file"), std::string::npos) << out;
}

// A second daemon on the same root is refused; one on another root (another
// controller, a parallel test) is not counted and runs. SIGTERM reaches a
// daemon that waits for its first data (no firmware answers) and that a
// reader which died left the lock to: it exits with 15 after saving both
// histories. At its start it removed the lock and the logs an earlier run left.
TEST(QaxBinary, SecondInstanceIsRefusedOnItsOwnRootAndSigtermSavesBothHistories) {
    if (qaxtest::Emulator() != nullptr)
        GTEST_SKIP() << "under " << qaxtest::Emulator() << ", pidof does not see an emulated qax";
    qaxtest::Site site, other("x1");  // real pace: the other instance simply sleeps
    site.env["QAX_IPMI"] = other.env["QAX_IPMI"] = "inband";
    const std::string lock = site.At("tmp/qax_log/qax.lock");
    mkdir(site.At("tmp/qax_log").c_str(), 0755);
    std::ofstream(lock) << '\x01';
    std::ofstream(site.At("tmp/qax_log/qax_7.log")) << "old";
    qaxtest::Process first = site.Start({"qax"});
    ASSERT_GT(first.pid, 0);
    const std::string waiting = "[ERROR] \"main\": Get Snapshot buffer from QAX is fail when get first data";
    EXPECT_TRUE(WaitUntil([&] { return site.Trace().find(waiting) != std::string::npos; }, 10000));
    EXPECT_FALSE(Exists(site.At("tmp/qax_log/qax_7.log")));
    // The daemon can never take the lock again.
    EXPECT_TRUE(WaitUntil([&] { return close(open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) == 0; }, 10000));
    EXPECT_EQ(site.Run({"qax"}, nullptr, 20000), 0);
    EXPECT_NE(site.Trace().find("[ERROR] \"main\": Process QAX is executing."), std::string::npos);

    qaxtest::Process elsewhere = other.Start({"qax"});
    WaitUntil([&] { return Exists(other.At("tmp/qax_log")); }, 10000);
    usleep(100000);
    // Both went on (a daemon that ended has another status), and stop cleanly.
    for (qaxtest::Process *p : {&first, &elsewhere}) {
        kill(p->pid, SIGTERM);
        EXPECT_EQ(qaxtest::ExitCode(p->Wait()), 15);
    }
    EXPECT_TRUE(Exists(site.At("pstorage/power/PowerHistoryFull")));
    EXPECT_TRUE(Exists(site.At("pstorage/power/PowerPerformanceFull")));
}

}  // namespace
