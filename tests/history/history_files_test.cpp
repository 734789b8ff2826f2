// Power history files: loading (and rejecting) the full file, saving it so
// that an interrupted save never costs the stored history, the window files,
// the published 24-hour maxima and the "-P" printout.
#include <unistd.h>

#include <cstdio>

#include "history_fixture.h"

namespace {

using histtest::HistoryTest;

const char *const kWindowFiles[] = {"/tmp/PowerHistoryLast1Hour", "/tmp/PowerHistoryLast6Hours",
                                    "/tmp/PowerHistoryLast12Hours",
                                    "/tmp/PowerHistoryLast24Hours"};
const uint32_t kSlotsPerRecord[] = {1, 6, 12, 24};

PowerHistorySample Sample(uint32_t t, uint16_t ac, uint16_t dc) {
    PowerHistorySample s;
    s.timestamp = t;
    s.minAC = static_cast<uint16_t>(ac - 10);
    s.avgAC = ac;
    s.maxAC = static_cast<uint16_t>(ac + 10);
    s.minDC = static_cast<uint16_t>(dc - 10);
    s.avgDC = dc;
    s.maxDC = static_cast<uint16_t>(dc + 10);
    return s;
}

PowerHistorySample Unknown(uint32_t t) {
    PowerHistorySample s;
    s.timestamp = t;
    s.minAC = s.avgAC = s.maxAC = s.minDC = s.avgDC = s.maxDC = 8888;
    return s;
}

class HistoryFilesTest : public HistoryTest {
  protected:
    std::string Full() const { return Root("/pstorage/power/PowerHistoryFull"); }
    static int32_t Published(const char *key) {
        int32_t value = 12345;
        EXPECT_NE(aim_config_get_int(key, &value), 0) << key;
        return value;
    }
    // Fills the table with samples ending now: slot s holds the sample
    // written (575 - s) periods ago when `next` is 0.
    void FillTable(uint16_t next) {
        uint32_t now = static_cast<uint32_t>(Now());
        for (int n = 0; n < QAX_HISTORY_SLOTS; n++) {
            int slot = (next + n) % QAX_HISTORY_SLOTS;
            powerHistory[slot] =
                Sample(now - 150 * (575 - n), static_cast<uint16_t>(1000 + n), static_cast<uint16_t>(500 + n));
        }
        nextSampleIndex = next;
    }
};

// Window files and maxima for an empty, a full and a partly unknown table.
TEST_F(HistoryFilesTest, WindowFilesAndMaxima) {
    AdvanceTo(Now() + 86400 * 2);
    struct Case {
        const char *name;
        int fill;         // 0 empty, 1 full, 2 full with an unknown hour 10 h ago
        uint16_t next;
        int32_t maxDC, maxAC;
    } cases[] = {
        {"empty", 0, 0, -1, -1},
        {"full", 1, 0, 500 + 575 + 10, 1000 + 575 + 10},
        {"full, wrapped", 1, 300, 500 + 575 + 10, 1000 + 575 + 10},
        {"unknown hour", 2, 17, -1, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        memset(powerHistory, 0, sizeof(powerHistory));
        nextSampleIndex = 0;
        if (c.fill) FillTable(c.next);
        if (c.fill == 2) {
            // Oldest-first positions 336..359: the whole of one hour.
            for (int n = 336; n < 360; n++) {
                int slot = (c.next + n) % QAX_HISTORY_SLOTS;
                powerHistory[slot] = Unknown(powerHistory[slot].timestamp);
            }
        }
        generatePowerHistoryWindowFiles();
        EXPECT_EQ(Published("QAX_max_dc_last_24hours"), c.maxDC);
        EXPECT_EQ(Published("QAX_max_ac_last_24hours"), c.maxAC);

        for (int w = 0; w < 4; w++) {
            SCOPED_TRACE(kWindowFiles[w]);
            histtest::Window win = histtest::ReadWindow(Root(kWindowFiles[w]));
            ASSERT_EQ(win.size, 386u);
            EXPECT_EQ(win.count, 24);
            const int N = static_cast<int>(kSlotsPerRecord[w]);
            for (int r = 0; r < 24; r++) {
                const PowerHistorySample &rec = win.power[r];
                // Oldest-first positions covered by this record.
                int first = 576 - 24 * N + r * N;
                int last = first + N - 1;
                bool unknownHour = c.fill == 2 && last >= 336 && first < 360;
                if (c.fill == 0 || (unknownHour && first >= 336 && last < 360)) {
                    EXPECT_TRUE(histtest::IsZero(rec)) << r;
                    continue;
                }
                // Valid positions of the record: all but the unknown ones.
                int sum = 0, count = 0;
                for (int n = first; n <= last; n++) {
                    if (c.fill == 2 && n >= 336 && n < 360) continue;
                    sum += 1000 + n;
                    count++;
                }
                int validFirst = first, validLast = last;
                while (c.fill == 2 && validFirst >= 336 && validFirst < 360) validFirst++;
                while (c.fill == 2 && validLast >= 336 && validLast < 360) validLast--;
                EXPECT_EQ(rec.avgAC, sum / count) << r;
                EXPECT_EQ(rec.avgDC, sum / count - 500) << r;
                EXPECT_EQ(rec.minAC, 1000 + validFirst - 10) << r;
                EXPECT_EQ(rec.maxAC, 1000 + validLast + 10) << r;
                EXPECT_EQ(rec.maxDC, 500 + validLast + 10) << r;
                EXPECT_EQ(rec.timestamp, Now() - 150 * (575 - last)) << r;
            }
        }
    }
}

// The 6-hour example: one record over six slots whose avgAC are 100, 200,
// (unknown), 300, (never written), 400 averages the four valid ones and
// takes the sixth slot's time; a record of only unknown slots is all zero.
TEST_F(HistoryFilesTest, WindowRecordSkipsUnknownAndEmptySlots) {
    g_traceLevel = 2;
    const uint32_t t = 1798000000;
    // nextSampleIndex 0: the last record of the 6-hour file is slots 570-575.
    powerHistory[570] = Sample(t, 100, 50);
    powerHistory[571] = Sample(t + 150, 200, 60);
    powerHistory[572] = Unknown(t + 300);
    powerHistory[573] = Sample(t + 450, 300, 70);
    powerHistory[575] = Sample(t + 750, 400, 80);
    for (int s = 564; s < 570; s++) powerHistory[s] = Unknown(t - 150 * (570 - s));
    int32_t maxDC = 7, maxAC = 7;
    // Whatever the file held before is replaced whole.
    histtest::WriteFile(Root("/tmp/PowerHistoryLast6Hours"), std::string(1000, '\xaa'));
    generatePowerHistoryFile("/tmp/PowerHistoryLast6Hours", 0, 6, &maxDC, &maxAC);
    histtest::Window win = histtest::ReadWindow(Root("/tmp/PowerHistoryLast6Hours"));
    ASSERT_EQ(win.size, 386u);
    const PowerHistorySample &rec = win.power[23];
    EXPECT_EQ(rec.avgAC, 250);
    EXPECT_EQ(rec.minAC, 90);
    EXPECT_EQ(rec.maxAC, 410);
    EXPECT_EQ(rec.avgDC, 65);
    EXPECT_EQ(rec.timestamp, t + 750);
    EXPECT_TRUE(histtest::IsZero(win.power[22]));
    EXPECT_EQ(maxDC, -1);
    EXPECT_EQ(maxAC, -1);
    const std::string path = Root("/tmp/PowerHistoryLast6Hours");
    EXPECT_EQ(TraceCount("\"generatePowerHistoryFile\": minAC=90, avgAC=250, maxAC=410, minDC=40, "
                         "avgDC=65, maxDC=90, tstamp=" + std::to_string(t + 750) +
                         ", idx=0, numsamplesforavg=4 fname=" + path),
              1);
    EXPECT_EQ(TraceCount("[Info] \"generatePowerHistoryFile\": Writing unknown data sample 22 "
                         "timestamp=" + std::to_string(t - 150) + " for file '" + path + "'"),
              1);
    EXPECT_EQ(TraceCount("\"generatePowerHistoryFile\": nextSampleIndex=0, idx=432"), 1);

    // Sums past 16 bits average correctly: 24 slots of 60000.
    for (int s = 0; s < QAX_HISTORY_SLOTS; s++) powerHistory[s] = Sample(t + 150 * s, 60000, 50000);
    generatePowerHistoryFile("/tmp/PowerHistoryLast24Hours", 0, 24, &maxDC, &maxAC);
    win = histtest::ReadWindow(Root("/tmp/PowerHistoryLast24Hours"));
    EXPECT_EQ(win.power[5].avgAC, 60000);
    EXPECT_EQ(win.power[5].avgDC, 50000);
    EXPECT_EQ(maxAC, 60010);

    // A window file that cannot be created: one unconditional line, maxima 0.
    g_traceLevel = -1;
    mkdir(Root("/tmp/PowerHistoryLast1Hour").c_str(), 0755);
    generatePowerHistoryFile("/tmp/PowerHistoryLast1Hour", 0, 1, &maxDC, &maxAC);
    EXPECT_EQ(maxDC, 0);
    EXPECT_EQ(maxAC, 0);
    EXPECT_EQ(TraceCount("[Error, couldn't open file] \"generatePowerHistoryFile\": " +
                         Root("/tmp/PowerHistoryLast1Hour")),
              1);
}

// What the loader accepts and what it rejects (leaving an empty table).
TEST_F(HistoryFilesTest, LoadChecksTheFullFile) {
    AdvanceTo(Now() + 86400);
    const uint32_t now = static_cast<uint32_t>(Now());
    PowerHistorySample table[QAX_HISTORY_SLOTS] = {};
    for (int s = 0; s < 100; s++) table[s] = Sample(now - 150 * (100 - s), 300, 200);
    table[575] = Sample(now - 100000, 1, 1);
    const std::string good = histtest::PowerImage(100, table);
    std::string future = good;
    table[99].timestamp = now + 10;
    future = histtest::PowerImage(100, table);
    table[99].timestamp = now - 150;

    struct Case {
        const char *name;
        std::string bytes;  // empty with `missing`
        bool missing;
        unsigned loaded;
        const char *error;  // expected Error line, null for none
    } cases[] = {
        {"missing", "", true, 0, nullptr},
        {"valid", good, false, 1, nullptr},
        {"trailing bytes ignored", good + std::string(100, '\x7f'), false, 1, nullptr},
        {"index 0: newest is slot 575", histtest::PowerImage(0, table), false, 1, nullptr},
        {"empty file", "", false, 0, "Reading power history data header for file '%s', error code=0"},
        {"one byte", "\x05", false, 0, "Reading power history data header for file '%s', error code=0"},
        {"9217 bytes", good.substr(0, 9217), false, 0,
         "Reading power history data for file '%s', error code=0"},
        {"index 576", histtest::PowerImage(576, table), false, 0,
         "Invalid nextSampleIndex 576 in power history file '%s'"},
        {"index 65535", histtest::PowerImage(65535, table), false, 0,
         "Invalid nextSampleIndex 65535 in power history file '%s'"},
        {"newest in the future", future, false, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FreshStart();
        std::filesystem::remove_all(Root("/pstorage/power"));
        if (!c.missing) {
            mkdir(Root("/pstorage/power").c_str(), 0700);
            histtest::WriteFile(Full(), c.bytes);
        }
        memset(powerHistory, 0x55, sizeof(powerHistory));
        EXPECT_EQ(loadPowerHistory(), c.loaded);
        if (c.loaded) {
            EXPECT_EQ(0, memcmp(powerHistory, table, sizeof(table)));
            EXPECT_EQ(nextSampleIndex, HistoryGetLE16(reinterpret_cast<const uint8_t *>(c.bytes.data())));
            EXPECT_EQ(TraceCount("Error"), 0);
            EXPECT_EQ(TraceCount("starting from scratch"), 0);
            continue;
        }
        EXPECT_EQ(nextSampleIndex, 0);
        for (int s = 0; s < QAX_HISTORY_SLOTS; s++) ASSERT_TRUE(histtest::IsZero(powerHistory[s]));
        EXPECT_EQ(TraceCount("[Info] \"loadPowerHistory\": Could not open power history file '" +
                             Full() + "', starting from scratch"),
                  1);
        EXPECT_EQ(TraceCount("Power history file dir '" + Root("/pstorage/power") +
                             "' not found, creating it"),
                  c.missing ? 1 : 0);
        if (c.error != nullptr) {
            char line[512];
            snprintf(line, sizeof(line), c.error, Full().c_str());
            EXPECT_EQ(TraceCount(std::string("[Error] \"loadPowerHistory\": ") + line), 1) << line;
        }
    }
    // The future case says why.
    EXPECT_EQ(TraceCount("[Error] \"loadPowerHistory\": Current time " + std::to_string(now) +
                         " is less than last power history sample " + std::to_string(now + 10) +
                         ". Reseting power history."),
              1);
}

// Saves replace the full file whole: a leftover temporary file from a killed
// save, or a torn temporary file, never spoils what is loaded; a save before
// the history was loaded is refused.
TEST_F(HistoryFilesTest, InterruptedSavesNeverCostTheStoredHistory) {
    const std::string tmp = Full() + ".tmp";
    // Refused before initialisation, and the stored file is left alone.
    mkdir(Root("/pstorage/power").c_str(), 0700);
    PowerHistorySample table[QAX_HISTORY_SLOTS] = {};
    table[0] = Sample(static_cast<uint32_t>(Now() - 150), 700, 600);
    const std::string stored = histtest::PowerImage(1, table);
    histtest::WriteFile(Full(), stored);
    EXPECT_EQ(savePowerHistory(), 0u);
    EXPECT_EQ(histtest::ReadFile(Full()), stored);
    EXPECT_EQ(TraceCount("[Error] \"savePowerHistory\": Power history not loaded yet"), 1);

    // A killed save left a torn temporary file: the full file still loads.
    histtest::WriteFile(tmp, stored.substr(0, 4000));
    trackPowerHistory(0, 0, 0);
    EXPECT_EQ(PowerSamples().size(), 1u);
    EXPECT_EQ(powerHistory[0].avgAC, 700);

    // The next save replaces both: no temporary file remains, and the file
    // is the table byte for byte.
    powerHistory[1] = Sample(static_cast<uint32_t>(Now()), 800, 650);
    nextSampleIndex = 2;
    g_traceLevel = 1;
    EXPECT_EQ(savePowerHistory(), 1u);
    EXPECT_FALSE(histtest::Exists(tmp));
    EXPECT_EQ(histtest::ReadFile(Full()), histtest::PowerImage(2, powerHistory));
    EXPECT_EQ(TraceCount("[Info] \"savePowerHistory\": Writing full power history file '" + Full() + "'"), 1);

    // A save that cannot even create its temporary file keeps the old file.
    mkdir(tmp.c_str(), 0700);
    nextSampleIndex = 3;
    EXPECT_EQ(savePowerHistory(), 0u);
    EXPECT_EQ(histtest::ReadFile(Full()), histtest::PowerImage(2, powerHistory));
    rmdir(tmp.c_str());

    // A full file cut short by an older, non-atomic writer is rejected
    // cleanly and tracking starts afresh.
    histtest::WriteFile(Full(), stored.substr(0, 9000));
    resetPowerHistoryState();
    trackPowerHistory(0, 0, 0);
    EXPECT_TRUE(PowerSamples().empty());
    EXPECT_EQ(TraceCount("Reading power history data for file"), 1);
}

TEST_F(HistoryFilesTest, PrintoutForDashP) {
    // No file: one line (and the directory is created as a side effect).
    testing::internal::CaptureStdout();
    printPowerHistory();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error loading power history file\n");
    EXPECT_TRUE(histtest::Exists(Root("/pstorage/power")));

    AdvanceTo(1798800000);
    PowerHistorySample table[QAX_HISTORY_SLOTS] = {};
    table[2] = Sample(1798790000, 300, 200);
    table[3] = Unknown(1798790150);
    table[4] = Sample(1798790300, 310, 210);
    table[5].timestamp = 0xFFFFFFF0u;  // printed as a signed number
    histtest::WriteFile(Full(), histtest::PowerImage(3, table));
    // Garbage in memory is replaced by what the file holds.
    memset(powerHistory, 0x33, sizeof(powerHistory));
    testing::internal::CaptureStdout();
    printPowerHistory();
    const std::string out = testing::internal::GetCapturedStdout();

    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u + 576u + 3u);
    EXPECT_EQ(lines[0], "Index   Timestamp MinDC AvgDC MaxDC MinAC AvgAC MaxAC");
    // Oldest first: slot 3 (the next slot) then 4, ..., 575, 0, 1, 2.
    EXPECT_EQ(lines[1], "    3  1798790150  8888  8888  8888  8888  8888  8888");
    EXPECT_EQ(lines[2], "    4  1798790300   200   210   220   300   310   320");
    EXPECT_EQ(lines[3], "    5         -16     0     0     0     0     0     0");
    EXPECT_EQ(lines[4], "    6           0     0     0     0     0     0     0");
    EXPECT_EQ(lines[573], "  575           0     0     0     0     0     0     0");
    EXPECT_EQ(lines[574], "    0           0     0     0     0     0     0     0");
    EXPECT_EQ(lines[576], "    2  1798790000   190   200   210   290   300   310");
    const std::string tail = "0\n\nCurrent time=1798800000, Unknown sample=8888\n\n";
    ASSERT_GT(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

}  // namespace
