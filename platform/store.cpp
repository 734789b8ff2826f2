// Configuration store on SQLite: a persistent database under /pstorage and a
// volatile one under /tmp, each with one table kv(key, value). A key lives in
// exactly one of them. Published figures are set every cycle and go to the
// volatile database, so nothing they do may write to the flash: a volatile
// set or clear only reads the persistent database unless the key really is
// there, and every write to the persistent database is followed by a
// checkpoint, so that later readers find the write-ahead log fully copied
// back and need not update its shared-memory index either.
//
// Writers serialise on a write transaction of the volatile database (cheap,
// it lives in RAM); the persistent write happens inside it. The lock order is
// always volatile before persistent, and nothing that holds the persistent
// write lock waits for the volatile one, so there is no deadlock.
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/store_db.h"

namespace qaxstore {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr char kPersistentPath[] = "/pstorage/aim/aim.db";
constexpr char kVolatilePath[] = "/tmp/aim/aim.db";

// Statements are cached by the address of these texts.
constexpr char kSqlGet[] = "SELECT value FROM kv WHERE key = ?1";
constexpr char kSqlPut[] =
    "INSERT INTO kv(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value";
constexpr char kSqlDelete[] = "DELETE FROM kv WHERE key = ?1";
constexpr char kSqlList[] = "SELECT key, value FROM kv ORDER BY key";
constexpr char kSqlBegin[] = "BEGIN IMMEDIATE";
constexpr char kSqlCommit[] = "COMMIT";
constexpr char kSqlRollback[] = "ROLLBACK";
constexpr char kSqlEventInsert[] =
    "INSERT INTO events(time_ms, event, old_value, new_value) VALUES(?1, ?2, ?3, ?4)";
constexpr char kSqlEventTrim[] = "DELETE FROM events WHERE id <= ?1";
constexpr char kSqlEventList[] =
    "SELECT time_ms, event, old_value, new_value FROM events ORDER BY id";

constexpr char kSchemaKv[] =
    "CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL) "
    "WITHOUT ROWID";
constexpr char kSchemaEvents[] =
    "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, "
    "event INTEGER NOT NULL, old_value TEXT, new_value TEXT)";

enum class Kind { kPersistent, kVolatile };
enum class OpenMode {
    kExisting,  // use the file if it is there; never create anything
    kCreate,    // create directories, file and tables as needed
};

bool HardError(int rc) {
    int primary = rc & 0xFF;
    return primary != SQLITE_BUSY && primary != SQLITE_LOCKED;
}

// Creates every missing directory above `path`.
bool MakeParents(const std::string &path, std::string *error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create " + dir + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

// One connection with its statements, opened lazily and kept until closed.
class Db {
public:
    explicit Db(Kind kind) : kind_(kind) {}
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // True when usable. With kExisting a missing file answers false quietly
    // (missing() tells), anything else that fails is reported.
    bool Open(OpenMode mode);
    bool missing() const { return missing_; }
    sqlite3 *handle() const { return db_; }

    // Cached for the connection's life; null (reported) when it cannot be prepared.
    sqlite3_stmt *Statement(const char *sql);

    // Reports a failed operation once per outage, and drops the connection
    // when the error is not a passing lock conflict, so that the next use
    // opens the file afresh.
    void Failed(int rc, const char *what);
    void Succeeded() { reported_ = false; }
    void Close();
    void Reset() {
        Close();
        reported_ = false;
    }

private:
    bool Configure(OpenMode mode);
    bool Exec(const char *sql, const char *what);
    void Report(const std::string &message);

    Kind kind_;
    sqlite3 *db_ = nullptr;
    bool schema_ = false;  // tables known to exist
    bool missing_ = false;
    bool reported_ = false;
    std::string path_;
    struct Cached {
        const char *sql;
        sqlite3_stmt *stmt;
    };
    Cached cache_[12] = {};
};

void Db::Report(const std::string &message) {
    if (reported_) return;
    reported_ = true;
    fprintf(stderr, "aim store: %s database %s: %s\n",
            kind_ == Kind::kPersistent ? "persistent" : "volatile",
            path_.empty() ? (kind_ == Kind::kPersistent ? kPersistentPath : kVolatilePath)
                          : path_.c_str(),
            message.c_str());
}

bool Db::Open(OpenMode mode) {
    missing_ = false;
    if (db_ != nullptr) {
        if (schema_ || mode == OpenMode::kExisting) return true;
        // Opened for reading only so far: make sure the tables exist.
        if (Exec(kSchemaKv, "create table") &&
            (kind_ == Kind::kVolatile || Exec(kSchemaEvents, "create table"))) {
            schema_ = true;
            return true;
        }
        return false;
    }

    char buffer[PATH_MAX];
    const char *path =
        QaxPath(kind_ == Kind::kPersistent ? kPersistentPath : kVolatilePath, buffer, sizeof buffer);
    if (path == nullptr) {
        Report("no usable path (QAX_ROOT)");
        return false;
    }
    path_ = path;
    if (mode == OpenMode::kExisting) {
        // An empty file is what a crash during creation leaves: nothing in it.
        struct stat st;
        if (stat(path, &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                missing_ = true;
            } else {
                Report(strerror(errno));
            }
            return false;
        }
        if (st.st_size == 0) {
            missing_ = true;
            return false;
        }
    } else {
        std::string error;
        if (!MakeParents(path_, &error)) {
            Report(error);
            return false;
        }
    }

    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (mode == OpenMode::kCreate) flags |= SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(path, &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        Report(db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    if (!Configure(mode)) {
        Close();
        return false;
    }
    return true;
}

bool Db::Configure(OpenMode mode) {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // Closing must never write: the last connection would otherwise copy the
    // log back into the database (flash writes), and a child closing what it
    // inherited across fork must leave the files alone.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // The file is untrusted: no schema trickery with side effects.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);

    // Switching a database that is already in WAL mode writes nothing.
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    bool wal = rc == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr &&
               strcmp(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "wal") == 0;
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) {
        Report(sqlite3_errmsg(db_));
        return false;
    }
    if (!wal) {
        Report("cannot switch to WAL mode");
        return false;
    }
    // A persistent set that answered success survives a power cut; the
    // volatile database lives in RAM and needs no sync at all.
    if (!Exec(kind_ == Kind::kPersistent ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF",
              "configure"))
        return false;
    // A few dozen keys fit in a handful of pages: a small page cache keeps
    // the daemon's memory small (the default allows 2 MiB per connection).
    if (!Exec("PRAGMA cache_size=-64", "configure")) return false;
    schema_ = false;
    if (mode == OpenMode::kCreate) {
        if (!Exec(kSchemaKv, "create table")) return false;
        if (kind_ == Kind::kPersistent && !Exec(kSchemaEvents, "create table")) return false;
        schema_ = true;
    }
    return true;
}

bool Db::Exec(const char *sql, const char *what) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Report(std::string(what) + ": " + sqlite3_errmsg(db_));
        return false;
    }
    return true;
}

sqlite3_stmt *Db::Statement(const char *sql) {
    if (db_ == nullptr) return nullptr;
    Cached *free_slot = nullptr;
    for (Cached &c : cache_) {
        if (c.sql == sql) return c.stmt;
        if (c.sql == nullptr && free_slot == nullptr) free_slot = &c;
    }
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        Failed(rc, "prepare");
        return nullptr;
    }
    if (free_slot == nullptr) {  // more statements than slots: a programming error
        sqlite3_finalize(stmt);
        Report("statement cache full");
        return nullptr;
    }
    free_slot->sql = sql;
    free_slot->stmt = stmt;
    return stmt;
}

void Db::Failed(int rc, const char *what) {
    Report(std::string(what) + ": " +
           (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
    if (HardError(rc)) Close();
}

void Db::Close() {
    for (Cached &c : cache_) {
        sqlite3_finalize(c.stmt);
        c = Cached{};
    }
    if (db_ != nullptr) {
        if (sqlite3_get_autocommit(db_) == 0)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    schema_ = false;
}

// Resets a statement after use, however the use ended.
class Use {
public:
    explicit Use(sqlite3_stmt *stmt) : stmt_(stmt) {}
    ~Use() {
        if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;

private:
    sqlite3_stmt *stmt_;
};

// The process's connections. Never destroyed: connections are left to the
// kernel at exit, which is safe because nothing is pending between calls.
struct Registry {
    std::mutex mutex;
    pid_t pid = 0;
    Db persistent{Kind::kPersistent};
    Db volatile_db{Kind::kVolatile};
};

Registry &TheRegistry();

// No store call may be running in another thread while the process forks:
// the child then finds every connection idle and can drop it cleanly.
void AtForkPrepare() { TheRegistry().mutex.lock(); }
void AtForkRelease() { TheRegistry().mutex.unlock(); }

Registry &TheRegistry() {
    static Registry *registry = [] {
        Registry *r = new Registry;
        pthread_atfork(AtForkPrepare, AtForkRelease, AtForkRelease);
        return r;
    }();
    return *registry;
}

// Holds the store lock; in a child process, first drops the connections
// inherited from the parent (closing writes nothing, see Configure).
class Session {
public:
    Session() : registry_(TheRegistry()), lock_(registry_.mutex) {
        pid_t pid = getpid();
        if (registry_.pid != pid) {
            registry_.persistent.Close();
            registry_.volatile_db.Close();
            registry_.pid = pid;
        }
    }
    Db &persistent() { return registry_.persistent; }
    Db &volatile_db() { return registry_.volatile_db; }

private:
    Registry &registry_;
    std::lock_guard<std::mutex> lock_;
};

enum class Found { kNo, kYes, kError };

// Looks a key up. `*row` tells whether a row exists at all, `*value` is set
// only when it holds an integer (anything else counts as no value).
Found Lookup(Db &db, const char *key, int64_t *value, bool *row = nullptr) {
    sqlite3_stmt *stmt = db.Statement(kSqlGet);
    if (stmt == nullptr) return Found::kError;
    Found result;
    int rc;
    {
        Use use(stmt);
        sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
        rc = sqlite3_step(stmt);
        if (row != nullptr) *row = rc == SQLITE_ROW;
        if (rc == SQLITE_ROW) {
            if (sqlite3_column_type(stmt, 0) == SQLITE_INTEGER) {
                *value = sqlite3_column_int64(stmt, 0);
                result = Found::kYes;
            } else {
                result = Found::kNo;
            }
        } else {
            result = rc == SQLITE_DONE ? Found::kNo : Found::kError;
        }
    }
    if (result == Found::kError) {
        db.Failed(rc, "read");
    } else {
        db.Succeeded();
    }
    return result;
}

// Runs a statement that returns no rows, with up to two bound values.
bool Run(Db &db, const char *sql, const char *key, const int64_t *value) {
    sqlite3_stmt *stmt = db.Statement(sql);
    if (stmt == nullptr) return false;
    int rc;
    {
        Use use(stmt);
        if (key != nullptr) sqlite3_bind_text(stmt, 1, key, -1, SQLITE_STATIC);
        if (value != nullptr) sqlite3_bind_int64(stmt, 2, *value);
        rc = sqlite3_step(stmt);
    }
    if (rc != SQLITE_DONE) {
        db.Failed(rc, sql == kSqlBegin ? "lock" : "write");
        return false;
    }
    db.Succeeded();
    return true;
}

// Copies the log back into the database right away, so that readers never
// have to record a read position in the shared-memory index.
void Checkpoint(Db &db) {
    sqlite3_wal_checkpoint_v2(db.handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

enum class Lock { kHeld, kBusy, kUnusable };

// Takes the writers' lock: a write transaction of the volatile database.
Lock LockWriters(Db &vol) {
    if (!vol.Open(OpenMode::kCreate)) return Lock::kUnusable;
    sqlite3_stmt *stmt = vol.Statement(kSqlBegin);
    if (stmt == nullptr) return Lock::kUnusable;
    int rc;
    {
        Use use(stmt);
        rc = sqlite3_step(stmt);
    }
    if (rc == SQLITE_DONE) return Lock::kHeld;
    vol.Failed(rc, "lock");
    return HardError(rc) ? Lock::kUnusable : Lock::kBusy;
}

bool UnlockWriters(Db &vol, bool commit) {
    if (vol.handle() == nullptr) return false;
    if (commit && Run(vol, kSqlCommit, nullptr, nullptr)) return true;
    if (vol.handle() != nullptr && sqlite3_get_autocommit(vol.handle()) == 0)
        Run(vol, kSqlRollback, nullptr, nullptr);
    return false;
}

// Removes `key` from the persistent database if it is there. Reads first so
// that the common case (not there) writes nothing to the flash.
bool RemovePersistent(Db &per, const char *key) {
    if (!per.Open(OpenMode::kExisting)) return per.missing();
    int64_t ignored;
    bool row = false;
    if (Lookup(per, key, &ignored, &row) == Found::kError) return false;
    if (!row) return true;
    bool ok = Run(per, kSqlDelete, key, nullptr);
    if (ok) Checkpoint(per);
    return ok;
}

int SetVolatile(Session &s, const char *key, int64_t value) {
    Db &vol = s.volatile_db();
    if (LockWriters(vol) != Lock::kHeld) return 0;
    if (!Run(vol, kSqlPut, key, &value)) {
        UnlockWriters(vol, false);
        return 0;
    }
    // A persistent copy that cannot be read cannot be seen either, and the
    // getters look at the volatile database first: the new value stands.
    RemovePersistent(s.persistent(), key);
    return UnlockWriters(vol, true) ? 1 : 0;
}

int SetPersistent(Session &s, const char *key, int64_t value) {
    Db &per = s.persistent();
    Db &vol = s.volatile_db();
    // A busy writers' lock is a refusal; an unusable volatile database holds
    // nothing a getter could see, so the persistent value may still be set.
    Lock lock = LockWriters(vol);
    if (lock == Lock::kBusy) return 0;
    bool held = lock == Lock::kHeld;
    if (!per.Open(OpenMode::kCreate)) {
        if (held) UnlockWriters(vol, false);
        return 0;
    }
    int64_t current = 0;
    Found found = Lookup(per, key, &current);
    bool ok = found != Found::kError;
    if (ok && (found == Found::kNo || current != value)) {
        ok = Run(per, kSqlPut, key, &value);
        if (ok) Checkpoint(per);
    }
    if (!held) return ok ? 1 : 0;
    if (ok) ok = Run(vol, kSqlDelete, key, nullptr);
    return UnlockWriters(vol, ok) && ok ? 1 : 0;
}

int SetValue(const char *key, int64_t value, int persistent) {
    if (!KeyValid(key) || (persistent != 0 && persistent != 1)) return 0;
    Session s;
    return persistent ? SetPersistent(s, key, value) : SetVolatile(s, key, value);
}

Found Get(const char *key, int64_t *value) {
    if (value == nullptr || !KeyValid(key)) return Found::kNo;
    Session s;
    // Volatile first: it is where the published figures live, and it wins
    // over a stale persistent copy left by an interrupted move.
    Found result = Found::kNo;
    if (s.volatile_db().Open(OpenMode::kExisting)) {
        result = Lookup(s.volatile_db(), key, value);
        if (result == Found::kYes) return result;
    }
    if (s.persistent().Open(OpenMode::kExisting)) result = Lookup(s.persistent(), key, value);
    return result;
}

bool ListInto(Db &db, bool persistent, const char *prefix, size_t prefixLength,
              std::vector<Entry> *out) {
    if (!db.Open(OpenMode::kExisting)) return db.missing();
    sqlite3_stmt *stmt = db.Statement(kSqlList);
    if (stmt == nullptr) return false;
    int rc;
    {
        Use use(stmt);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (sqlite3_column_type(stmt, 0) != SQLITE_TEXT ||
                sqlite3_column_type(stmt, 1) != SQLITE_INTEGER)
                continue;
            const char *key = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
            size_t length = static_cast<size_t>(sqlite3_column_bytes(stmt, 0));
            if (key == nullptr || length < prefixLength ||
                (prefixLength > 0 && memcmp(key, prefix, prefixLength) != 0))
                continue;
            out->push_back(Entry{std::string(key, length), sqlite3_column_int64(stmt, 1), persistent});
        }
    }
    if (rc != SQLITE_DONE) {
        db.Failed(rc, "read");
        return false;
    }
    db.Succeeded();
    return true;
}

std::string ColumnText(sqlite3_stmt *stmt, int column, bool *present) {
    *present = sqlite3_column_type(stmt, column) != SQLITE_NULL;
    if (!*present) return std::string();
    const unsigned char *text = sqlite3_column_text(stmt, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char *>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

}  // namespace

bool KeyValid(const char *key) {
    if (key == nullptr) return false;
    size_t length = strnlen(key, kMaxKeyLength + 1);
    if (length == 0 || length > kMaxKeyLength) return false;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(key[i]);
        if (c < '!' || c > '~' || c == '=') return false;
    }
    return true;
}

std::string Escape(const char *text, size_t length) {
    std::string out;
    if (text == nullptr) return out;
    out.reserve(length);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= '!' && c <= '~' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

bool ListEntries(const char *prefix, std::vector<Entry> *out) {
    if (out == nullptr) return false;
    out->clear();
    size_t prefixLength = prefix != nullptr ? strlen(prefix) : 0;
    bool ok;
    {
        Session s;
        // Volatile rows first so that the stable sort keeps them ahead of a
        // persistent duplicate, which is then dropped (as the getters do).
        ok = ListInto(s.volatile_db(), false, prefix, prefixLength, out);
        ok = ListInto(s.persistent(), true, prefix, prefixLength, out) && ok;
    }
    std::stable_sort(out->begin(), out->end(),
                     [](const Entry &a, const Entry &b) { return a.key < b.key; });
    out->erase(std::unique(out->begin(), out->end(),
                           [](const Entry &a, const Entry &b) { return a.key == b.key; }),
               out->end());
    return ok;
}

bool RecordEvent(uint64_t timeMs, unsigned int id, const char *oldValue, size_t oldLength,
                 const char *newValue, size_t newLength) {
    Session s;
    Db &per = s.persistent();
    if (!per.Open(OpenMode::kCreate)) return false;
    sqlite3_stmt *insert = per.Statement(kSqlEventInsert);
    sqlite3_stmt *trim = per.Statement(kSqlEventTrim);
    if (insert == nullptr || trim == nullptr) return false;
    int rc;
    {
        Use use(insert);
        sqlite3_bind_int64(insert, 1,
                           timeMs > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                                                     : static_cast<int64_t>(timeMs));
        sqlite3_bind_int64(insert, 2, id);
        if (oldValue != nullptr)
            sqlite3_bind_text(insert, 3, oldValue, static_cast<int>(oldLength), SQLITE_STATIC);
        if (newValue != nullptr)
            sqlite3_bind_text(insert, 4, newValue, static_cast<int>(newLength), SQLITE_STATIC);
        rc = sqlite3_step(insert);
    }
    if (rc != SQLITE_DONE) {
        per.Failed(rc, "record event");
        return false;
    }
    // Rows are numbered upwards; the oldest beyond the limit go.
    int64_t last = sqlite3_last_insert_rowid(per.handle());
    if (last > kMaxEvents) {
        Use use(trim);
        sqlite3_bind_int64(trim, 1, last - kMaxEvents);
        rc = sqlite3_step(trim);
        if (rc != SQLITE_DONE) per.Failed(rc, "trim events");  // recorded all the same
    }
    Checkpoint(per);
    per.Succeeded();
    return true;
}

bool ReadEvents(std::vector<Event> *out) {
    if (out == nullptr) return false;
    out->clear();
    Session s;
    Db &per = s.persistent();
    if (!per.Open(OpenMode::kExisting)) return per.missing();
    sqlite3_stmt *stmt = per.Statement(kSqlEventList);
    if (stmt == nullptr) return false;
    int rc;
    {
        Use use(stmt);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            Event e;
            e.timeMs = sqlite3_column_int64(stmt, 0);
            e.id = sqlite3_column_int64(stmt, 1);
            e.oldValue = ColumnText(stmt, 2, &e.hasOld);
            e.newValue = ColumnText(stmt, 3, &e.hasNew);
            out->push_back(std::move(e));
        }
    }
    if (rc != SQLITE_DONE) {
        per.Failed(rc, "read events");
        return false;
    }
    per.Succeeded();
    return true;
}

}  // namespace qaxstore

using qaxstore::Found;

int aim_config_get_int64(const char *key, int64_t *value) {
    int64_t v = 0;
    if (value == nullptr || qaxstore::Get(key, &v) != Found::kYes) return 0;
    *value = v;
    return 1;
}

int aim_config_get_int(const char *key, int32_t *value) {
    int64_t v = 0;
    if (value == nullptr || qaxstore::Get(key, &v) != Found::kYes) return 0;
    if (v < INT32_MIN || v > INT32_MAX) return 0;
    *value = static_cast<int32_t>(v);
    return 1;
}

int aim_config_get_bool(const char *key, uint8_t *value) {
    int64_t v = 0;
    if (value == nullptr || qaxstore::Get(key, &v) != Found::kYes) return 0;
    if (v != 0 && v != 1) return 0;
    *value = static_cast<uint8_t>(v);
    return 1;
}

int aim_config_set_int(const char *key, int32_t value, int persistent) {
    return qaxstore::SetValue(key, value, persistent);
}

int aim_config_set_int64(const char *key, int64_t value, int persistent) {
    return qaxstore::SetValue(key, value, persistent);
}

int aim_config_set_bool(const char *key, uint8_t value, int persistent) {
    if (value > 1) return 0;
    return qaxstore::SetValue(key, value, persistent);
}

int aim_config_clear(const char *key) {
    if (!qaxstore::KeyValid(key)) return 0;
    qaxstore::Session s;
    qaxstore::Lock lock = qaxstore::LockWriters(s.volatile_db());
    if (lock == qaxstore::Lock::kBusy) return 0;
    bool held = lock == qaxstore::Lock::kHeld;
    bool ok = !held || qaxstore::Run(s.volatile_db(), qaxstore::kSqlDelete, key, nullptr);
    ok = qaxstore::RemovePersistent(s.persistent(), key) && ok;
    if (held) ok = qaxstore::UnlockWriters(s.volatile_db(), ok) && ok;
    return ok ? 1 : 0;
}

void aim_config_close(void) {
    qaxstore::Session s;
    s.persistent().Reset();
    s.volatile_db().Reset();
}
