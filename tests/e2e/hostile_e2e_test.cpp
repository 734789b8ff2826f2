// The real daemon on hostile ground: a /tmp that others write, objects
// planted at every path it writes, directories made by another user, storage
// that fills up, and kills inside saves. Nothing planted is written through or
// blocks the daemon, nothing saved is lost, and it keeps monitoring.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>

#include <algorithm>
#include <random>
#include <regex>

#include "test_root.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qaxtest::Count;
using qaxtest::ExitCode;
using qaxtest::WaitUntil;

constexpr uid_t kOtherUser = 65534;
constexpr size_t kFullFileSize = 9218;
constexpr int kSlots = 576;

bool Lstat(const std::string &path, struct stat *st) { return lstat(path.c_str(), st) == 0; }

// One history full file, decoded as the daemon stores it: a 16-bit index and
// 576 records of a 32-bit time and six 16-bit values.
struct History {
    bool present = false;
    int filled = 0, measured = 0;  // slots with a time; of those, with an average other than "unknown" (8888)
    uint32_t newest = 0;
};
History ReadHistory(const std::string &path, int averageField) {
    History h;
    const std::string b = qaxtest::ReadAll(path);
    struct stat st;
    h.present = Lstat(path, &st);
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(b[at + i]);
        return v;
    };
    if (b.size() != kFullFileSize) return h;
    for (size_t at = 2; at < b.size(); at += 16) {
        if (le(at, 4) == 0) continue;
        h.filled++;
        h.measured += le(at + 4 + 2 * averageField, 2) != 8888;
        h.newest = std::max(h.newest, le(at, 4));
    }
    return h;
}

// A fresh root with /tmp as on the controller, and files outside the daemon's
// directories that planted links point to.
class Ground : public qaxtest::Site {
  public:
    Ground() {
        chmod(At("tmp").c_str(), 01777);  // everybody writes /tmp
        mkdir(At("victims").c_str(), 0755);
        env["QAX_TEST_DAEMON"] = QAX_BINARY;
    }
    // "virtual" runs hours in seconds; "x600" lets real time pass while the
    // daemon runs (10 simulated minutes a second). Later processes share the clock.
    qaxtest::Process Start(const std::string &scenario, const std::string &clock = "virtual",
                           std::vector<std::string> argv = {"qax"}) {
        std::ofstream(At("scenario.scn"), std::ios::trunc) << scenario;
        env["QAX_CLOCK"] = clock;
        env["QAX_CLOCK_START"] = clock == "virtual" ? start : "";
        return Site::Start(argv);
    }
    // Rows of "qax -P" (none when it could not load the file). A virtual
    // clock is put after the newest sample, as it is after a restart: a
    // history from the future is not loaded.
    int HistoryRows() {
        const auto saved = env;
        if (env["QAX_CLOCK"] == "virtual") {
            const uint32_t newest = ReadHistory(At("pstorage/power/PowerHistoryFull"), 4).newest;
            env["QAX_CLOCK_START"] = std::to_string(std::max<uint64_t>(std::stoull(start), newest + 60ULL));
        }
        std::string out;
        Run({"qax", "-P"}, &out, 5000);
        env = saved;
        static const std::regex row("\n *\\d+ +-?\\d+( +\\d+){6}(?=\n)");
        return static_cast<int>(std::distance(std::sregex_iterator(out.begin(), out.end(), row), {}));
    }
    std::string Victim(const std::string &name) { return Victim(At("victims/" + name), "keep " + name); }
    std::string Victim(const std::string &path, const std::string &content) {
        std::ofstream(path, std::ios::binary) << content;
        victims_.emplace_back(path, content);
        return path;
    }
    void ExpectVictimsIntact() const {
        for (const auto &v : victims_)
            EXPECT_EQ(qaxtest::ReadAll(v.first), v.second) << v.first << " was written through";
    }

    std::string start = "1798761600";

  private:
    std::vector<std::pair<std::string, std::string>> victims_;  // path, content
};

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: plants other users' files and mounts file systems";
    }
    Ground g;
};

// ---------------------------------------------------------------------------
// Objects planted at every path the daemon writes.

// Planted before the start (one window file of each kind: they are written
// alike). The log directory is emptied at start, so its paths are planted once
// that is done, while the daemon waits for the firmware; the ring is written
// through them afterwards.
const char *const kBeforeStart[] = {"tmp/qax_trace/qax_trace_log_0.txt",
                                    "tmp/PowerHistoryLast24Hours",
                                    "tmp/PowerPerformanceLast1Hour",
                                    "pstorage/power/PowerHistoryFull",
                                    "pstorage/power/PowerHistoryFull.tmp",
                                    "tmp/aim/aim.db",
                                    "tmp/aim/aim.db-shm",
                                    "tmp/aim/aim.db-wal"};
const char *const kAfterPurge[] = {"tmp/qax_log/qax_0.log", "tmp/qax_log/qax_1.log", "tmp/qax_log/qax_num.log",
                                   "tmp/qax_log/qax_last.log", "tmp/qax_log/qax.lock"};

// Plants a symbolic link to a victim outside the daemon's directories, or a
// FIFO, at `rel`; those in /tmp belong to another user.
void PlantAt(Ground &g, bool link, const std::string &rel) {
    const std::string path = g.At(rel);
    std::string name = rel;
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string target = link ? g.Victim(name) : "";
    auto plant = [&] { return link ? symlink(target.c_str(), path.c_str()) : mkfifo(path.c_str(), 0666); };
    // The lock path is taken by the daemon now and then: wait for a gap.
    int rc = -1;
    WaitUntil([&] { return (rc = plant()) == 0 || errno != EEXIST; }, 2000);
    ASSERT_EQ(rc, 0) << rel << ": " << strerror(errno);
    if (rel.rfind("tmp/Power", 0) == 0) lchown(path.c_str(), kOtherUser, kOtherUser);
}

TEST_F(Hostile, PlantedLinksAndFifosAreNeverWrittenThroughNorBlockMonitoring) {
    for (const bool link : {true, false}) {
        SCOPED_TRACE(link ? "symbolic links" : "FIFOs");
        Ground ground;
        for (const char *dir : {"tmp/qax_trace", "tmp/qax_log", "pstorage/power"}) mkdir(ground.At(dir).c_str(), 070);
        mkdir(ground.At("tmp/aim").c_str(), 0755);
        for (const char *rel : kBeforeStart) PlantAt(ground, link, rel);
        std::ofstream(ground.At("tmp/qax_log/qax_7.log")) << "stale";

        // The firmware answers after ten simulated minutes, a second of real time
        // after the log directory was emptied.
        qaxtest::Process daemon = ground.Start("firmware absent\nat 600 firmware present\nat 1800 sigterm\n", "x600");
        EXPECT_TRUE(WaitUntil([&] { return access(ground.At("tmp/qax_log/qax_7.log").c_str(), F_OK) != 0; }, 2000))
            << "log directory not emptied";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const char *rel : kAfterPurge) PlantAt(ground, link, rel);
        EXPECT_EQ(ExitCode(daemon.Wait(15000)), 15) << "did not end by its SIGTERM within 15 s (-1: hung)";

        // Before anything else opens the store through what was planted.
        ground.ExpectVictimsIntact();
        const std::string trace = ground.Trace();
        // Nothing foreign is left where the daemon writes.
        std::vector<std::string> planted(std::begin(kBeforeStart), std::end(kBeforeStart));
        planted.insert(planted.end(), std::begin(kAfterPurge), std::end(kAfterPurge));
        for (const std::string &rel : planted) {
            struct stat st;
            EXPECT_TRUE(!Lstat(ground.At(rel), &st) || (S_ISREG(st.st_mode) && st.st_nlink == 1)) << rel;
            // Entries the daemon opens as its own files: whatever is there is removed and the removal traced.
            const bool own =
                fs::path(rel).filename().string().rfind("qax_", 0) == 0 || fs::path(rel).extension() == ".tmp";
            const std::string removed = "Removed " + ground.At(rel) + ": " + (link ? "a symbolic link" : "a FIFO");
            EXPECT_TRUE(!own || Count(trace, removed) == 1) << rel;
        }
        EXPECT_EQ(Count(trace, "Removed qax.lock: it was not a lock file"), 1);
        EXPECT_EQ(Count(trace, "Kept unloadable history file '" + ground.At("pstorage/power/PowerHistoryFull") + "'"),
                  1);
        EXPECT_EQ(ground.HistoryRows(), kSlots);
        ground.NewestReport();  // still monitoring
    }
}

// ---------------------------------------------------------------------------
// A directory another user made first, and a link in place of one: moved
// aside as they are (links and all) and made afresh.

TEST_F(Hostile, DirectoriesMadeByAnotherUserOrLinkedAreMovedAsideAndMadeAfresh) {
    const std::string elsewhere = g.At("victims/elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    for (const char *name : {"qax_0.log", "qax_num.log", "qax_last.log", "notes"})
        g.Victim(elsewhere + "/" + name, std::string("keep ") + name);
    ASSERT_EQ(symlink(elsewhere.c_str(), g.At("tmp/qax_log").c_str()), 0);
    const std::string dir = g.At("tmp/qax_trace"), link = dir + "/qax_trace_log_0.txt";
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777) | chown(dir.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(symlink(g.Victim("qax_trace_log_0.txt").c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(g.RunDaemon("at 600 sigterm\n"), 15);
    g.ExpectVictimsIntact();
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 4);
    const std::string trace = g.Trace();
    EXPECT_EQ(Count(trace, "Directory " + g.At("tmp/qax_log") + " is not safe (a symbolic link); moved it aside"), 1);
    struct stat st;
    ASSERT_TRUE(Lstat(dir, &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == 0 && !(st.st_mode & S_IWOTH)) << std::oct << st.st_mode;
    EXPECT_EQ(Count(trace, "Directory " + dir + " is not safe (owned by user 65534); moved it aside to " + dir +
                               ".untrusted-"),
              1)
        << trace.substr(0, 2000);
    std::string aside;
    for (const auto &e : fs::directory_iterator(g.At("tmp")))
        if (e.path().string().rfind(dir + ".untrusted-", 0) == 0) aside = e.path();
    EXPECT_TRUE(fs::is_symlink(fs::path(aside) / "qax_trace_log_0.txt")) << "aside: " << aside;
    g.NewestReport();  // still monitoring
}

// ---------------------------------------------------------------------------
// Storage that fails.

// Saves and stored keys resume once a full storage has room again, without a
// restart, and the store traces the reason once per change, not in every
// cycle. The daemon runs at x600 in a private mount namespace, where the
// persistent storage X is a small tmpfs filled up before it starts and freed
// once the store has traced the failure. What it left in X is copied out
// before the namespace, and the tmpfs, goes.
TEST_F(Hostile, FullStorageIsUsedAgainOnceItHasRoom) {
    if (system("unshare -m --propagation private true") != 0) GTEST_SKIP() << "no mount namespaces";
    // An emulated daemon cannot keep up with 60 cycles a second: half the speed, twice the time.
    const bool emulated = qaxtest::Emulator() != nullptr;
    // Freed after the failure was traced (at most 20 s more), so that a daemon slowed down by
    // a loaded machine still meets the full storage.
    const std::string script =
        std::string("X=\"$QAX_ROOT/pstorage\"\nmount -t tmpfs -o size=256k tmpfs \"$X\" || exit 99\n") +
        "dd if=/dev/zero of=\"$X/filler\" bs=4k 2>/dev/null\ntimeout -s KILL " + (emulated ? "60" : "40") +
        " \"$QAX_TEST_DAEMON\" & pid=$!\nsleep " + (emulated ? "3" : "1.5") +
        "\nn=0; until grep -hs -- 'No space left on device' \"$QAX_ROOT\"/tmp/qax_trace/*.txt | grep -q pstorage/aim "
        "|| [ $n -ge 200 ]; do sleep 0.1; n=$((n+1)); done\nrm -f \"$X/filler\"\nwait $pid; rc=$?\n"
        "mkdir \"$QAX_ROOT/after\" && cp -a \"$X/.\" \"$QAX_ROOT/after/\"\nexit $rc\n";
    // 15 simulated minutes of failure, then 25 that work.
    qaxtest::Process p = g.Start("at 2400 sigterm\n", emulated ? "x300" : "x600",
                                 {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script});
    const int code = ExitCode(p.Wait(emulated ? 90000 : 60000));
    if (code == 99) GTEST_SKIP() << "mount refused";
    EXPECT_EQ(code, 15);
    std::error_code ec;
    fs::remove_all(g.At("pstorage"));
    fs::rename(g.At("after"), g.At("pstorage"), ec);
    // (The history save's lines are per attempt by design, and keep their fixed text on a full disk.)
    std::istringstream trace(g.Trace());
    int storeLines = 0, named = 0;
    for (std::string line; std::getline(trace, line);) {
        storeLines += line.find("pstorage") != std::string::npos && line.find("\"aim_config\"") != std::string::npos;
        named += line.find("pstorage/aim") != std::string::npos && line.find("No space left") != std::string::npos;
    }
    EXPECT_GT(named, 0) << "the store's failure without its reason";
    EXPECT_LE(storeLines, 4) << "store failures traced again and again";
    EXPECT_EQ(g.AimInt("qax_module_handle_0"), 1) << "not stored once the storage took writes";
    const History saved = ReadHistory(g.At("pstorage/power/PowerHistoryFull"), 4);
    EXPECT_GE(saved.measured, 10) << "no save once the storage took writes, or samples of the failing minutes lost";
}

// ---------------------------------------------------------------------------
// SIGKILL inside the first saves, after the n-th write into the history directory.

TEST_F(Hostile, KillsInsideSavesNeverLoseWhatWasSaved) {
    const std::string dir = g.At("pstorage/power");
    ASSERT_EQ(mkdir(dir.c_str(), 070), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_MODIFY), 0);
    // Writes into the history directory since the last call: only saves write there.
    auto writes = [&] {
        alignas(struct inotify_event) char buf[4096];
        int n = 0;
        for (ssize_t len; (len = read(watch, buf, sizeof buf)) > 0;)
            for (char *at = buf; at < buf + len; n++)
                at += sizeof(struct inotify_event) + reinterpret_cast<const struct inotify_event *>(at)->len;
        return n;
    };
    // (The performance history is saved by the same code.)
    const std::string file = dir + "/PowerHistoryFull";
    History last;
    std::mt19937 random(20261206);
    uint64_t start = 1798761600;
    int kills = 0;
    // A daemon started under an emulator takes about twice as long to get going.
    const auto budget = std::chrono::seconds(qaxtest::Emulator() != nullptr ? 80 : 40);
    for (const auto end = Clock::now() + budget; kills < 70 && Clock::now() < end; kills++) {
        writes();
        qaxtest::Process daemon = g.Start("at 86400 sigterm\n");
        const int wanted = 1 + random() % 8;
        struct pollfd ready = {watch, POLLIN, 0};
        const auto giveUp = Clock::now() + std::chrono::seconds(3);
        for (int seen = 0; seen < wanted && Clock::now() < giveUp && poll(&ready, 1, 100) >= 0;) seen += writes();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        kill(daemon.pid, SIGKILL);
        daemon.Wait(5000);
        SCOPED_TRACE("after kill " + std::to_string(kills));
        const History now = ReadHistory(file, 4);
        ASSERT_TRUE(now.present || !last.present) << "a saved history is gone";
        if (!now.present) continue;
        ASSERT_GE(now.measured, last.measured) << "saved samples lost";
        last = now;
        // The next start follows the newest saved sample, as a restart does.
        g.start = std::to_string(start = std::max<uint64_t>(start, now.newest) + 60);
        ASSERT_EQ(g.HistoryRows(), kSlots) << "qax -P cannot load it";
        if (now.filled > 450) {  // the ring would wrap and overwrite samples: start over
            fs::remove(file);
            last = History();
        }
    }
    close(watch);
    EXPECT_GE(kills, 25);  // fewer in 40 s under the sanitizers on a loaded machine
}

}  // namespace
