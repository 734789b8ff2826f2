// Reading what the daemon wrote, for qax-export: the two stores (opened
// read-only), the newest metric log file, the window files and the full
// history files. Every read is bounded and never follows a link or waits on a
// FIFO; a missing or damaged source is reported as missing, never guessed at.
#ifndef QAX_TOOLS_EXPORT_READER_H
#define QAX_TOOLS_EXPORT_READER_H

#include <stdint.h>

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace qaxexport {

// One 16-byte history record: the timestamp and six values (power: minAC
// avgAC maxAC minDC avgDC maxDC; performance: min avg max cpu mem io).
struct Record {
    uint32_t timestamp = 0;
    std::array<uint16_t, 6> v{};
};

constexpr int kWindowRecords = 24;
constexpr int kFullSlots = 576;
constexpr uint16_t kUnknownPower = 8888;
constexpr int kSlotSeconds = 150;

struct Window {
    const char *label;  // "1h"
    const char *powerPath;
    const char *performancePath;
};
extern const std::array<Window, 4> kWindows;

// A power slot or record with data (the daemon's own rule for slots; window
// records without data are all zero).
bool PowerValid(const Record &r);
// A performance slot with data: written, and not the all-zero fill the
// daemon stores for a period without readings.
bool PerformanceValid(const Record &r);

// The newest metric log record, as far as the exporter uses it.
struct LogRecord {
    uint64_t timestampMs = 0;
    // Per power supply: avg, max, min (the file's order).
    std::vector<std::array<uint64_t, 3>> supplies;
    // Which single entries the record holds: SystemAC, SystemDC, CPU,
    // memory, cooling, effective CPU (the store gets 0 for an absent one).
    std::array<bool, 6> present{};
};

// Parses one metric log file image; false when it is not a whole, sane record.
bool ParseMetricLog(const std::string &bytes, LogRecord *out);
// Parses a window file image (count 24, 24 records).
bool ParseWindowFile(const std::string &bytes, std::vector<Record> *out);
// Parses a full history file image; the records come out oldest first.
bool ParseFullFile(const std::string &bytes, std::vector<Record> *out);

// Reads a regular file at one of the daemon's absolute paths (QAX_ROOT
// applied) without following a link: at most limit + 1 bytes, so that a file
// longer than `limit` shows as such.
bool ReadDaemonFile(const char *path, size_t limit, std::string *out);

struct Sources {
    bool volatileStore = false;
    bool persistentStore = false;
    bool events = false;
    bool metricLog = false;
    std::array<bool, 4> powerWindows{};
    std::array<bool, 4> performanceWindows{};
};

// Everything one scrape reads.
struct Outputs {
    uint64_t nowMs = 0;  // the platform clock (follows QAX_CLOCK)
    bool blade = false;
    std::optional<bool> daemonRunning;
    std::map<std::string, int64_t> keys;  // integer keys of both stores (volatile wins)
    std::map<int64_t, uint64_t> eventCounts;
    std::optional<LogRecord> log;
    std::array<std::vector<Record>, 4> powerWindows;
    std::array<std::vector<Record>, 4> performanceWindows;
    Sources ok;
};

// Counts the events of the persistent store by id. The store keeps only the
// newest events, so a long-running exporter adds the rows it has not seen yet
// to what it counted before: its counters never go down while it runs.
class EventCounter {
  public:
    // Reads the rows after the last one seen; false when the store could
    // not be read (the counts are kept).
    bool Update(sqlite3 *db, std::map<int64_t, uint64_t> *counts);

  private:
    std::mutex mutex_;
    int64_t lastRow_ = 0;
    std::map<int64_t, uint64_t> counts_;
};

// Reads everything for one exposition. Thread-safe.
Outputs ReadOutputs(EventCounter *events);

// A blade platform (ZOQ_FAMILY, as the daemon reads it): no AC figures.
bool Blade();

// 1 when a daemon process of this installation (same QAX_ROOT) runs; empty
// when /proc cannot be read.
std::optional<bool> DaemonRunning();

}  // namespace qaxexport

#endif
