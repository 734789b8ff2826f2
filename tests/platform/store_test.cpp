// Paths under QAX_ROOT; the configuration store, event sink and qax-aim. Links
// in place of the store, and failing storage, as the daemon meets them:
// tests/e2e/hostile_e2e_test.cpp.
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/safe_files.h"
#include "platform/store_db.h"
#include "process.h"
#include "test_root.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> g_reports;

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_reports.clear();
        QaxSetReportSink(
            [](const char *function, const char *text) { g_reports.push_back(std::string(function) + ": " + text); });
    }
    void TearDown() override {  // later tests expect the real clock
        QaxSetReportSink(nullptr);
        unsetenv("QAX_CLOCK");
        QaxClockReset();
    }
    std::string Db(bool persistent) const { return root_.Path() + (persistent ? "/pstorage" : "/tmp") + "/aim/aim.db"; }
    // Runs `sql` on one database with a connection of our own; the first column of every row.
    std::string Sql(bool persistent, const std::string &sql) const {
        std::string out;
        sqlite3 *db = nullptr;
        if (fs::exists(Db(persistent)) && sqlite3_open(Db(persistent).c_str(), &db) == SQLITE_OK) {
            auto row = [](void *o, int, char **values, char **) {
                return *static_cast<std::string *>(o) += values[0] ? values[0] : "", 0;
            };
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), row, &out, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        }
        sqlite3_close_v2(db);
        return out;
    }
    int Rows(bool persistent, const std::string &pattern) const {
        return std::stoi("0" + Sql(persistent, "SELECT count(*) FROM kv WHERE key LIKE '" + pattern + "'"));
    }
    // Path, size, modification time and checksum of every file under
    // pstorage, read by a child: closing any descriptor of a file would drop
    // this process's locks on it, the store's included.
    std::string PstorageState() const {
        std::string state;
        qaxtest::Run({"/usr/bin/find", root_.Path() + "/pstorage", "-type", "f", "-printf", "%p %s %T@ ", "-exec",
                      "/usr/bin/cksum", "{}", ";"},
                     {}, root_.Path() + "/state.out", &state);
        return state;
    }
    struct Result {
        int status;
        std::string out, err;
    };
    Result Aim(std::vector<std::string> args) const {
        args.insert(args.begin(), QAX_TOOLS_DIR "/qax-aim");
        Result r;
        testing::internal::CaptureStderr();  // the child writes to our standard error
        r.status = qaxtest::Run(args, {}, root_.Path() + "/aim.out", &r.out);
        r.err = testing::internal::GetCapturedStderr();
        return r;
    }
    qaxtest::TestRoot root_;
};

// (Keys kept from one process to the next: QaxAimCommands.)
TEST_F(StoreTest, VolatileWorkAndUnchangedPersistentSetsNeverWriteUnderPstorage) {
    int32_t i32 = 0;
    ASSERT_EQ(aim_config_set_int("QAX_timestamp", 7, 0), 1);
    ASSERT_EQ(aim_config_clear("QAX_timestamp"), 1);
    EXPECT_EQ(aim_config_get_int("pcap_max_aim_element_qax", &i32), 0);
    EXPECT_FALSE(fs::exists(Db(true)));  // volatile work alone does not even create it

    // The daemon's steady state: figures published every cycle, persistent
    // keys read and rewritten unchanged, qax-aim used beside it.
    ASSERT_EQ(aim_config_set_int("pcap_max_aim_element_qax", 421, 1), 1);
    const std::string before = PstorageState();
    ASSERT_NE(before, "");
    for (int round = 0; round < 40; round++) {
        for (int k = 0; k < 10; k++)
            ASSERT_EQ(aim_config_set_int64(("QAX_figure_" + std::to_string(k)).c_str(), round * 100 + k, 0), 1);
        ASSERT_EQ(aim_config_clear("QAX_figure_3") + aim_config_clear("never_set"), 2);
        EXPECT_EQ(aim_config_get_int("pcap_max_aim_element_qax", &i32), 1);
        ASSERT_EQ(aim_config_set_int("pcap_max_aim_element_qax", 421, 1), 1);
    }
    // The volatile log lives in RAM: checkpointed every 32 small pages.
    EXPECT_LE(fs::file_size(Db(false) + "-wal"), 40u * 1024);
    EXPECT_EQ(Aim({"set", "QAX_figure_0", "12"}).status + Aim({"clear", "QAX_figure_1"}).status, 0);
    EXPECT_EQ(Aim({"get", "pcap_max_aim_element_qax"}).out, "421\n");
    EXPECT_EQ(PstorageState(), before) << "a volatile operation wrote under pstorage";
}

TEST_F(StoreTest, AKeyLivesInExactlyOneDatabase) {
    // A batch remembers keys absent from the persistent database: a persistent
    // write since, by another process or this one, must not be missed.
    const struct {
        char action;  // 'v': volatile set, 'p': persistent set, 'c': clear, 'a': qax-aim set --persistent
        bool batch;
        int64_t value;
        int inPersistent, inVolatile;
    } steps[] = {{'v', false, 1, 0, 1}, {'p', false, 2, 1, 0}, {'p', false, 3, 1, 0}, {'v', false, 4, 0, 1},
                 {'c', false, 0, 0, 0}, {'p', false, 5, 1, 0}, {'c', false, 0, 0, 0}, {'v', true, 6, 0, 1},
                 {'a', false, 7, 1, 0}, {'v', true, 8, 0, 1},  {'p', false, 9, 1, 0}, {'v', true, 10, 0, 1}};
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << s.action << s.value);
        if (s.batch) aim_config_batch_begin();
        if (s.action == 'a') {
            ASSERT_EQ(Aim({"set", "key", std::to_string(s.value), "--persistent"}).status, 0);
        } else {
            ASSERT_EQ(s.action == 'c' ? aim_config_clear("key") : aim_config_set_int64("key", s.value, s.action == 'p'),
                      1);
        }
        if (s.batch) aim_config_batch_end();
        EXPECT_EQ(Rows(true, "key") * 10 + Rows(false, "key"), s.inPersistent * 10 + s.inVolatile);
        int64_t value = -1;
        EXPECT_EQ(aim_config_get_int64("key", &value), s.action == 'c' ? 0 : 1);
        EXPECT_EQ(value, s.action == 'c' ? -1 : s.value);
    }
    // In a batch this process sees each write at once, others at its end; persistent writes go on meanwhile.
    aim_config_batch_begin();
    ASSERT_EQ(aim_config_set_int64("a", 7, 0) + aim_config_set_int64("b", 8, 1) + aim_config_set_int64("a", 9, 0), 3);
    int64_t value = 0;
    EXPECT_TRUE(aim_config_get_int64("a", &value) && value == 9);
    EXPECT_EQ(Rows(false, "a") * 10 + Rows(true, "b"), 1);
    aim_config_batch_end();
    EXPECT_EQ(Sql(false, "SELECT value FROM kv WHERE key = 'a'"), "9");
}

TEST_F(StoreTest, TwoProcessesWriteAtOnce) {
    ASSERT_EQ(aim_config_set_int("shared", 0, 1), 1);  // open before the fork: the child must not use these
    auto key = [](int id, int i) { return "proc" + std::to_string(id) + "_" + std::to_string(i); };
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    const int id = child == 0 ? 1 : 0;
    close(gate[1]);
    char c;
    (void)!read(gate[0], &c, 1);  // both start when the parent has closed its end
    int failures = 0;
    for (int i = 0; i < 100; i++) {
        failures += aim_config_set_int64(key(id, i).c_str(), id * 1000 + i, i % 3 == 0) != 1;
        if (i % 5 == 0) failures += aim_config_set_int("shared", i, (i / 5) % 2) != 1;
    }
    if (child == 0) _exit(std::min(failures, 100));
    EXPECT_EQ(failures, 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failures: " << status;
    // Each key once, where it belongs, with its value: of each process's 100, 34 persistent.
    const std::string sum = "SELECT count(*) || ' ' || sum(value) FROM kv WHERE key LIKE 'proc%'";
    EXPECT_EQ(Sql(true, sum) + " / " + Sql(false, sum), "68 37366 / 132 72534");
    EXPECT_EQ(Rows(true, "shared") + Rows(false, "shared"), 1);
}

TEST_F(StoreTest, BadInputIsRefusedAndLeavesOutputsAlone) {
    const std::string longest(qaxstore::kMaxKeyLength, 'k'), tooLong = longest + "k";
    ASSERT_EQ(aim_config_set_int(longest.c_str(), 3, 0), 1);
    const char *bad[] = {nullptr, "", tooLong.c_str(), "a=b", "\xc3\xa9"};
    for (const char *key : bad) {
        int32_t i32 = 77;
        int64_t i64 = 77;
        uint8_t flag = 77;
        EXPECT_EQ(aim_config_get_int(key, &i32) + aim_config_get_int64(key, &i64) + aim_config_get_bool(key, &flag) +
                      aim_config_set_int(key, 1, 0) + aim_config_set_int64(key, 1, 1) + aim_config_set_bool(key, 1, 1) +
                      aim_config_clear(key),
                  0)
            << (key ? key : "(null)");
        EXPECT_TRUE(i32 == 77 && i64 == 77 && flag == 77);
    }
    EXPECT_EQ(aim_config_get_int(longest.c_str(), nullptr) + aim_config_get_int64(longest.c_str(), nullptr), 0);
    EXPECT_EQ(aim_config_set_int("k", 1, 2) + aim_config_set_int("k", 1, -1) + aim_config_set_bool("k", 2, 0), 0);
    // Getters answer only values that fit their type: stored, as int, as bool.
    const int64_t cases[][3] = {{0, 1, 1},         {1, 1, 1},         {2, 1, 0},        {-1, 1, 0},
                                {INT32_MIN, 1, 0}, {1LL << 31, 0, 0}, {INT64_MIN, 0, 0}};
    for (const auto &c : cases) {
        int32_t i32 = 55;
        uint8_t flag = 55;
        ASSERT_EQ(aim_config_set_int64("v", c[0], 0), 1);
        const int64_t asInt = aim_config_get_int("v", &i32), asBool = aim_config_get_bool("v", &flag);
        EXPECT_EQ(std::vector<int64_t>({asInt, i32, asBool, flag}),
                  std::vector<int64_t>({c[1], c[1] ? c[0] : 55, c[2], c[2] ? c[0] : 55}));
    }
    ASSERT_EQ(aim_config_set_int("texty", 1, 1), 1);
    Sql(true, "UPDATE kv SET value = '12abc' WHERE key = 'texty'");  // written by someone else
    int64_t i64 = 55;
    EXPECT_TRUE(aim_config_get_int64("texty", &i64) == 0 && i64 == 55);
}

// A foreign file in place of a database is left alone by readers and moved
// aside by the first writer, which reports it once. (A directory there, as the
// daemon meets it: tests/e2e/hostile_e2e_test.cpp.)
TEST_F(StoreTest, WhatIsNotADatabaseIsMovedAsideAndMadeAfresh) {
    const std::string garbage(8192, 'x'), db = Db(true);
    fs::create_directories(fs::path(db).parent_path());
    std::ofstream(db) << garbage;
    EXPECT_EQ(Aim({"get", "k"}).status, 1);
    EXPECT_EQ(qaxtest::ReadAll(db), garbage);
    int64_t value = 0;
    EXPECT_EQ(aim_config_set_int64("k", 5, 1), 1);
    EXPECT_TRUE(aim_config_get_int64("k", &value) == 1 && value == 5);
    ASSERT_EQ(g_reports.size(), 1u) << testing::PrintToString(g_reports);
    EXPECT_NE(g_reports[0].find("Store " + db + " is not a database (file is not a database); moved it aside to " + db +
                                ".damaged"),
              std::string::npos)
        << g_reports[0];
    EXPECT_EQ(qaxtest::ReadAll(db + ".damaged"), garbage);
}

TEST_F(StoreTest, EventsAreRecordedWithIdsAndBoundedValues) {
    // A power-cap record at the very end of a readable page: one byte read
    // past its two 64-byte texts faults.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    char *base =
        static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    char *unterminated = base + page - 128;
    const std::string a(64, 'A'), b(64, 'B');
    memcpy(unterminated, (a + b).data(), 128);
    char plain[128] = "300\0stale bytes after the terminator", odd[128] = "1 2", ignored[128];
    strcpy(plain + 64, "350");
    strcpy(odd + 64, "a\\b\n");
    memset(ignored, 'Z', sizeof ignored);
    const struct {
        unsigned int id;
        void *record;
    } events[] = {{115, plain}, {114, unterminated}, {116, odd}, {127, nullptr}, {130, ignored}};
    for (const auto &e : events) {
        ASSERT_EQ(sw_msg_dispatcher(e.id, e.record), 0) << e.id;
        QaxClockSleepUs(1250000);
    }
    munmap(base, 2 * page);
    EXPECT_EQ(Aim({"events"}).out,
              "2027-01-01T00:00:00.000Z 115 old=300 new=350\n"
              "2027-01-01T00:00:01.250Z 114 old=" +
                  a + " new=" + b +
                  "\n"
                  "2027-01-01T00:00:02.500Z 116 old=1\\x202 new=a\\x5cb\\x0a\n"
                  "2027-01-01T00:00:03.750Z 127\n"
                  "2027-01-01T00:00:05.000Z 130\n");  // only power-cap events carry values
}

TEST_F(StoreTest, QaxAimCommands) {
    const std::string usage = "usage: qax-aim get KEY\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;  // err: contained in stderr; empty: stderr must be empty
    } cases[] = {
        {{"set", "QAX_timestamp", "1796523000123"}, 0, "", ""},
        {{"set", "small", "-9223372036854775808", "--persistent"}, 0, "", ""},
        {{"list"}, 0, "QAX_timestamp=1796523000123\nsmall=-9223372036854775808\n", ""},
        {{"list", "QAX_"}, 0, "QAX_timestamp=1796523000123\n", ""},
        {{"get", "nothing"}, 1, "", "qax-aim: nothing: no value\n"},
        {{"set", "x", "9223372036854775808"}, 2, "", "invalid value \"9223372036854775808\""},
        {{"get", "a b"}, 2, "", "invalid key \"a\\x20b\""},
        {{"set", "x", "1", "--durable"}, 2, "", usage},
    };
    for (const auto &c : cases) {
        const Result r = Aim(c.args);
        const std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << line;
        EXPECT_EQ(r.out, c.out) << line;
        EXPECT_TRUE(c.err.empty() ? r.err.empty() : r.err.find(c.err) != std::string::npos) << line << r.err;
    }
}

TEST(PathsTest, RootPrefixesEveryAbsolutePath) {
    char out[256];
    unsetenv("QAX_ROOT");
    EXPECT_EQ(QaxPath("/tmp/qax_log/qax.lock", out, sizeof out), std::string("/tmp/qax_log/qax.lock"));
    std::string dir = fs::temp_directory_path() / "qax_paths_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    setenv("QAX_ROOT", (dir + "/fresh///").c_str(), 1);  // the root itself is created too
    const std::string want = dir + "/fresh/tmp/a";
    EXPECT_EQ(QaxPath("/tmp/a", out, want.size()), nullptr);  // what cannot be placed, and what fits
    EXPECT_EQ(QaxPath("/tmp/a", out, want.size() + 1), want);
    EXPECT_TRUE(fs::is_directory(dir + "/fresh/tmp") && fs::is_directory(dir + "/fresh/pstorage"));
    for (const char *relative : {"tmp/file", "", "./x"}) EXPECT_EQ(QaxPath(relative, out, sizeof out), nullptr);
    setenv("QAX_ROOT", "relative/dir", 1);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(QaxPath("/tmp/a", out, sizeof out) == nullptr && QaxPath("/tmp/b", out, sizeof out) == nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("QAX_ROOT must be an absolute path"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;  // once per value
    unsetenv("QAX_ROOT");
    fs::remove_all(dir);
}

}  // namespace
