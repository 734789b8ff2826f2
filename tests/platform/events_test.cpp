// Event sink: what sw_msg_dispatcher records, read back through the store and
// through "qax-aim events".
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "platform/platform.h"
#include "platform/store_db.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kStartS = 1796523000;  // 2026-12-06T02:10:00Z

class EventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {"QAX_ROOT", "QAX_CLOCK", "QAX_CLOCK_START"}) {
            const char *old = getenv(name);
            saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
        }
        std::string pattern = fs::temp_directory_path() / "qax_events_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        setenv("QAX_ROOT", root_.c_str(), 1);
        setenv("QAX_CLOCK", "virtual", 1);
        setenv("QAX_CLOCK_START", std::to_string(kStartS).c_str(), 1);
        QaxClockReset();
        aim_config_close();
    }
    void TearDown() override {
        aim_config_close();
        for (const Saved &s : saved_) {
            if (s.had) setenv(s.name, s.value.c_str(), 1);
            else unsetenv(s.name);
        }
        QaxClockReset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    // "qax-aim events" output, or the exit status when it fails.
    std::string AimEvents() const {
        std::string outPath = root_ + "/events.out";
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || dup2(out, 1) < 0) _exit(127);
            execl(QAX_TOOLS_DIR "/qax-aim", "qax-aim", "events", static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return "exit status " + std::to_string(status);
        std::ifstream in(outPath);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    struct Saved {
        const char *name;
        bool had;
        std::string value;
    };
    std::vector<Saved> saved_;
    std::string root_;
};

// A power-cap record whose end touches an unreadable page: reading one byte
// past its 128 bytes faults.
class GuardedRecord {
public:
    GuardedRecord() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<char *>(p);
        if (base_ != nullptr) mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedRecord() {
        if (base_ != nullptr) munmap(base_, 2 * page_);
    }
    char *record() { return base_ == nullptr ? nullptr : base_ + page_ - 2 * qaxstore::kEventTextSize; }

private:
    size_t page_;
    char *base_;
};

TEST_F(EventsTest, RecordsTimeIdAndValues) {
    GuardedRecord guarded;
    char *unterminated = guarded.record();
    ASSERT_NE(unterminated, nullptr);
    memset(unterminated, 'A', qaxstore::kEventTextSize);
    memset(unterminated + qaxstore::kEventTextSize, 'B', qaxstore::kEventTextSize);

    char plain[128] = {};
    strcpy(plain, "300");
    strcpy(plain + 4, "stale bytes after the terminator");
    strcpy(plain + 64, "350");
    char odd[128] = {};
    strcpy(odd, "1 2");
    strcpy(odd + 64, "a\\b\n");
    char ignored[128];
    memset(ignored, 'Z', sizeof ignored);

    struct Case {
        unsigned int id;
        void *record;
        bool hasValues;
        std::string oldValue, newValue;
        std::string line;  // as "qax-aim events" prints it, after the time
    } cases[] = {
        {115, plain, true, "300", "350", "115 old=300 new=350"},
        {114, unterminated, true, std::string(64, 'A'), std::string(64, 'B'),
         "114 old=" + std::string(64, 'A') + " new=" + std::string(64, 'B')},
        {116, odd, true, "1 2", "a\\b\n", "116 old=1\\x202 new=a\\x5cb\\x0a"},
        {116, nullptr, false, "", "", "116"},
        {127, nullptr, false, "", "", "127"},
        {130, ignored, false, "", "", "130"},  // only power-cap events carry values
    };
    std::string expected;
    int64_t ms = kStartS * 1000;
    for (const Case &c : cases) {
        ASSERT_EQ(sw_msg_dispatcher(c.id, c.record), 0) << c.id;
        char stamp[64];
        snprintf(stamp, sizeof stamp, "2026-12-06T02:10:%02d.%03dZ ",
                 static_cast<int>((ms / 1000) % 60), static_cast<int>(ms % 1000));
        expected += stamp + c.line + "\n";
        QaxClockSleepUs(1250000);  // the next event 1.25 s later
        ms += 1250;
    }

    std::vector<qaxstore::Event> events;
    ASSERT_TRUE(qaxstore::ReadEvents(&events));
    ASSERT_EQ(events.size(), std::size(cases));
    for (size_t i = 0; i < events.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].timeMs, kStartS * 1000 + static_cast<int64_t>(i) * 1250);
        EXPECT_EQ(events[i].id, cases[i].id);
        EXPECT_EQ(events[i].hasOld, cases[i].hasValues);
        EXPECT_EQ(events[i].hasNew, cases[i].hasValues);
        EXPECT_EQ(events[i].oldValue, cases[i].oldValue);
        EXPECT_EQ(events[i].newValue, cases[i].newValue);
    }
    EXPECT_EQ(AimEvents(), expected);
}

TEST_F(EventsTest, KeepsOnlyTheNewestEvents) {
    // Seed the table up to the limit in one transaction: one fsync, not a thousand.
    ASSERT_EQ(sw_msg_dispatcher(117, nullptr), 0);
    aim_config_close();
    {
        std::string path = root_ + "/pstorage/aim/aim.db";
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        std::string sql = "BEGIN; ";
        for (int64_t i = 2; i <= qaxstore::kMaxEvents; i++)
            sql += "INSERT INTO events(time_ms, event) VALUES(" + std::to_string(i) + ", 117); ";
        sql += "COMMIT;";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    for (unsigned int id : {118u, 131u})
        ASSERT_EQ(sw_msg_dispatcher(id, nullptr), 0);

    std::vector<qaxstore::Event> events;
    ASSERT_TRUE(qaxstore::ReadEvents(&events));
    ASSERT_EQ(static_cast<int64_t>(events.size()), qaxstore::kMaxEvents);
    EXPECT_EQ(events.front().timeMs, 3);  // the two oldest are gone
    EXPECT_EQ(events[events.size() - 2].id, 118);
    EXPECT_EQ(events.back().id, 131);
}

TEST_F(EventsTest, AnUnusableDatabaseRefusesTheEvent) {
    std::string path = root_ + "/pstorage/aim/aim.db";
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << std::string(4096, '\xff');
    testing::internal::CaptureStderr();
    EXPECT_NE(sw_msg_dispatcher(115, nullptr), 0);
    EXPECT_NE(sw_msg_dispatcher(127, nullptr), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("aim store: persistent database"), std::string::npos) << err;
    EXPECT_EQ(AimEvents(), "exit status 256");
}

}  // namespace
