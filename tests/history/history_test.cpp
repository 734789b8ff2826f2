// Power and performance histories checked against the readings they were fed, and their files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/trace.h"
#include "history/history_internal.h"
#include "process.h"
#include "test_root.h"

namespace {

using Sample = PowerHistorySample;
using Ints = std::vector<long long>;
using qaxtest::ReadAll;
namespace fs = std::filesystem;

// Virtual clock start plus a margin, so uptime is past 600 s at the first sample.
const uint64_t kT0 = 1798761600 + 1000;

void WriteFile(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }
Ints Values(const Sample &s) { return {s.timestamp, s.minAC, s.avgAC, s.maxAC, s.minDC, s.avgDC, s.maxDC}; }
Ints Values(const PowerPerformanceSample &s) { return {s.timestamp, s.min, s.avg, s.max, s.cpu, s.mem, s.io}; }
Sample Make(uint32_t t, int ac, int dc) {
    return {t, uint16_t(ac - 10), uint16_t(ac), uint16_t(ac + 10), uint16_t(dc - 10), uint16_t(dc), uint16_t(dc + 10)};
}
Sample Unknown(uint32_t t) { return {t, 8888, 8888, 8888, 8888, 8888, 8888}; }
bool IsUnknown(const Sample &s) { return Values(s) == Values(Unknown(s.timestamp)); }
// Appends minimum, integer average and maximum of `v` to `out`.
void AddStats(Ints *out, const Ints &v) {
    long long sum = 0;
    for (long long x : v) sum += x;
    out->insert(out->end(), {*std::min_element(v.begin(), v.end()), sum / (long long)v.size(),
                             *std::max_element(v.begin(), v.end())});
}

// A window file's 24 records, oldest first (its size and count checked).
template <class T>
std::vector<T> Window(const std::string &path, void (*decode)(const uint8_t *, T *)) {
    std::string b = ReadAll(path);
    std::vector<T> out(24);
    EXPECT_EQ(b.size(), 386u) << path;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(b.data());
    EXPECT_TRUE(b.size() != 386u || HistoryGetLE16(p) == 24) << path;
    for (int i = 0; b.size() == 386u && i < 24; i++) decode(p + 2 + 16 * i, &out[i]);
    return out;
}

// A full file: index, then the 576 slots.
std::string Image(uint16_t index, const Sample *table) {
    std::string bytes(QAX_HISTORY_FULL_FILE_SIZE, '\0');
    uint8_t *p = reinterpret_cast<uint8_t *>(&bytes[0]);
    HistoryPutLE16(p, index);
    for (int i = 0; i < QAX_HISTORY_SLOTS; i++) EncodePowerHistorySample(&table[i], p + 2 + 16 * i);
    return bytes;
}

// Written slots of the power table, oldest first.
std::vector<Sample> Samples() {
    std::vector<Sample> out;
    for (int n = 0; n < QAX_HISTORY_SLOTS; n++)
        if (powerHistory[(nextSampleIndex + n) % 576].timestamp != 0)
            out.push_back(powerHistory[(nextSampleIndex + n) % 576]);
    return out;
}
uint64_t Now() { return QaxClockWallMs() / 1000; }
void AdvanceTo(uint64_t s) {
    if (s * 1000 > QaxClockWallMs()) QaxClockSleepUs((s * 1000 - QaxClockWallMs()) * 1000);
}

class History : public ::testing::Test {
  protected:
    void SetUp() override { Fresh(); }
    // A new process with no stored history.
    void Fresh() {
        g_traceLevel = 0;
        g_traceFileIndex = 0;
        resetPowerHistoryState();
        resetPowerPerformanceState();
        std::remove(Full().c_str());
        std::remove((Full() + ".damaged").c_str());
        fs::create_directories(Root("/tmp/qax_trace"));
        fs::create_directories(Root("/pstorage/power"));
        WriteFile(Root("/tmp/qax_trace/qax_trace_log_0.txt"), "");
        readings_.clear();
    }
    std::string Root(const std::string &path) const { return root_.Path() + path; }
    std::string Full() const { return Root("/pstorage/power/PowerHistoryFull"); }
    int TraceCount(const std::string &text) const {
        std::istringstream lines(ReadAll(Root("/tmp/qax_trace/qax_trace_log_0.txt")));
        int n = 0;
        for (std::string line; std::getline(lines, line);) n += line.find(text) != std::string::npos;
        return n;
    }
    // One power reading at t seconds, the clock moved there; stored saturated to 16 bits.
    void Feed(uint64_t t, uint64_t ac, uint64_t dc) {
        AdvanceTo(t);
        trackPowerHistory(t * 1000, ac, dc);
        readings_.push_back({(long long)t, std::min(65535ll, (long long)ac), std::min(65535ll, (long long)dc)});
    }
    std::vector<Ints> readings_;  // time, AC, DC
    qaxtest::TestRoot root_;
};

// Saved at the first sample after 600 s of uptime, then at most every 600 s (a failed save
// makes its directory again when it went); every sample matches its readings over a day that wraps the ring; a
// restart loads the file, the downtime becomes unknown samples, tracking goes on.
TEST_F(History, SavesAndRestartContinuesTheHistory) {
    g_traceLevel = 1;
    trackPowerHistory(0, 0, 0);
    EXPECT_EQ(TraceCount("[Info] \"trackPowerHistory\": Initializing power hisotry"), 1);
    std::vector<int> saved;
    uint64_t t = kT0;
    for (int sample = 1; sample <= 10; sample++) {
        for (size_t count = Samples().size(); Samples().size() == count; t += 30) Feed(t, 100 + t % 7, 90);
        std::string b = ReadAll(Full());
        saved.push_back(b.size() == 9218 ? HistoryGetLE16(reinterpret_cast<const uint8_t *>(b.data())) : -1);
        if (sample == 5) fs::remove_all(Root("/pstorage/power"));  // the save at 9 makes it again
    }
    EXPECT_EQ(saved, (std::vector<int>{1, 1, 1, 1, 5, -1, -1, -1, 9, 9}));
    EXPECT_EQ(TraceCount("[Error]"), 0);
    // 25 hours more (sums and some readings past 16 bits, each beside an invalid DC 0 one): the ring wraps.
    const uint32_t first = Samples().front().timestamp;
    g_traceLevel = 0;                                                                // the trace keeps the errors
    for (uint64_t ms : {500ull, 0xFFFFFFFFull * 1000}) trackPowerHistory(ms, 9, 9);  // no time, or past 32 bits
    uint32_t seed = 12345;
    for (int i = 0; i < 25 * 120; i++, t += 30) {
        seed = seed * 1103515245u + 12345u;
        const uint64_t ac = 30000 + (seed >> 16) % 40000;
        Feed(t, ac, ac - (seed >> 8) % 50);
        trackPowerHistory((t + 10) * 1000, 1, 0);
    }
    std::vector<Sample> before = Samples();
    ASSERT_EQ(before.size(), 576u);
    EXPECT_EQ(nextSampleIndex, ((before.back().timestamp - first) / 150 + 1) % 576);
    EXPECT_EQ(TraceCount("[Error] \"trackPowerHistory\": Invalid power sample"), 2 + 25 * 120);
    EXPECT_EQ(TraceCount("System clock was set backwards"), 0);
    ASSERT_EQ(savePowerHistory(), 1u);  // as on SIGTERM

    resetPowerHistoryState();
    AdvanceTo(t + 1800);
    trackPowerHistory(0, 0, 0);
    ASSERT_EQ(Samples().size(), before.size());
    EXPECT_EQ(0, memcmp(Samples().data(), before.data(), before.size() * sizeof(Sample)));
    for (uint64_t u = t + 1800; u <= t + 2100; u += 30) Feed(u, 400, 300);
    std::vector<Sample> after = Samples();
    ASSERT_GE(after.back().timestamp, before.back().timestamp + 1800);
    for (size_t i = 1; i < after.size(); i++) EXPECT_EQ(after[i].timestamp, after[i - 1].timestamp + 150) << i;
    const size_t next = after.size() - (after.back().timestamp - before.back().timestamp) / 150;  // after the stop
    EXPECT_TRUE(IsUnknown(after[next]));
    // Every known sample holds min, integer average and max of its readings in (end - 150, end].
    for (const Sample &s : after) {
        Ints ac, dc, want = {s.timestamp};
        for (const Ints &r : readings_)
            if (r[0] + 150 > s.timestamp && r[0] <= s.timestamp) ac.push_back(r[1]), dc.push_back(r[2]);
        if (IsUnknown(s)) continue;
        ASSERT_FALSE(ac.empty()) << "no readings for the sample at " << s.timestamp;
        AddStats(&want, ac);
        AddStats(&want, dc);
        EXPECT_EQ(Values(s), want);
    }
}

// The clock set back to t after the last reading L moves the history back by L + 30 - t
// (the new reading follows the previous one on the grid; a jump forward is a gap).
TEST_F(History, ClockSetBackAndForward) {
    struct Case {
        const char *name;
        uint64_t back;
        bool keepsAll;
    } cases[] = {// t = L - back, or 500 s after the epoch
                 {"same timestamp", 0, true},
                 {"beyond 16 bits", 20 * 3600, true},
                 {"near the epoch", 0, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        const uint64_t t0 = Now() + 1000;
        trackPowerHistory(0, 0, 0);
        // 13 samples; the open period holds AC 165, 166 and 167.
        for (int i = 0; i < 68; i++) Feed(t0 + 30 * i, 100 + i, 90 + i);
        const uint64_t L = t0 + 30 * 67, t = c.keepsAll ? L - c.back : 500, adj = L + 30 - t;
        std::vector<Sample> before = Samples();
        ASSERT_EQ(before.size(), 13u);
        trackPowerHistory(t * 1000, 500, 400);
        EXPECT_EQ(
            TraceCount("System clock was set backwards, adjusting powerHistory by " + std::to_string(adj) + " seconds"),
            1);
        std::vector<Sample> after = Samples();
        for (int i = 13; i < QAX_HISTORY_SLOTS; i++) ASSERT_EQ(Values(powerHistory[i]), Ints(7, 0)) << i;
        // Samples that would fall before the epoch are dropped, the others move.
        ASSERT_TRUE(c.keepsAll ? after.size() == before.size() : after.size() < before.size());
        for (size_t i = 0; i < after.size(); i++) {
            const Sample &b = before[before.size() - after.size() + i];
            EXPECT_TRUE(after[i].timestamp == b.timestamp - adj && after[i].avgAC == b.avgAC) << i;
        }
        // The open period goes on and closes 30 s later with one more reading.
        trackPowerHistory((t + 30) * 1000, 500, 400);
        EXPECT_EQ(Values(Samples().back()), Ints({(long long)t + 30, 165, (165 + 166 + 167 + 1000) / 5, 500, 155,
                                                  (155 + 156 + 157 + 800) / 5, 400}));
    }
}

// Window files and maxima for empty, full and partly unknown tables (sums past 16 bits).
TEST_F(History, WindowFilesAndMaxima) {
    AdvanceTo(Now() + 86400 * 2);
    const int slotsPerRecord[] = {1, 6, 12, 24};
    const char *files[] = {"/tmp/PowerHistoryLast1Hour", "/tmp/PowerHistoryLast6Hours", "/tmp/PowerHistoryLast12Hours",
                           "/tmp/PowerHistoryLast24Hours"};
    // fill: 0 empty, 1 full, 2 full but oldest-first positions 336-359 unknown and 432-433 never written.
    struct Case {
        int fill;
        uint16_t next;
        int32_t maxDC, maxAC;
    } cases[] = {{0, 0, -1, -1}, {1, 0, 50585, 60585}, {1, 300, 50585, 60585}, {2, 17, -1, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fill * 1000 + c.next);
        memset(powerHistory, 0, sizeof(powerHistory));
        nextSampleIndex = c.next;
        auto unknown = [&](long long n) { return c.fill == 2 && n >= 336 && n < 360; };
        auto empty = [&](long long n) { return c.fill == 0 || (c.fill == 2 && (n == 432 || n == 433)); };
        for (int n = 0; n < QAX_HISTORY_SLOTS; n++) {
            uint32_t t = uint32_t(Now() - 150 * (575 - n));
            if (!empty(n)) powerHistory[(c.next + n) % 576] = unknown(n) ? Unknown(t) : Make(t, 60000 + n, 50000 + n);
        }
        generatePowerHistoryWindowFiles();
        int32_t maxDC = 7, maxAC = 7;
        EXPECT_TRUE(aim_config_get_int("QAX_max_dc_last_24hours", &maxDC) && maxDC == c.maxDC) << maxDC;
        EXPECT_TRUE(aim_config_get_int("QAX_max_ac_last_24hours", &maxAC) && maxAC == c.maxAC) << maxAC;
        for (int w = 0; w < 4; w++) {
            std::vector<Sample> win = Window(Root(files[w]), DecodePowerHistorySample);
            const int N = slotsPerRecord[w];
            for (int r = 0; r < 24; r++) {
                // Valid oldest-first positions of the record; its time is its last slot's.
                const long long end = 576 - 24 * N + (r + 1) * N - 1;
                Ints valid, want(7, 0), avg;
                for (long long n = end - N + 1; n <= end; n++)
                    if (!unknown(n) && !empty(n)) valid.push_back(n);
                if (!valid.empty()) {
                    AddStats(&avg, valid);
                    want = {(long long)(Now() - 150 * (575 - end))};
                    for (long long base : {60000, 50000})  // AC, then DC
                        want.insert(want.end(), {base + valid.front() - 10, base + avg[1], base + valid.back() + 10});
                }
                EXPECT_EQ(Values(win[r]), want) << files[w] << " record " << r;
            }
        }
    }
}

// What the loader accepts, and what it rejects (e.g. a file cut short) with an empty table.
TEST_F(History, LoadChecksTheFullFile) {
    AdvanceTo(Now() + 86400);
    const uint32_t now = uint32_t(Now());
    Sample table[QAX_HISTORY_SLOTS] = {};
    for (int s = 0; s < 100; s++) table[s] = Make(now - 150 * (100 - s), 300, 200);
    table[575] = Make(now - 100000, 11, 11);
    const std::string good = Image(100, table);
    table[99].timestamp = now + 10;
    const std::string future = Image(100, table);
    table[99].timestamp = now - 150;
    const std::string cases[][2] = {
        // file, the Error line (none when it loads)
        {good, ""},
        {Image(0, table), ""},  // the newest sample in slot 575
        {"\x05", "Reading power history data header for file '%s', error code=0"},
        {good.substr(0, 9217), "Reading power history data for file '%s', error code=0"},
        {Image(576, table), "Invalid nextSampleIndex 576 in power history file '%s'"},
        {future, "Current time " + std::to_string(now) + " is less than last power history sample " +
                     std::to_string(now + 10) + ". Reseting power history."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c[1]);
        Fresh();
        WriteFile(Full(), c[0]);
        memset(powerHistory, 0x55, sizeof(powerHistory));
        const bool valid = c[1].empty();
        EXPECT_EQ(loadPowerHistory(), valid ? 1u : 0u);
        EXPECT_EQ(0, memcmp(powerHistory, valid ? table : std::vector<Sample>(576).data(), sizeof(table)));
        EXPECT_EQ(nextSampleIndex, valid ? HistoryGetLE16(reinterpret_cast<const uint8_t *>(c[0].data())) : 0);
        EXPECT_EQ(TraceCount("[Info] \"loadPowerHistory\": Could not open power history file '" + Full() +
                             "', starting from scratch"),
                  valid ? 0 : 1);
        char line[512];
        snprintf(line, sizeof(line), c[1].c_str(), Full().c_str());
        EXPECT_EQ(TraceCount(std::string("[Error] \"loadPowerHistory\": ") + line), valid ? 0 : 1) << line;
        // Loading changes nothing ("-P" is a reader); a file that could not be loaded is kept aside for a
        // person by the first save, not overwritten.
        EXPECT_EQ(ReadAll(Full()), c[0]);
        trackPowerHistory(0, 0, 0);
        EXPECT_EQ(savePowerHistory(), 1u);
        EXPECT_EQ(ReadAll(Full() + ".damaged"), valid ? "" : c[0]);
        EXPECT_EQ(TraceCount("Kept unloadable history file '" + Full() + "' as '" + Full() + ".damaged'"),
                  valid ? 0 : 1);
    }
}

TEST_F(History, PrintoutForDashP) {
    AdvanceTo(1798800000);
    Sample table[QAX_HISTORY_SLOTS] = {};
    table[2] = Make(1798790000, 300, 200);
    table[3] = Unknown(1798790150);
    table[5].timestamp = 0xFFFFFFF0u;  // printed as a signed number
    WriteFile(Full(), Image(3, table));
    memset(powerHistory, 0x33, sizeof(powerHistory));  // replaced by the file
    testing::internal::CaptureStdout();
    printPowerHistory();
    // Oldest first: slot 3 (the next one), 4, ..., 575, 0, 1, 2.
    const std::string zero = "           0     0     0     0     0     0     0\n";
    std::string want =
        "Index   Timestamp MinDC AvgDC MaxDC MinAC AvgAC MaxAC\n"
        "    3  1798790150  8888  8888  8888  8888  8888  8888\n    4" +
        zero + "    5         -16     0     0     0     0     0     0\n";
    char index[16];
    for (int slot = 6; slot < 578; slot++) snprintf(index, sizeof(index), "%5d", slot % 576), want += index + zero;
    want += "    2  1798790000   190   200   210   290   300   310\n\nCurrent time=1798800000, Unknown sample=8888\n\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
}

// The performance twin: zeros count, a gap is a zero sample that windows count as valid,
// no maxima; its file loads as saved.
TEST_F(History, PerformanceTwin) {
    trackPowerPerformance(0, 0, 0, 0, 0);
    const uint64_t sys[5] = {10, 0, 40, 100, 7};
    for (int i = 0; i < 5; i++)
        AdvanceTo(kT0 + 30 * i), trackPowerPerformance(kT0 + 30 * i, sys[i], 10 * i, 3, 100 - i);
    AdvanceTo(kT0 + 450);
    trackPowerPerformance(kT0 + 450, 60, 60, 60, 60);  // 180 s past the open period's end
    std::vector<PowerPerformanceSample> win =
        Window(Root("/tmp/PowerPerformanceLast1Hour"), DecodePowerPerformanceSample);
    EXPECT_EQ(Values(win[22]), Ints({kT0 + 120, 0, 31, 100, 20, 3, 98}));
    EXPECT_EQ(Values(win[23]), Ints({kT0 + 420, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Values(win[21]), Ints(7, 0));
    for (const char *longer : {"6Hours", "12Hours", "24Hours"})  // written beside it
        EXPECT_EQ(ReadAll(Root("/tmp/PowerPerformanceLast") + longer).size(), 386u) << longer;
    int32_t max = 0;
    EXPECT_EQ(aim_config_get_int("QAX_max_ac_last_24hours", &max), 0);
    ASSERT_EQ(savePowerPerformance(), 1u);
    EXPECT_EQ(loadPowerPerformance(), 1u);
}

}  // namespace
