// The formatter, trace lines with their rotation and gating, and the lock
// file between processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <string>

#include "daemon/format.h"
#include "daemon/trace.h"
#include "platform/platform.h"
#include "test_root.h"

namespace {

using qaxtest::ReadAll;

// The daemon's formatter against the C library, at every buffer size that
// cuts the text; formats it does not handle must be left to the library.
int Ours(char *buffer, size_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = QaxFormat(buffer, size, format, args);
    va_end(args);
    return n;
}

TEST(Format, MatchesTheCLibrary) {
#define CASE(...)                                                                    \
    do {                                                                             \
        char want[128], got[128];                                                    \
        int wantLength = snprintf(want, sizeof(want), __VA_ARGS__);                  \
        for (size_t size = 0; size <= static_cast<size_t>(wantLength) + 1; size++) { \
            memset(got, '#', sizeof(got));                                           \
            ASSERT_EQ(Ours(got, size, __VA_ARGS__), wantLength) << #__VA_ARGS__;     \
            if (size > 0) {                                                          \
                snprintf(want, size, __VA_ARGS__);                                   \
                ASSERT_STREQ(got, want) << #__VA_ARGS__ << " size " << size;         \
            }                                                                        \
            ASSERT_EQ(got[size], '#') << "wrote past the buffer";                    \
        }                                                                            \
    } while (0)
    CASE("plain text, no conversion");
    CASE("%d: %d\n", 3, -250);
    CASE("%i|%i|%u", INT_MIN, INT_MAX, UINT_MAX);
    CASE("%lld %llu %ld %lu", LLONG_MIN, ULLONG_MAX, LONG_MIN, ULONG_MAX);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"  // values wider than hh and h on purpose
    CASE("%hhu %hhd %hu %hd", 300, 200, 70000, 40000);
#pragma GCC diagnostic pop
    CASE("%d%02d%02d-%02d%02d%02d", 2027, 1, 9, 0, 5, 59);
    CASE("[%5i] [%-5i] [%05d] [%3d] [%02d]", 42, 42, -42, 12345, -3);
    CASE("'%s' [%5s] [%-5s] [%2s] %%%s%%", "file", "ab", "ab", "long", "");
#undef CASE
    char buffer[8];
    // Widths up to 4096 are ours.
    EXPECT_EQ(Ours(buffer, sizeof(buffer), "%4096d", 1), 4096);
    for (const char *format : {"%x", "%5.2f", "%p", "%c", "%.*s", "% d", "%+d", "%5%", "%zu", "%0s", "%", "%4097d"})
        EXPECT_EQ(Ours(buffer, sizeof(buffer), format, 1), -1) << format;
}

class TraceLock : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir(At("tmp/qax_trace").c_str(), 0755);
        mkdir(At("tmp/qax_log").c_str(), 0755);
        g_traceFileIndex = 0;
        g_traceLevel = 0;
    }
    std::string At(const std::string &rel) const { return root_.Path() + "/" + rel; }
    std::string TraceFile(int n) const { return At("tmp/qax_trace/qax_trace_log_" + std::to_string(n) + ".txt"); }
    qaxtest::TestRoot root_;
};

TEST_F(TraceLock, LineFormatsCarryStampTypeFunctionAndMessage) {
    WriteTraceLog("main", "Log", "hello");
    WriteTraceLog(nullptr, "ERROR", "dropped");
    WriteTraceLog("main", "WARN", nullptr);
    WriteTraceLog("main", "Log", "ends in newline\n");
    // The virtual clock starts at a known instant: 2027-01-01 00:00:00 UTC.
    EXPECT_EQ(ReadAll(TraceFile(0)),
              "20270101-000000 [Log] \"main\": hello\n20270101-000000 [ERROR] Empty msg\n"
              "20270101-000000 [WARN] Empty msg\n20270101-000000 [Log] \"main\": ends in newline\n\n");
}

// A file exactly at the limit is still appended to; above it, the other of
// the two files is emptied and written.
TEST_F(TraceLock, RotatesOnlyAboveTheLimitAndAlternatesBetweenTwoFiles) {
    const struct {
        int file;  // filled with `size` bytes of 'x' first
        size_t size;
        const char *line;
        uint32_t index;
        bool emptied;
    } steps[] = {
        {0, QAX_TRACE_FILE_LIMIT, "a", 0, false}, {1, 100, "b", 1, true}, {1, QAX_TRACE_FILE_LIMIT + 1, "c", 0, true}};
    for (const auto &s : steps) {
        std::ofstream(TraceFile(s.file), std::ios::binary | std::ios::trunc) << std::string(s.size, 'x');
        WriteTraceLog("f", "Log", s.line);
        EXPECT_EQ(g_traceFileIndex, s.index) << s.line;
        const std::string written = ReadAll(TraceFile(s.index));
        EXPECT_NE(written.find(std::string("\"f\": ") + s.line), std::string::npos) << s.line;
        EXPECT_EQ(written.find('x') == std::string::npos, s.emptied) << s.line;
    }
}

// A line of level t is written at trace levels t and above; QAX_LOG_ALWAYS at every level.
TEST_F(TraceLock, LevelGatesEachThreshold) {
    const int32_t levels[4] = {QAX_LOG_ALWAYS, 0, 1, 2};
    for (int32_t level = -1; level <= 2; level++) {
        unlink(TraceFile(0).c_str());
        g_traceLevel = level;
        std::string want;
        for (int t = 0; t < 4; t++) {
            QaxLog(QAX_LOG_TRACE, levels[t], "f", "Log", "t%d", t);
            if (t <= level + 1) want += "20270101-000000 [Log] \"f\": t" + std::to_string(t) + "\n";
        }
        EXPECT_EQ(ReadAll(TraceFile(0)), want) << "trace level " << level;
    }
}

// A lock a reader that died left behind is waited for, traced once after a
// minute, and taken once it goes (every wait is 10 s of the virtual clock).
int g_waits = 0;
TEST_F(TraceLock, LockLeftBehindIsWaitedForAndTracedOnce) {
    std::ofstream(At("tmp/qax_log/qax.lock")) << '\x02';
    QaxSetLockWaitHook([] {
        if (++g_waits == 15) unlink((std::string(getenv("QAX_ROOT")) + "/tmp/qax_log/qax.lock").c_str());
    });
    WaitValueLock();
    QaxSetLockWaitHook(nullptr);
    EXPECT_EQ(g_waits, 15);
    EXPECT_EQ(qaxtest::Count(ReadAll(TraceFile(0)), "held for more than a minute"), 1);
    EXPECT_EQ(ReadAll(At("tmp/qax_log/qax.lock")), std::string(1, '\x01'));
}

// Missing directories: the lock and the writer report it and go on (the lock
// must not wait for ever).
TEST_F(TraceLock, MissingDirectoriesAreReported) {
    rmdir(At("tmp/qax_log").c_str());
    WaitValueLock();
    WriteUCToFile("/tmp/no_such_dir/x.log", 5);
    const std::string trace = ReadAll(TraceFile(0));
    EXPECT_NE(trace.find("[ERROR] \"WaitValueLock\": Can't open lock file"), std::string::npos);
    EXPECT_NE(trace.find("[ERROR] \"WriteUCToFile\": Can't write 5 to /tmp/no_such_dir/x.log"), std::string::npos);
}

}  // namespace
