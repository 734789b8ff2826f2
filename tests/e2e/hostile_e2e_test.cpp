// The real daemon on hostile ground: a /tmp that others write, objects
// planted at every path it writes, directories made by another user,
// storage that turns read-only, fills up or is damaged, a lock left behind,
// and signals at any moment. Nothing planted is written through or blocks the
// daemon, nothing saved is lost, and it keeps monitoring.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "test_root.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uid_t kOtherUser = 65534;
constexpr size_t kFullFileSize = 9218;
constexpr int kSlots = 576;

int Count(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// Polls every 5 ms for at most `ms` of real time.
bool WaitUntil(const std::function<bool()> &done, int ms) {
    for (auto end = Clock::now() + std::chrono::milliseconds(ms);;) {
        if (done()) return true;
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ExitCode(int status) {
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool Lstat(const std::string &path, struct stat *st) { return lstat(path.c_str(), st) == 0; }

// One history full file, decoded as the daemon stores it: a 16-bit index and
// 576 records of a 32-bit time and six 16-bit values.
struct History {
    bool present = false;
    size_t size = 0;
    unsigned index = 0;
    int filled = 0;    // slots with a time
    int measured = 0;  // of those, slots whose average is not "unknown" (8888)
    uint32_t newest = 0;
};

History ReadHistory(const std::string &path, int averageField) {
    History h;
    const std::string bytes = qaxtest::ReadAll(path);
    struct stat st;
    h.present = Lstat(path, &st);
    h.size = bytes.size();
    if (bytes.size() != kFullFileSize) return h;
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; i--) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
        return v;
    };
    h.index = le(0, 2);
    for (int i = 0; i < kSlots; i++) {
        const size_t at = 2 + 16 * i;
        const uint32_t time = le(at, 4);
        if (time == 0) continue;
        h.filled++;
        h.measured += le(at + 4 + 2 * averageField, 2) != 8888;
        h.newest = std::max(h.newest, time);
    }
    return h;
}

// A fresh installation root with the daemon's environment, the emulator and
// helpers to run, plant and check.
class Ground {
  public:
    Ground() {
        // /tmp as on the controller: everybody writes it.
        chmod(Path("tmp").c_str(), 01777);
        mkdir(Path("victims").c_str(), 0755);
    }

    std::string Path(const std::string &rel) const { return root_.Path() + "/" + rel; }

    // "virtual" runs hours in seconds; "x600" lets real time pass while the
    // daemon runs (10 simulated minutes a second).
    // Every later process (qax -P, qax-aim) shares the daemon's clock.
    std::map<std::string, std::string> Env() const {
        return {{"QAX_ROOT", root_.Path()},
                {"QAX_CLOCK", clock_},
                {"QAX_CLOCK_START", clock_ == "virtual" ? start_ : ""},
                {"QAX_IPMI", "sim"},
                {"QAX_SIM_SEED", "7"},
                {"TZ", "UTC"},
                {"ZOQ_FAMILY", ""},
                {"QAX_SIM_SCENARIO", Path("scenario.scn")},
                {"QAX_TEST_DAEMON", QAX_BINARY}};
    }
    void SetStart(uint64_t seconds) { start_ = std::to_string(seconds); }

    qaxtest::Process Start(const std::string &scenario, const std::string &clock = "virtual",
                           std::vector<std::string> argv = {QAX_BINARY}) {
        std::ofstream(Path("scenario.scn"), std::ios::trunc) << scenario;
        clock_ = clock;
        return qaxtest::Start(argv, Env(), Path("daemon.out"));
    }
    // The daemon until the scenario's own SIGTERM; its exit code, -1 when it
    // had to be killed after `timeoutMs`.
    int RunDaemon(const std::string &scenario, const std::string &clock = "virtual", int timeoutMs = 20000) {
        qaxtest::Process p = Start(scenario, clock);
        return ExitCode(p.Wait(timeoutMs));
    }
    int Run(const std::vector<std::string> &argv, std::string *out, int timeoutMs = 20000) {
        return qaxtest::Run(argv, Env(), Path("run.out"), out, timeoutMs);
    }
    // A stored key's value; -1 when it has none.
    long long AimInt(const std::string &key) {
        std::string out;
        Run({std::string(QAX_TOOLS_DIR) + "/qax-aim", "get", key}, &out);
        return out.empty() ? -1 : std::strtoll(out.c_str(), nullptr, 10);
    }
    std::string Trace() const {
        return qaxtest::ReadAll(Path("tmp/qax_trace/qax_trace_log_0.txt")) +
               qaxtest::ReadAll(Path("tmp/qax_trace/qax_trace_log_1.txt"));
    }
    // Rows of "qax -P", or -1 when it could not load the file. A virtual
    // clock is put after the newest sample, as it is after a restart: a
    // history from the future is not loaded.
    int HistoryRows() {
        std::map<std::string, std::string> env = Env();
        if (clock_ == "virtual") {
            const uint32_t newest = ReadHistory(Path("pstorage/power/PowerHistoryFull"), 4).newest;
            env["QAX_CLOCK_START"] = std::to_string(std::max<uint64_t>(std::stoull(start_), newest + 60ULL));
        }
        std::string out;
        qaxtest::Run({QAX_BINARY, "-P"}, env, Path("run.out"), &out, 5000);
        if (out.find("Error loading power history file") != std::string::npos) return -1;
        static const std::regex row("\n *\\d+ +-?\\d+( +\\d+){6}(?=\n)");
        return static_cast<int>(
            std::distance(std::sregex_iterator(out.begin(), out.end(), row), std::sregex_iterator()));
    }

    // The daemon kept monitoring: the newest ring file reads back and holds
    // the published time stamp.
    void ExpectMonitoring() {
        const std::string last = qaxtest::ReadAll(Path("tmp/qax_log/qax_last.log"));
        ASSERT_EQ(last.size(), 1u) << "no qax_last.log";
        std::string report;
        EXPECT_EQ(Run({QAX_BINARY, "-r", Path("tmp/qax_log/qax_" + std::to_string(uint8_t(last[0])) + ".log")}, &report,
                      5000),
                  0)
            << report;
        const long long stamp = AimInt("QAX_timestamp");
        EXPECT_GT(stamp, 0) << "no published figures";
        EXPECT_NE(report.find("Timestamp: " + std::to_string(stamp)), std::string::npos) << report;
    }

    // A file outside the daemon's directories that a planted link points to.
    std::string Victim(const std::string &name) { return Victim(Path("victims/" + name), "keep " + name); }
    std::string Victim(const std::string &path, const std::string &content) {
        std::ofstream(path, std::ios::binary) << content;
        struct stat st;
        Lstat(path, &st);
        victims_.push_back({path, content, st.st_ino});
        return path;
    }
    // Each victim keeps its content; one that was moved along with a planted
    // directory the daemon put aside is looked for by its inode.
    void ExpectVictimsIntact() const {
        for (const auto &v : victims_) {
            std::string at = v.path;
            struct stat st;
            if (!Lstat(at, &st) || st.st_ino != v.ino) {
                at.clear();
                std::error_code ec;
                for (fs::recursive_directory_iterator it(root_.Path(), ec), end; !ec && it != end; it.increment(ec))
                    if (Lstat(it->path(), &st) && S_ISREG(st.st_mode) && st.st_ino == v.ino) at = it->path();
            }
            ASSERT_FALSE(at.empty()) << v.path << " is gone or was replaced";
            EXPECT_EQ(qaxtest::ReadAll(at), v.content) << at << " was written through";
        }
        for (const auto &path : mustNotExist_) {
            struct stat st;
            EXPECT_FALSE(Lstat(path, &st)) << path << " was created through a dangling link";
        }
    }
    void MustNotExist(const std::string &path) { mustNotExist_.push_back(path); }

    void WriteFile(const std::string &rel, const std::string &bytes) {
        std::ofstream(Path(rel), std::ios::binary | std::ios::trunc) << bytes;
    }

  private:
    struct VictimFile {
        std::string path, content;
        ino_t ino;
    };
    qaxtest::TestRoot root_;
    std::string clock_ = "virtual", start_ = "1798761600";
    std::vector<VictimFile> victims_;
    std::vector<std::string> mustNotExist_;
};

// What the daemon may write outside QAX_ROOT: nothing. A listing of the real
// paths before and after each test.
std::string OutsideListing() {
    std::string out;
    for (const char *dir : {"/tmp/qax_log", "/tmp/qax_trace", "/tmp/aim", "/pstorage"}) {
        std::error_code ec;
        out += std::string(dir) + (fs::exists(dir, ec) ? ":\n" : " absent\n");
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            out += it->path().string() + "\n";
    }
    for (const char *file : {"/tmp/PowerHistoryLast1Hour", "/tmp/PowerPerformanceLast1Hour"}) {
        struct stat st;
        if (Lstat(file, &st)) out += std::string(file) + " " + std::to_string(st.st_mtime) + "\n";
    }
    return out;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: plants other users' files and mounts file systems";
        }
        outside_ = OutsideListing();
    }
    void TearDown() override {
        if (!outside_.empty()) {
            EXPECT_EQ(OutsideListing(), outside_) << "written outside QAX_ROOT";
        }
    }
    std::string outside_;
};

// ---------------------------------------------------------------------------
// Objects planted at every path the daemon writes.

enum class Plant { kSymlink, kDanglingLink, kHardLink, kFifo, kEmptyDir, kFullDir };

struct PlantCase {
    Plant kind;
    const char *name;
    const char *described;  // how the trace names it when it is removed
};
void PrintTo(const PlantCase &c, std::ostream *os) { *os << c.name; }

// Planted before the start. The log directory is emptied at start, so its
// paths are planted once that is done, while the daemon waits for the
// firmware; the ring is written through them afterwards.
const char *const kBeforeStart[] = {"tmp/qax_trace/qax_trace_log_0.txt",
                                    "tmp/PowerHistoryLast1Hour",
                                    "tmp/PowerHistoryLast6Hours",
                                    "tmp/PowerHistoryLast12Hours",
                                    "tmp/PowerHistoryLast24Hours",
                                    "tmp/PowerPerformanceLast1Hour",
                                    "tmp/PowerPerformanceLast6Hours",
                                    "tmp/PowerPerformanceLast12Hours",
                                    "tmp/PowerPerformanceLast24Hours",
                                    "pstorage/power/PowerHistoryFull",
                                    "pstorage/power/PowerHistoryFull.tmp",
                                    "tmp/aim/aim.db",
                                    "tmp/aim/aim.db-shm",
                                    "tmp/aim/aim.db-wal"};
const char *const kAfterPurge[] = {"tmp/qax_log/qax_0.log", "tmp/qax_log/qax_1.log", "tmp/qax_log/qax_num.log",
                                   "tmp/qax_log/qax_last.log", "tmp/qax_log/qax.lock"};
// Entries the daemon opens as its own files: whatever is there is removed and
// the removal traced.
const char *const kRemovedAndTraced[] = {"tmp/qax_trace/qax_trace_log_0.txt",
                                         "pstorage/power/PowerHistoryFull.tmp",
                                         "tmp/qax_log/qax_0.log",
                                         "tmp/qax_log/qax_1.log",
                                         "tmp/qax_log/qax_num.log",
                                         "tmp/qax_log/qax_last.log"};

class PlantedObjects : public Hostile, public ::testing::WithParamInterface<PlantCase> {
  protected:
    void PlantAt(const std::string &rel) {
        const std::string path = g_.Path(rel);
        std::string name = rel;
        std::replace(name.begin(), name.end(), '/', '_');
        const Plant kind = GetParam().kind;
        std::string target = g_.Path("victims/" + name);
        if (kind == Plant::kSymlink || kind == Plant::kHardLink) g_.Victim(name);
        if (kind == Plant::kDanglingLink) g_.MustNotExist(target);
        auto plant = [&] {
            switch (kind) {
            case Plant::kSymlink:
            case Plant::kDanglingLink:
                return symlink(target.c_str(), path.c_str());
            case Plant::kHardLink:
                return link(target.c_str(), path.c_str());
            case Plant::kFifo:
                return mkfifo(path.c_str(), 0666);
            case Plant::kEmptyDir:
            case Plant::kFullDir:
                return mkdir(path.c_str(), 0777);
            }
            return -1;
        };
        // The lock path is taken by the daemon now and then: wait for a gap.
        int rc = -1;
        WaitUntil([&] { return (rc = plant()) == 0 || errno != EEXIST; }, 2000);
        ASSERT_EQ(rc, 0) << rel << ": " << strerror(errno);
        if (kind == Plant::kFullDir) g_.Victim(path + "/keep", "keep " + name);
        // In /tmp the plants are another user's.
        if (rel.rfind("tmp/Power", 0) == 0) lchown(path.c_str(), kOtherUser, kOtherUser);
    }
    Ground g_;
};

TEST_P(PlantedObjects, AreNeverWrittenThroughNorBlockMonitoring) {
    for (const char *dir : {"tmp/qax_trace", "tmp/qax_log", "pstorage/power"}) mkdir(g_.Path(dir).c_str(), 070);
    mkdir(g_.Path("tmp/aim").c_str(), 0755);
    for (const char *rel : kBeforeStart) PlantAt(rel);
    const std::string stale = g_.Path("tmp/qax_log/qax_7.log");
    g_.WriteFile("tmp/qax_log/qax_7.log", "stale");

    // The firmware answers after ten simulated minutes, a second of real time
    // after the log directory was emptied.
    qaxtest::Process daemon = g_.Start("firmware absent\nat 600 firmware present\nat 1800 sigterm\n", "x600");
    EXPECT_TRUE(WaitUntil([&] { return access(stale.c_str(), F_OK) != 0; }, 2000)) << "log directory not emptied";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const char *rel : kAfterPurge) PlantAt(rel);
    const int code = ExitCode(daemon.Wait(15000));
    EXPECT_EQ(code, 15) << "did not end by its SIGTERM within 15 s (-1: hung)";

    // Before anything else opens the store through what was planted.
    g_.ExpectVictimsIntact();
    const std::string trace = g_.Trace();
    if (GetParam().kind == Plant::kFullDir) {
        // Never descended into; the figures keep flowing.
        EXPECT_GT(g_.AimInt("QAX_timestamp"), 0) << trace.substr(0, 3000);
        return;
    }
    // Nothing foreign is left where the daemon writes.
    std::vector<std::string> planted(std::begin(kBeforeStart), std::end(kBeforeStart));
    planted.insert(planted.end(), std::begin(kAfterPurge), std::end(kAfterPurge));
    for (const std::string &rel : planted) {
        struct stat st;
        const bool present = Lstat(g_.Path(rel), &st);
        EXPECT_TRUE(!present || (S_ISREG(st.st_mode) && st.st_nlink == 1)) << rel << " still holds the plant";
    }
    for (const char *rel : kRemovedAndTraced)
        EXPECT_EQ(Count(trace, "Removed " + g_.Path(rel) + ": " + GetParam().described), 1) << rel;
    if (GetParam().kind != Plant::kHardLink) {
        EXPECT_EQ(Count(trace, "Removed qax.lock: it was not a lock file"), 1);
    }
    EXPECT_EQ(Count(trace, "Kept unloadable history file '" + g_.Path("pstorage/power/PowerHistoryFull") + "'"), 1);
    EXPECT_EQ(g_.HistoryRows(), kSlots);
    g_.ExpectMonitoring();
}

INSTANTIATE_TEST_SUITE_P(Hostile, PlantedObjects,
                         ::testing::Values(PlantCase{Plant::kSymlink, "Symlink", "a symbolic link"},
                                           PlantCase{Plant::kDanglingLink, "DanglingSymlink", "a symbolic link"},
                                           PlantCase{Plant::kHardLink, "HardLink", "a file with more than one link"},
                                           PlantCase{Plant::kFifo, "Fifo", "a FIFO"},
                                           PlantCase{Plant::kEmptyDir, "EmptyDirectory", "a directory"},
                                           PlantCase{Plant::kFullDir, "DirectoryWithAFile", "a directory"}),
                         [](const ::testing::TestParamInfo<PlantCase> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Directories another user made first, and a link in place of one.

TEST_F(Hostile, DirectoriesMadeByAnotherUserAreMovedAsideAndMadeAfresh) {
    Ground g;
    struct Row {
        const char *dir, *planted;
    };
    const Row rows[] = {{"tmp/qax_log", "qax_0.log"}, {"tmp/qax_trace", "qax_trace_log_0.txt"}, {"tmp/aim", "aim.db"}};
    for (const Row &r : rows) {
        const std::string dir = g.Path(r.dir), link = dir + "/" + r.planted;
        ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0777) | chown(dir.c_str(), kOtherUser, kOtherUser), 0);
        ASSERT_EQ(symlink(g.Victim(r.planted).c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), kOtherUser, kOtherUser), 0);
    }
    ASSERT_EQ(g.RunDaemon("at 600 sigterm\n"), 15);
    g.ExpectVictimsIntact();
    const std::string trace = g.Trace();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.dir);
        const std::string dir = g.Path(r.dir);
        struct stat st;
        ASSERT_TRUE(Lstat(dir, &st));
        EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == 0 && !(st.st_mode & S_IWOTH)) << std::oct << st.st_mode;
        EXPECT_EQ(Count(trace, "Directory " + dir + " is not safe (owned by user 65534); moved it aside to " + dir +
                                   ".untrusted-"),
                  1)
            << trace.substr(0, 2000);
        // The other user's directory is kept as it was, link and all.
        std::string aside;
        const std::string prefix = fs::path(dir).filename().string() + ".untrusted-";
        for (const auto &e : fs::directory_iterator(g.Path("tmp")))
            if (e.path().filename().string().rfind(prefix, 0) == 0) aside = e.path();
        EXPECT_TRUE(fs::is_symlink(fs::path(aside) / r.planted)) << "aside: " << aside;
    }
    g.ExpectMonitoring();
}

TEST_F(Hostile, LinkInPlaceOfTheLogDirectoryIsNeitherPurgedNorWritten) {
    Ground g;
    const std::string elsewhere = g.Path("victims/elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    for (const char *name : {"qax_0.log", "qax_num.log", "qax_last.log", "notes"})
        g.Victim(elsewhere + "/" + name, std::string("keep ") + name);
    ASSERT_EQ(symlink(elsewhere.c_str(), g.Path("tmp/qax_log").c_str()), 0);
    ASSERT_EQ(g.RunDaemon("at 600 sigterm\n"), 15);
    g.ExpectVictimsIntact();
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 4);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(g.Path("tmp/qax_log"))));
    EXPECT_EQ(Count(g.Trace(), "Directory " + g.Path("tmp/qax_log") + " is not safe (a symbolic link); moved it aside"),
              1);
    g.ExpectMonitoring();
}

// ---------------------------------------------------------------------------
// Storage that fails or is damaged.

bool CanMount() {
    std::string out;
    return qaxtest::Run({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/true"}, {}, "/dev/null", &out,
                        5000) == 0;
}

// Runs the daemon at x600 in a private mount namespace: `setup` before it
// starts (X is the persistent storage), `later` after `seconds` of real time.
// What the daemon left in X is copied out before the namespace, and any file
// system mounted in it, goes, and put where the tools look. -2: no mounts.
int RunOnStorage(Ground &g, const std::string &scenario, const std::string &setup, const std::string &seconds,
                 const std::string &later) {
    const std::string script = "X=\"$QAX_ROOT/pstorage\"\n{ " + setup +
                               "; } || exit 99\n"
                               "timeout -s KILL 20 \"$QAX_TEST_DAEMON\" & pid=$!\n"
                               "sleep " +
                               seconds + "\n" + later +
                               "\nwait $pid; rc=$?\n"
                               "mkdir \"$QAX_ROOT/pstorage.after\" && cp -a \"$X/.\" \"$QAX_ROOT/pstorage.after/\"\n"
                               "exit $rc\n";
    qaxtest::Process p =
        g.Start(scenario, "x600", {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script});
    const int code = ExitCode(p.Wait(30000));
    if (code == 99) return -2;
    fs::remove_all(g.Path("pstorage"));
    std::error_code ec;
    fs::rename(g.Path("pstorage.after"), g.Path("pstorage"), ec);
    return code;
}

// Saves and stored keys resume once the storage takes writes again, without a
// restart, and the reason is traced once per change, not in every cycle.
TEST_F(Hostile, StorageThatRefusesWritesIsUsedAgainOnceItTakesThem) {
    if (!CanMount()) GTEST_SKIP() << "no mount namespaces";
    struct Row {
        const char *name, *setup, *later, *reason;
    };
    const Row rows[] = {
        {"read-only, then writable", "mount --bind \"$X\" \"$X\" && mount -o remount,bind,ro \"$X\"",
         "mount -o remount,bind,rw \"$X\"", "Read-only file system"},
        {"full, then freed",
         "mount -t tmpfs -o size=256k tmpfs \"$X\" && { dd if=/dev/zero of=\"$X/filler\" bs=4k 2>/dev/null; true; }",
         "rm -f \"$X/filler\"", "No space left on device"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Ground g;
        // 15 simulated minutes of failure, then 25 that work.
        const int code = RunOnStorage(g, "at 2400 sigterm\n", r.setup, "1.5", r.later);
        if (code == -2) GTEST_SKIP() << "mount refused";
        EXPECT_EQ(code, 15);
        // Each failing part names the reason; each change is traced once.
        int errors = 0;
        bool named[2] = {false, false};
        std::istringstream trace(g.Trace());
        for (std::string line; std::getline(trace, line);) {
            if (line.find("pstorage") == std::string::npos) continue;
            // The history save's own lines are per attempt by design; the store's once per change.
            errors += line.find("\"aim_config\"") != std::string::npos;
            for (int i = 0; i < 2; i++)
                named[i] = named[i] || (line.find(i == 0 ? "pstorage/aim" : "pstorage/power") != std::string::npos &&
                                        line.find(r.reason) != std::string::npos);
        }
        EXPECT_TRUE(named[0]) << "the store's failure without its reason";
        // A full disk fails the history's writes, whose lines keep their fixed text (the stream's
        // error indicator); a read-only one fails its opening, which names the reason.
        EXPECT_TRUE(named[1] || strstr(r.reason, "space")) << "the histories' failure without its reason";
        EXPECT_LE(errors, 4) << "store failures traced again and again";
        EXPECT_EQ(g.AimInt("qax_module_handle_0"), 1) << "not stored once the storage took writes";
        const History saved = ReadHistory(g.Path("pstorage/power/PowerHistoryFull"), 4);
        EXPECT_EQ(saved.size, kFullFileSize) << "no save once the storage took writes";
        EXPECT_GE(saved.measured, 10) << "samples of the failing minutes lost";
        EXPECT_EQ(ReadHistory(g.Path("pstorage/power/PowerPerformanceFull"), 1).size, kFullFileSize);
        g.ExpectMonitoring();
    }
}

// A persistent store that is not a database, or not a file, is moved aside
// whole and a fresh one made.
TEST_F(Hostile, DamagedPersistentStoreIsMovedAsideAndReplaced) {
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "garbage");
        Ground g;
        const std::string db = g.Path("pstorage/aim/aim.db");
        const std::string garbage = std::string(3000, '\x5a') + "not a database";
        ASSERT_EQ(mkdir(g.Path("pstorage/aim").c_str(), 0755), 0);
        if (directory) {
            ASSERT_EQ(mkdir(db.c_str(), 0755), 0);
            g.WriteFile("pstorage/aim/aim.db/keep", garbage);
        } else {
            g.WriteFile("pstorage/aim/aim.db", garbage);
        }
        ASSERT_EQ(g.RunDaemon("at 600 sigterm\n"), 15);
        std::string aside;
        for (const auto &e : fs::directory_iterator(g.Path("pstorage/aim"))) {
            const std::string name = e.path().filename();
            if (name.rfind("aim.db", 0) == 0 && name != "aim.db" && name != "aim.db-wal" && name != "aim.db-shm" &&
                name != "aim.db-journal")
                aside = e.path();
        }
        ASSERT_FALSE(aside.empty()) << "nothing moved aside";
        EXPECT_EQ(qaxtest::ReadAll(directory ? aside + "/keep" : aside), garbage);
        EXPECT_EQ(Count(g.Trace(), "moved it aside to " + aside), 1) << "the move is not traced";
        EXPECT_EQ(g.AimInt("qax_module_handle_0"), 1);
        g.ExpectMonitoring();
    }
}

// A history cut short keeps its bytes beside the full file, and the first
// periodic save writes a whole new one.
TEST_F(Hostile, TruncatedHistoryIsKeptAndWrittenAfreshAtTheFirstSave) {
    Ground g;
    ASSERT_EQ(mkdir(g.Path("pstorage/power").c_str(), 070), 0);
    std::string cut = std::string("\x0a\x00", 2);
    while (cut.size() < 5000) cut += static_cast<char>(cut.size() * 7);
    g.WriteFile("pstorage/power/PowerHistoryFull", cut);
    const std::string full = g.Path("pstorage/power/PowerHistoryFull");

    qaxtest::Process daemon = g.Start("at 3600 sigterm\n");
    // Saved while it runs, not only by the SIGTERM's save.
    bool savedWhileRunning = false;
    WaitUntil(
        [&] {
            const std::string stat = qaxtest::ReadAll("/proc/" + std::to_string(daemon.pid) + "/stat");
            const bool ended = stat.empty() || stat[stat.rfind(") ") + 2] == 'Z';
            savedWhileRunning = !ended && ReadHistory(full, 4).size == kFullFileSize;
            return ended || savedWhileRunning;
        },
        10000);
    EXPECT_TRUE(savedWhileRunning);
    EXPECT_EQ(ExitCode(daemon.Wait()), 15);
    EXPECT_EQ(qaxtest::ReadAll(full + ".damaged"), cut);
    EXPECT_EQ(Count(g.Trace(), "Kept unloadable history file '" + full + "' as '" + full + ".damaged'"), 1);
    EXPECT_EQ(g.HistoryRows(), kSlots);
}

// ---------------------------------------------------------------------------
// A lock left by a reader that died.

TEST_F(Hostile, StaleLockIsWaitedForTracedOnceAndOutlived) {
    Ground g;
    const std::string lock = g.Path("tmp/qax_log/qax.lock"), last = g.Path("tmp/qax_log/qax_last.log");
    qaxtest::Process daemon = g.Start("at 1800 sigterm\n", "x600");
    ASSERT_TRUE(WaitUntil([&] { return qaxtest::ReadAll(last).size() == 1; }, 5000)) << "no ring file";
    // Taken between two cycles, as a reader takes it, and never released.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const int fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            return fd >= 0 && write(fd, "\1", 1) == 1 && close(fd) == 0;
        },
        2000));
    EXPECT_TRUE(WaitUntil([&] { return g.Trace().find("held for more than a minute") != std::string::npos; }, 3000));
    const std::string held = qaxtest::ReadAll(last);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // three simulated minutes
    EXPECT_EQ(qaxtest::ReadAll(last), held) << "wrote the ring while the lock was held";
    unlink(lock.c_str());
    EXPECT_TRUE(WaitUntil([&] { return qaxtest::ReadAll(last) != held; }, 3000)) << "did not resume";
    EXPECT_EQ(ExitCode(daemon.Wait(10000)), 15);
    EXPECT_EQ(Count(g.Trace(), "held for more than a minute"), 1);
    g.ExpectMonitoring();
}

// ---------------------------------------------------------------------------
// Readers given a FIFO.

TEST_F(Hostile, ReadersGivenAFifoAnswerAtOnce) {
    Ground g;
    ASSERT_EQ(mkfifo(g.Path("planted.log").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(g.Path("pstorage/power").c_str(), 070), 0);
    ASSERT_EQ(mkfifo(g.Path("pstorage/power/PowerHistoryFull").c_str(), 0666), 0);
    struct Row {
        std::vector<std::string> argv;
        int code;
        const char *says;
    };
    const Row rows[] = {{{QAX_BINARY, "-r", g.Path("planted.log")}, 1, "[QAX ERR]: Read log file error. Error code: "},
                        {{QAX_BINARY, "-P"}, 0, "Error loading power history file\n"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.argv.back());
        std::string out;
        EXPECT_EQ(g.Run(r.argv, &out, 3000), r.code) << "-1: still blocked after 3 s";
        EXPECT_NE(out.find(r.says), std::string::npos) << out;
    }
}

// ---------------------------------------------------------------------------
// SIGTERM right after the start.

TEST_F(Hostile, EarlySigtermEndsWith15AndSavesWhatWasLoaded) {
    for (const int delayMs : {0, 1, 2, 5, 10}) {
        SCOPED_TRACE(std::to_string(delayMs) + " ms");
        Ground g;
        qaxtest::Process daemon = g.Start("at 86400 sigterm\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(daemon.pid, SIGTERM);
        const int status = daemon.Wait(5000);
        ASSERT_NE(status, -1) << "still running 5 s after SIGTERM";
        const std::string trace = g.Trace();
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) {
            // Before main() no handler exists yet: the signal's own action
            // ends the process, which must not have touched anything.
            EXPECT_EQ(trace, "");
            continue;
        }
        EXPECT_EQ(ExitCode(status), 15);
        for (const char *history : {"PowerHistory", "PowerPerformance"}) {
            const bool loaded = trace.find(std::string("\"load") + history + "\"") != std::string::npos;
            const size_t size = ReadHistory(g.Path(std::string("pstorage/power/") + history + "Full"), 1).size;
            EXPECT_TRUE(!loaded || size == kFullFileSize) << history << " loaded but not saved";
        }
    }
}

// ---------------------------------------------------------------------------
// Killed at random moments, many of them inside saves.

TEST_F(Hostile, KillsAtRandomMomentsNeverLoseWhatWasSaved) {
    Ground g;
    const std::string dir = g.Path("pstorage/power");
    ASSERT_EQ(mkdir(dir.c_str(), 070), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_MODIFY), 0);
    // Writes into the history directory since the last call: only saves write there.
    auto writes = [&] {
        alignas(struct inotify_event) char buf[4096];
        int n = 0;
        for (ssize_t len; (len = read(watch, buf, sizeof buf)) > 0;) {
            for (char *at = buf; at < buf + len; n++)
                at += sizeof(struct inotify_event) + reinterpret_cast<const struct inotify_event *>(at)->len;
        }
        return n;
    };
    // Performance keeps zero-filled samples of missed periods: there every
    // slot with a time counts.
    struct Kept {
        const char *name;
        int averageField;
        bool zeroFilled;
        History last;
        int Valid(const History &h) const { return zeroFilled ? h.filled : h.measured; }
    };
    Kept kept[] = {{"PowerHistoryFull", 4, false, {}}, {"PowerPerformanceFull", 1, true, {}}};
    std::mt19937 random(20261206);
    uint64_t start = 1798761600;
    int kills = 0, insideSaves = 0;
    long long lastTemp = 0;  // newest temporary file seen, in ns
    // A daemon started under an emulator takes about twice as long to get going.
    const auto budget = std::chrono::seconds(qaxtest::Emulator() != nullptr ? 80 : 40);
    for (const auto end = Clock::now() + budget; kills < 70 && Clock::now() < end; kills++) {
        writes();
        g.SetStart(start);
        qaxtest::Process daemon = g.Start("at 86400 sigterm\n");
        if (kills % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300000));
        } else {
            // Inside one of the first saves: after its n-th write.
            const int wanted = 1 + random() % 8;
            struct pollfd ready = {watch, POLLIN, 0};
            const auto giveUp = Clock::now() + std::chrono::seconds(3);
            for (int seen = 0; seen < wanted && Clock::now() < giveUp && poll(&ready, 1, 100) >= 0;) seen += writes();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        }
        kill(daemon.pid, SIGKILL);
        daemon.Wait(5000);

        // A temporary file written since the last kill: this one hit a save.
        for (const char *temp : {"/PowerHistoryFull.tmp", "/PowerPerformanceFull.tmp"}) {
            struct stat st;
            const long long written =
                Lstat(dir + temp, &st) ? st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : 0;
            if (written > lastTemp) {
                insideSaves++;
                lastTemp = written;
                break;
            }
        }
        uint64_t newest = 0;
        bool full = false;
        for (Kept &k : kept) {
            SCOPED_TRACE(std::string(k.name) + " after kill " + std::to_string(kills));
            const History now = ReadHistory(dir + "/" + k.name, k.averageField);
            ASSERT_TRUE(now.present || !k.last.present) << "a saved history is gone";
            if (!now.present) continue;
            ASSERT_EQ(now.size, kFullFileSize);
            ASSERT_LT(now.index, static_cast<unsigned>(kSlots));
            ASSERT_GE(k.Valid(now), k.Valid(k.last)) << "saved samples lost";
            k.last = now;
            newest = std::max<uint64_t>(newest, now.newest);
            full = full || now.filled > 450;
        }
        // The next start follows the newest saved sample, as a restart does.
        start = std::max(start, newest) + 60;
        g.SetStart(start);
        ASSERT_TRUE(!kept[0].last.present || g.HistoryRows() == kSlots) << "qax -P cannot load it";
        if (full) {  // the ring would wrap and overwrite samples: start over
            for (Kept &k : kept) {
                fs::remove(dir + "/" + k.name);
                k.last = History();
            }
        }
    }
    close(watch);
    EXPECT_GE(kills, 25);  // fewer in 40 s under the sanitizers on a loaded machine
    // Timing decides how many land inside a save; a few are enough to tell.
    EXPECT_GE(insideSaves, kills / 20) << "too few kills inside a save to tell";
}

}  // namespace
