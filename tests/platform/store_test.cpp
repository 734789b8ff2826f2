// Configuration store and qax-aim: durability, moves between the databases,
// several processes at once, bad input, damaged files, and the command line.
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/store_db.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *old = getenv("QAX_ROOT");
        hadRoot_ = old != nullptr;
        if (hadRoot_) oldRoot_ = old;
        std::string pattern = fs::temp_directory_path() / "qax_store_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        setenv("QAX_ROOT", root_.c_str(), 1);
        aim_config_close();
    }
    void TearDown() override {
        aim_config_close();
        if (hadRoot_) setenv("QAX_ROOT", oldRoot_.c_str(), 1);
        else unsetenv("QAX_ROOT");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::string PersistentDb() const { return root_ + "/pstorage/aim/aim.db"; }
    std::string VolatileDb() const { return root_ + "/tmp/aim/aim.db"; }

    // Rows holding `key` in a database file, read with a connection of our own.
    static int Rows(const std::string &path, const char *key) {
        if (!fs::exists(path)) return 0;
        sqlite3 *db = nullptr;
        int count = -1;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT count(*) FROM kv WHERE key = ?1", -1, &stmt,
                                   nullptr) == SQLITE_OK) {
                sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
                if (sqlite3_step(stmt) == SQLITE_ROW) count = sqlite3_column_int(stmt, 0);
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close_v2(db);
        return count;
    }

    static void Sql(const std::string &path, const char *sql) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close_v2(db);
    }

    // Size, modification time and bytes of every file under $QAX_ROOT/pstorage.
    // Closing any descriptor of a file drops all of this process's locks on
    // it, the store's included; so the bytes are read from copies made by a
    // child process.
    using Snapshot = std::map<std::string, std::tuple<uintmax_t, int64_t, std::string>>;
    Snapshot PstorageState() {
        std::string copies = root_ + "/copies" + std::to_string(snapshots_++);
        pid_t pid = fork();
        if (pid == 0) {
            std::error_code error;
            fs::copy(root_ + "/pstorage", copies, fs::copy_options::recursive, error);
            _exit(error ? 1 : 0);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        Snapshot state;
        for (const auto &entry : fs::recursive_directory_iterator(copies)) {
            if (!entry.is_regular_file()) continue;
            std::string relative = fs::relative(entry.path(), copies);
            struct stat st;
            if (stat((root_ + "/pstorage/" + relative).c_str(), &st) != 0) continue;
            int64_t mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            state[relative] = {static_cast<uintmax_t>(st.st_size), mtimeNs, ReadFile(entry.path())};
        }
        return state;
    }

    struct Run {
        int status;
        std::string out;
        std::string err;
    };
    Run Aim(const std::vector<std::string> &args) const {
        std::string outPath = root_ + "/aim.out", errPath = root_ + "/aim.err";
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
            std::vector<char *> argv;
            std::string binary = QAX_TOOLS_DIR "/qax-aim";
            argv.push_back(binary.data());
            std::vector<std::string> copy = args;
            for (std::string &a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        int status = -1;
        if (pid > 0) waitpid(pid, &status, 0);
        return Run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(outPath),
                   ReadFile(errPath)};
    }

    std::string root_, oldRoot_;
    bool hadRoot_ = false;
    int snapshots_ = 0;
};

TEST_F(StoreTest, PersistentKeysSurviveCloseAndVolatileWorkNeverTouchesPstorage) {
    // Volatile work alone does not even create the persistent database.
    ASSERT_EQ(aim_config_set_int("QAX_timestamp", 7, 0), 1);
    ASSERT_EQ(aim_config_clear("QAX_timestamp"), 1);
    int32_t i32 = 0;
    EXPECT_EQ(aim_config_get_int("pcap_max_aim_element_qax", &i32), 0);
    EXPECT_FALSE(fs::exists(PersistentDb()));

    ASSERT_EQ(aim_config_set_int("pcap_max_aim_element_qax", 420, 1), 1);
    ASSERT_EQ(aim_config_set_bool("qax_supported_0", 1, 1), 1);
    ASSERT_EQ(aim_config_set_int64("QAX_total_ac_power_in_use_Avg", 5000000000LL, 0), 1);
    aim_config_close();

    uint8_t flag = 0;
    int64_t i64 = 0;
    EXPECT_EQ(aim_config_get_int("pcap_max_aim_element_qax", &i32), 1);
    EXPECT_EQ(i32, 420);
    EXPECT_EQ(aim_config_get_bool("qax_supported_0", &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(aim_config_get_int64("QAX_total_ac_power_in_use_Avg", &i64), 1);
    EXPECT_EQ(i64, 5000000000LL);

    // The daemon's steady state: the store is open, a persistent key has just
    // changed, figures are published every cycle, persistent keys are read
    // and rewritten unchanged, and qax-aim is used beside it.
    ASSERT_EQ(aim_config_set_int("pcap_max_aim_element_qax", 421, 1), 1);
    Snapshot before = PstorageState();
    ASSERT_FALSE(before.empty());
    for (int round = 0; round < 40; round++) {
        for (int k = 0; k < 10; k++) {
            std::string key = "QAX_figure_" + std::to_string(k);
            ASSERT_EQ(aim_config_set_int64(key.c_str(), round * 100 + k, 0), 1);
        }
        ASSERT_EQ(aim_config_clear("QAX_figure_3"), 1);
        ASSERT_EQ(aim_config_clear("never_set"), 1);
        EXPECT_EQ(aim_config_get_int("pcap_max_aim_element_qax", &i32), 1);
        EXPECT_EQ(aim_config_get_int("missing_key", &i32), 0);
        ASSERT_EQ(aim_config_set_int("pcap_max_aim_element_qax", 421, 1), 1);
    }
    EXPECT_EQ(Aim({"set", "QAX_figure_0", "12"}).status, 0);
    EXPECT_EQ(Aim({"clear", "QAX_figure_1"}).status, 0);
    EXPECT_EQ(Aim({"get", "pcap_max_aim_element_qax"}).out, "421\n");
    EXPECT_TRUE(PstorageState() == before) << "a volatile operation wrote under pstorage";

    // A reboot empties /tmp: the persistent keys are all that is left.
    aim_config_close();
    fs::remove_all(root_ + "/tmp/aim");
    EXPECT_EQ(aim_config_get_int64("QAX_figure_0", &i64), 0);
    EXPECT_EQ(aim_config_get_int("pcap_max_aim_element_qax", &i32), 1);
    EXPECT_EQ(i32, 421);
}

TEST_F(StoreTest, AKeyLivesInExactlyOneDatabase) {
    const char *key = "qax_module_handle_0";
    struct Step {
        const char *action;  // "v": volatile set, "p": persistent set, "c": clear
        int64_t value;
        int inPersistent, inVolatile;
    } steps[] = {
        {"v", 1, 0, 1}, {"p", 2, 1, 0}, {"p", 3, 1, 0}, {"v", 4, 0, 1},
        {"c", 0, 0, 0}, {"p", 5, 1, 0}, {"c", 0, 0, 0}, {"c", 0, 0, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(std::string(s.action) + " " + std::to_string(s.value));
        int ok = s.action[0] == 'c' ? aim_config_clear(key)
                                    : aim_config_set_int64(key, s.value, s.action[0] == 'p');
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(Rows(PersistentDb(), key), s.inPersistent);
        EXPECT_EQ(Rows(VolatileDb(), key), s.inVolatile);
        int64_t value = -1;
        EXPECT_EQ(aim_config_get_int64(key, &value), s.action[0] == 'c' ? 0 : 1);
        if (s.action[0] != 'c') {
            EXPECT_EQ(value, s.value);
        }
    }
}

TEST_F(StoreTest, SeveralProcessesWriteAtOnce) {
    constexpr int kProcesses = 3;  // this one and two children
    constexpr int kKeys = 100;
    // The parent's connections are open before the fork: the children must
    // not use them.
    ASSERT_EQ(aim_config_set_int("shared", 0, 1), 1);

    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    auto work = [&](int id) {
        char c;
        (void)!read(gate[0], &c, 1);  // returns when the parent closes the gate
        int failures = 0;
        for (int i = 0; i < kKeys; i++) {
            std::string key = "proc" + std::to_string(id) + "_key" + std::to_string(i);
            failures += aim_config_set_int64(key.c_str(), id * 1000000 + i, i % 3 == 0) != 1;
            if (i % 5 == 0) failures += aim_config_set_int("shared", i, (i / 5) % 2) != 1;
        }
        return failures;
    };
    std::vector<pid_t> children;
    for (int id = 1; id < kProcesses; id++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            int failures = work(id);
            aim_config_close();
            _exit(failures > 100 ? 100 : failures);
        }
        children.push_back(pid);
    }
    close(gate[1]);
    EXPECT_EQ(work(0), 0);
    close(gate[0]);
    for (pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failures: " << status;
    }

    aim_config_close();
    for (int id = 0; id < kProcesses; id++) {
        for (int i = 0; i < kKeys; i++) {
            std::string key = "proc" + std::to_string(id) + "_key" + std::to_string(i);
            int64_t value = -1;
            ASSERT_EQ(aim_config_get_int64(key.c_str(), &value), 1) << key;
            EXPECT_EQ(value, id * 1000000 + i) << key;
            EXPECT_EQ(Rows(PersistentDb(), key.c_str()) + Rows(VolatileDb(), key.c_str()), 1) << key;
        }
    }
    EXPECT_EQ(Rows(PersistentDb(), "shared") + Rows(VolatileDb(), "shared"), 1);
}

TEST_F(StoreTest, BadInputIsRefusedAndLeavesOutputsAlone) {
    std::string longest(qaxstore::kMaxKeyLength, 'k');
    std::string tooLong = longest + "k";
    ASSERT_EQ(aim_config_set_int(longest.c_str(), 3, 0), 1);

    const char *badKeys[] = {nullptr, "", tooLong.c_str(), "a b", "a=b", "tab\t", "nl\n", "\xc3\xa9"};
    for (const char *key : badKeys) {
        SCOPED_TRACE(key == nullptr ? "(null)" : qaxstore::Escape(key, strlen(key)));
        int32_t i32 = 77;
        int64_t i64 = 77;
        uint8_t flag = 77;
        EXPECT_EQ(aim_config_get_int(key, &i32), 0);
        EXPECT_EQ(aim_config_get_int64(key, &i64), 0);
        EXPECT_EQ(aim_config_get_bool(key, &flag), 0);
        EXPECT_EQ(i32, 77);
        EXPECT_EQ(i64, 77);
        EXPECT_EQ(flag, 77);
        EXPECT_EQ(aim_config_set_int(key, 1, 0), 0);
        EXPECT_EQ(aim_config_set_int64(key, 1, 1), 0);
        EXPECT_EQ(aim_config_set_bool(key, 1, 1), 0);
        EXPECT_EQ(aim_config_clear(key), 0);
    }
    // Null outputs, durability other than 0/1, a flag other than 0/1.
    EXPECT_EQ(aim_config_get_int(longest.c_str(), nullptr), 0);
    EXPECT_EQ(aim_config_get_int64(longest.c_str(), nullptr), 0);
    EXPECT_EQ(aim_config_get_bool(longest.c_str(), nullptr), 0);
    EXPECT_EQ(aim_config_set_int("k", 1, 2), 0);
    EXPECT_EQ(aim_config_set_int("k", 1, -1), 0);
    EXPECT_EQ(aim_config_set_bool("k", 2, 0), 0);
    int64_t value = 0;
    EXPECT_EQ(aim_config_get_int64("k", &value), 0);
}

TEST_F(StoreTest, GettersAnswerOnlyValuesThatFitTheirType) {
    struct Case {
        int64_t stored;
        bool asInt, asBool;
    } cases[] = {
        {0, true, true},           {1, true, true},        {2, true, false},
        {-1, true, false},         {INT32_MAX, true, false}, {INT32_MIN, true, false},
        {INT32_MAX + 1LL, false, false}, {INT32_MIN - 1LL, false, false},
        {INT64_MIN, false, false}, {INT64_MAX, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_EQ(aim_config_set_int64("v", c.stored, 0), 1);
        int32_t i32 = 55;
        uint8_t flag = 55;
        int64_t i64 = 55;
        EXPECT_EQ(aim_config_get_int64("v", &i64), 1);
        EXPECT_EQ(i64, c.stored);
        EXPECT_EQ(aim_config_get_int("v", &i32), c.asInt ? 1 : 0);
        EXPECT_EQ(i32, c.asInt ? c.stored : 55);
        EXPECT_EQ(aim_config_get_bool("v", &flag), c.asBool ? 1 : 0);
        EXPECT_EQ(flag, c.asBool ? c.stored : 55);
    }

    // A value that is no integer at all (written by someone else) is no value.
    ASSERT_EQ(aim_config_set_int("texty", 1, 1), 1);
    Sql(PersistentDb(), "UPDATE kv SET value = '12abc' WHERE key = 'texty'");
    int64_t i64 = 55;
    EXPECT_EQ(aim_config_get_int64("texty", &i64), 0);
    EXPECT_EQ(i64, 55);
    std::vector<qaxstore::Entry> entries;
    ASSERT_TRUE(qaxstore::ListEntries("texty", &entries));
    EXPECT_TRUE(entries.empty());
    // ... and is replaced by the next set.
    ASSERT_EQ(aim_config_set_int("texty", 4, 1), 1);
    EXPECT_EQ(aim_config_get_int64("texty", &i64), 1);
    EXPECT_EQ(i64, 4);
}

TEST_F(StoreTest, DamagedDatabaseFilesAnswerZeroWithOneMessage) {
    const std::string garbage(8192, 'x');
    struct Case {
        const char *name;
        bool damagePersistent;
        int persistentSet, volatileSet;
    } cases[] = {
        // The published figures keep flowing beside a damaged persistent file.
        {"persistent", true, 0, 1},
        // The persistent keys keep working beside a damaged volatile file.
        {"volatile", false, 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        aim_config_close();
        fs::remove_all(root_ + "/pstorage/aim");
        fs::remove_all(root_ + "/tmp/aim");
        WriteFile(c.damagePersistent ? PersistentDb() : VolatileDb(), garbage);

        testing::internal::CaptureStderr();
        int64_t value = 0;
        for (int i = 0; i < 5; i++) {
            EXPECT_EQ(aim_config_get_int64("absent", &value), 0);
            EXPECT_EQ(aim_config_set_int64("p", 10 + i, 1), c.persistentSet);
            EXPECT_EQ(aim_config_set_int64("v", 20 + i, 0), c.volatileSet);
        }
        EXPECT_EQ(aim_config_get_int64(c.persistentSet ? "p" : "v", &value), 1);
        EXPECT_EQ(value, c.persistentSet ? 14 : 24);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(c.damagePersistent ? "aim store: persistent database" : "aim store: volatile database"),
                  std::string::npos)
            << err;
        EXPECT_EQ(ReadFile(c.damagePersistent ? PersistentDb() : VolatileDb()), garbage);
    }
}

TEST_F(StoreTest, QaxAimCommands) {
    const std::string usage = "usage: qax-aim get KEY\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string errPart;  // contained in stderr; empty: stderr must be empty
    } cases[] = {
        {{"set", "QAX_timestamp", "1796523000123"}, 0, "", ""},
        {{"set", "pcap_max_aim_element_qax", "-42", "--persistent"}, 0, "", ""},
        {{"set", "big", "9223372036854775807"}, 0, "", ""},
        {{"set", "small", "-9223372036854775808", "--persistent"}, 0, "", ""},
        {{"get", "QAX_timestamp"}, 0, "1796523000123\n", ""},
        {{"get", "pcap_max_aim_element_qax"}, 0, "-42\n", ""},
        {{"get", "small"}, 0, "-9223372036854775808\n", ""},
        {{"list"}, 0,
         "QAX_timestamp=1796523000123\nbig=9223372036854775807\n"
         "pcap_max_aim_element_qax=-42\nsmall=-9223372036854775808\n",
         ""},
        {{"list", "QAX_"}, 0, "QAX_timestamp=1796523000123\n", ""},
        {{"list", "nothing"}, 0, "", ""},
        {{"clear", "big"}, 0, "", ""},
        {{"clear", "big"}, 0, "", ""},
        {{"get", "big"}, 1, "", "qax-aim: big: no value\n"},
        // Bad numbers.
        {{"set", "x", "9223372036854775808"}, 2, "", "invalid value \"9223372036854775808\""},
        {{"set", "x", "-9223372036854775809"}, 2, "", "invalid value"},
        {{"set", "x", "12abc"}, 2, "", "invalid value"},
        {{"set", "x", ""}, 2, "", "invalid value"},
        {{"set", "x", "-"}, 2, "", "invalid value"},
        {{"set", "x", " 1"}, 2, "", "invalid value"},
        {{"set", "x", "0x10"}, 2, "", "invalid value"},
        // Bad usage.
        {{}, 2, "", usage},
        {{"frobnicate"}, 2, "", usage},
        {{"get"}, 2, "", usage},
        {{"get", "a", "b"}, 2, "", usage},
        {{"set", "x"}, 2, "", usage},
        {{"set", "x", "1", "--durable"}, 2, "", usage},
        {{"set", "x", "1", "--persistent", "extra"}, 2, "", usage},
        {{"clear"}, 2, "", usage},
        {{"list", "a", "b"}, 2, "", usage},
        {{"events", "x"}, 2, "", usage},
        {{"set", "a=b", "1"}, 2, "", "invalid key \"a=b\""},
        {{"get", "a b"}, 2, "", "invalid key \"a\\x20b\""},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Run r = Aim(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        if (c.errPart.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.errPart), std::string::npos) << r.err;
        }
    }
    // --persistent decides where the key lives.
    EXPECT_EQ(Rows(PersistentDb(), "pcap_max_aim_element_qax"), 1);
    EXPECT_EQ(Rows(VolatileDb(), "QAX_timestamp"), 1);
    EXPECT_EQ(Aim({"--help"}).out.rfind(usage, 0), 0u);
}

}  // namespace
