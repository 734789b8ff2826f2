// qax-export's view of the daemon's files and stores; see reader.h.
#include "tools/export/reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/safe_files.h"

namespace qaxexport {

const std::array<Window, 4> kWindows = {{
    {"1h", "/tmp/PowerHistoryLast1Hour", "/tmp/PowerPerformanceLast1Hour"},
    {"6h", "/tmp/PowerHistoryLast6Hours", "/tmp/PowerPerformanceLast6Hours"},
    {"12h", "/tmp/PowerHistoryLast12Hours", "/tmp/PowerPerformanceLast12Hours"},
    {"24h", "/tmp/PowerHistoryLast24Hours", "/tmp/PowerPerformanceLast24Hours"},
}};

namespace {

constexpr size_t kRecordSize = 16;
constexpr size_t kWindowFileSize = 2 + kWindowRecords * kRecordSize;
constexpr size_t kFullFileSize = 2 + kFullSlots * kRecordSize;
// The largest metric log file: 255 entries in each supply array, all six
// single entries, 255 inlet sensors and the performance section.
constexpr size_t kMaxLogSize =
    1 + 255 * 24 + 1 + 255 * 24 + 6 * 25 + 1 + 1 + 8 + 1 + 1 + 255 * 68 + 100;

// Keys the exposition uses: published figures (volatile), power-cap limits
// and firmware presence (persistent).
constexpr const char *kKeys[] = {
    "QAX_total_ac_power_in_use_Avg",
    "QAX_total_ac_power_in_use_Min",
    "QAX_total_ac_power_in_use_Max",
    "QAX_total_dc_power_in_use_Avg",
    "QAX_total_dc_power_in_use_Min",
    "QAX_total_dc_power_in_use_Max",
    "QAX_consumptionCPU_Avg",
    "QAX_consumptionCPU_Min",
    "QAX_consumptionCPU_Max",
    "QAX_consumptionMemory_Avg",
    "QAX_consumptionMemory_Min",
    "QAX_consumptionMemory_Max",
    "QAX_consumptionCooling_Avg",
    "QAX_consumptionCooling_Min",
    "QAX_consumptionCooling_Max",
    "QAX_timestamp",
    "QAX_performanceSystem",
    "QAX_performanceCPU",
    "QAX_performanceMem",
    "QAX_performanceIO",
    "QAX_max_dc_last_24hours",
    "QAX_max_ac_last_24hours",
    "pcap_max_aim_element_qax",
    "pcap_min_aim_element_qax",
    "pcap_soft_min_aim_element_qax",
    "qax_supported_0",
};

uint64_t Le(const unsigned char *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

Record DecodeRecord(const unsigned char *p) {
    Record r;
    r.timestamp = static_cast<uint32_t>(Le(p, 4));
    for (int i = 0; i < 6; i++) r.v[i] = static_cast<uint16_t>(Le(p + 4 + 2 * i, 2));
    return r;
}

// Reads at most limit + 1 bytes: a longer file shows as one byte too many.
bool ReadFd(int fd, size_t limit, std::string *out) {
    out->clear();
    char buf[4096];
    while (out->size() <= limit) {
        ssize_t n = read(fd, buf, std::min(sizeof buf, limit + 1 - out->size()));
        if (n < 0) return false;
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
    }
    return true;
}

// A file of the checked directory `dir` (one of the daemon's own).
bool ReadInDir(const char *dir, const char *name, size_t limit, std::string *out) {
    int dirfd = QaxOpenDir(dir, 0, 0);
    if (dirfd < 0) return false;
    int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadFd(fd, limit, out);
    close(fd);
    return ok;
}

// "file:" URI of a path, so that a QAX_ROOT holding '?', '#' or '%' stays a path.
std::string FileUri(const std::string &path) {
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (isalnum(c) || strchr("/-._~", c) != nullptr) {
            uri += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        }
    }
    return uri + "?mode=ro";
}

// Opens one of the stores read-only: only a regular file with one link in a
// trusted directory (the checks the store itself makes), never created.
sqlite3 *OpenStore(const char *dir) {
    int dirfd = QaxOpenDir(dir, 0, 0);
    if (dirfd < 0) return nullptr;
    struct stat st;
    if (fstatat(dirfd, "aim.db", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_nlink != 1)
        return nullptr;
    char buffer[4096];
    const std::string daemonPath = std::string(dir) + "/aim.db";
    const char *full = QaxPath(daemonPath.c_str(), buffer, sizeof buffer);
    if (full == nullptr) return nullptr;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(FileUri(full).c_str(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    // A scrape may wait a little for a checkpoint, never long.
    sqlite3_busy_timeout(db, 250);
    return db;
}

// The integer values of kKeys in `db`; keys already in `out` are kept (the
// volatile store is read first and wins, as for the store's own getters).
bool ReadKeys(sqlite3 *db, std::map<std::string, int64_t> *out) {
    std::string sql = "SELECT key, value FROM kv WHERE typeof(value) = 'integer' AND key IN (";
    for (size_t i = 0; i < sizeof kKeys / sizeof kKeys[0]; i++) sql += i ? ",?" : "?";
    sql += ")";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return false;
    for (size_t i = 0; i < sizeof kKeys / sizeof kKeys[0]; i++)
        sqlite3_bind_text(st, static_cast<int>(i + 1), kKeys[i], -1, SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const unsigned char *key = sqlite3_column_text(st, 0);
        if (key != nullptr)
            out->emplace(reinterpret_cast<const char *>(key), sqlite3_column_int64(st, 1));
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

bool ReadLog(LogRecord *out) {
    std::string last;
    if (!ReadInDir("/tmp/qax_log", "qax_last.log", 1, &last) || last.size() != 1) return false;
    const unsigned index = static_cast<unsigned char>(last[0]);
    if (index >= 120) return false;
    const std::string name = "qax_" + std::to_string(index) + ".log";
    std::string bytes;
    return ReadInDir("/tmp/qax_log", name.c_str(), kMaxLogSize, &bytes) &&
           ParseMetricLog(bytes, out);
}

}  // namespace

bool PowerValid(const Record &r) {
    if (r.v[4] == kUnknownPower) return false;
    if (r.timestamp != 0) return true;
    for (uint16_t x : r.v)
        if (x != 0) return true;
    return false;
}

bool PerformanceValid(const Record &r) {
    if (r.timestamp == 0) return false;
    for (uint16_t x : r.v)
        if (x != 0) return true;
    return false;
}

bool ParseMetricLog(const std::string &bytes, LogRecord *out) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const size_t size = bytes.size();
    size_t at = 0;
    auto need = [&](size_t n) { return size - at >= n; };
    LogRecord rec;
    for (int array = 0; array < 2; array++) {
        if (!need(1)) return false;
        const size_t count = p[at++];
        if (!need(24 * count)) return false;
        for (size_t i = 0; array == 0 && i < count; i++)
            rec.supplies.push_back(
                {Le(p + at + 24 * i, 8), Le(p + at + 24 * i + 8, 8), Le(p + at + 24 * i + 16, 8)});
        at += 24 * count;
    }
    for (int entry = 0; entry < 6; entry++) {
        if (!need(1) || p[at] > 1 || !need(1 + 24 * p[at])) return false;
        rec.present[entry] = p[at] == 1;
        at += 1 + 24 * p[at];
    }
    if (!need(1 + 1 + 8 + 1 + 1)) return false;
    rec.timestampMs = Le(p + at + 2, 8);
    at += 11;
    const size_t sensors = p[at++];
    if (!need(68 * sensors)) return false;
    at += 68 * sensors;
    if (at != size) {  // the performance section, whole or not at all
        for (int entry = 0; entry < 4; entry++) {
            if (!need(1) || p[at] > 1 || !need(1 + 24 * p[at])) return false;
            at += 1 + 24 * p[at];
        }
    }
    if (at != size) return false;
    *out = std::move(rec);
    return true;
}

bool ParseWindowFile(const std::string &bytes, std::vector<Record> *out) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    if (bytes.size() != kWindowFileSize || Le(p, 2) != kWindowRecords) return false;
    out->clear();
    for (int i = 0; i < kWindowRecords; i++) out->push_back(DecodeRecord(p + 2 + kRecordSize * i));
    return true;
}

bool ParseFullFile(const std::string &bytes, std::vector<Record> *out) {
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    if (bytes.size() < kFullFileSize) return false;  // the daemon ignores bytes after the table
    const size_t next = Le(p, 2);
    if (next >= kFullSlots) return false;
    out->clear();
    for (size_t i = 0; i < kFullSlots; i++)
        out->push_back(DecodeRecord(p + 2 + kRecordSize * ((next + i) % kFullSlots)));
    return true;
}

bool ReadDaemonFile(const char *path, size_t limit, std::string *out) {
    char buffer[4096];
    const char *full = QaxPath(path, buffer, sizeof buffer);
    if (full == nullptr) return false;
    int fd = QaxOpenRegularForRead(full, 1);
    if (fd < 0) return false;
    bool ok = ReadFd(fd, limit, out);
    close(fd);
    return ok;
}

bool EventCounter::Update(sqlite3 *db, std::map<int64_t, uint64_t> *counts) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt *st = nullptr;
    bool ok = sqlite3_prepare_v2(db, "SELECT max(id) FROM events", -1, &st, nullptr) == SQLITE_OK &&
              sqlite3_step(st) == SQLITE_ROW;
    const int64_t newest = ok ? sqlite3_column_int64(st, 0) : 0;
    sqlite3_finalize(st);
    if (!ok) return false;
    if (newest < lastRow_) {  // a new database (the old one was moved aside): count afresh
        lastRow_ = 0;
        counts_.clear();
    }
    std::map<int64_t, uint64_t> counted = counts_;
    int64_t last = lastRow_;
    ok = sqlite3_prepare_v2(db, "SELECT id, event FROM events WHERE id > ?1 ORDER BY id", -1, &st,
                            nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int64(st, 1, lastRow_);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            last = sqlite3_column_int64(st, 0);
            counted[sqlite3_column_int64(st, 1)]++;
        }
        ok = rc == SQLITE_DONE;
    }
    sqlite3_finalize(st);
    if (!ok) return false;
    counts_ = std::move(counted);
    lastRow_ = last;
    *counts = counts_;
    return true;
}

std::optional<bool> DaemonRunning() {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return std::nullopt;
    bool found = false;
    while (struct dirent *e = readdir(proc)) {
        char *end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const std::string path = std::string("/proc/") + e->d_name + "/comm";
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char comm[32];
        ssize_t n = read(fd, comm, sizeof comm);
        close(fd);
        if (n == 4 && memcmp(comm, "qax\n", 4) == 0 &&
            QaxProcessSharesRoot(static_cast<int>(pid))) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

bool Blade() {
    const char *family = getenv("ZOQ_FAMILY");
    return family != nullptr && (strcmp(family, "blade") == 0 || strcmp(family, "iteblade") == 0);
}

Outputs ReadOutputs(EventCounter *events) {
    Outputs o;
    o.nowMs = QaxClockWallMs();
    o.blade = Blade();
    o.daemonRunning = DaemonRunning();

    if (sqlite3 *db = OpenStore("/tmp/aim")) {
        o.ok.volatileStore = ReadKeys(db, &o.keys);
        sqlite3_close(db);
    }
    if (sqlite3 *db = OpenStore("/pstorage/aim")) {
        o.ok.persistentStore = ReadKeys(db, &o.keys);
        o.ok.events = events->Update(db, &o.eventCounts);
        sqlite3_close(db);
    }
    LogRecord log;
    if (ReadLog(&log)) {
        o.ok.metricLog = true;
        o.log = std::move(log);
    }
    std::string bytes;
    for (size_t w = 0; w < kWindows.size(); w++) {
        o.ok.powerWindows[w] = ReadDaemonFile(kWindows[w].powerPath, kWindowFileSize, &bytes) &&
                               ParseWindowFile(bytes, &o.powerWindows[w]);
        o.ok.performanceWindows[w] =
            ReadDaemonFile(kWindows[w].performancePath, kWindowFileSize, &bytes) &&
            ParseWindowFile(bytes, &o.performanceWindows[w]);
        if (!o.ok.powerWindows[w]) o.powerWindows[w].clear();
        if (!o.ok.performanceWindows[w]) o.performanceWindows[w].clear();
    }
    return o;
}

}  // namespace qaxexport
