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
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sqlite3.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/safe_files.h"
#include "platform/store_db.h"

namespace qaxstore {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr char kPersistentPath[] = "/pstorage/aim/aim.db";
constexpr char kVolatilePath[] = "/tmp/aim/aim.db";
constexpr char kFileName[] = "aim.db";
constexpr char kWalName[] = "aim.db-wal";
constexpr char kShmName[] = "aim.db-shm";
constexpr char kDamagedName[] = "aim.db.damaged";
constexpr mode_t kDirMode = 0755;
// After a failure, the file is opened (or written) again at most this often.
constexpr uint64_t kRetryMs = 10000;
// The most keys a batch remembers as absent from the persistent database.
constexpr size_t kAbsentKeys = 64;

// A persistent set that answered success survives a power cut; the volatile
// database lives in RAM and needs no sync at all. A few dozen keys fit in a
// handful of pages: a small page cache keeps the daemon's memory small (the
// default allows 2 MiB per connection).
constexpr char kPragmasPersistent[] = "PRAGMA synchronous=FULL; PRAGMA cache_size=-64";
// The volatile database lives in RAM, its log too. SQLite's default
// checkpoint (every 1000 pages) let the figures of every cycle grow the log to
// 4 MB; a checkpoint every 32 small pages keeps it near 33 KB and costs fewer
// instructions per cycle than the long log did (docs/store.md has the
// figures). A log that a long reader made grow is cut back to 64 KiB. The
// page size only applies when the file is made, which is at every boot.
constexpr char kPageSizeVolatile[] = "PRAGMA page_size=1024";
constexpr char kPragmasVolatile[] =
    "PRAGMA synchronous=OFF; PRAGMA cache_size=-64; PRAGMA wal_autocheckpoint=32; "
    "PRAGMA journal_size_limit=65536";

// Statements are cached by the address of these texts.
constexpr char kSqlGet[] = "SELECT value FROM kv WHERE key = ?1";
constexpr char kSqlPut[] =
    "INSERT INTO kv(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = "
    "excluded.value";
constexpr char kSqlDelete[] = "DELETE FROM kv WHERE key = ?1";
constexpr char kSqlList[] = "SELECT key, value FROM kv ORDER BY key";
constexpr char kSqlBegin[] = "BEGIN IMMEDIATE";
constexpr char kSqlDataVersion[] = "PRAGMA data_version";
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
    kExisting,  // use the file if it is there; never create or move anything
    kCreate,    // create the directory, file and tables as needed
};
enum class Op { kRead, kWrite };

bool HardError(int rc) {
    int primary = rc & 0xFF;
    return primary != SQLITE_BUSY && primary != SQLITE_LOCKED;
}

// The storage itself refused: read-only, full or failing file system.
bool StorageRefused(int rc) {
    int primary = rc & 0xFF;
    return primary == SQLITE_READONLY || primary == SQLITE_IOERR || primary == SQLITE_FULL ||
           primary == SQLITE_CANTOPEN || primary == SQLITE_PERM;
}

uint64_t Now() { return QaxClockMonotonicMs(); }

// One connection with its statements, opened lazily and kept until closed.
//
// Failures are reported once per change of state: the first failure after
// success, and the first success after failures. A read that works does not
// end an outage of writes. After a failure the file is not opened again for
// kRetryMs, and a storage that refused a write (read-only or full) is not
// written again for kRetryMs; then the connection is opened afresh, since one
// opened on a read-only file system stays read-only for good.
class Db {
  public:
    explicit Db(Kind kind) : kind_(kind) {}
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // True when usable for reading (and, with kCreate, the tables exist
    // unless writes are refused). With kExisting a missing file answers
    // false quietly (missing() tells).
    bool Open(OpenMode mode);
    bool missing() const { return missing_; }
    sqlite3 *handle() const { return db_; }
    // To be asked before every write.
    bool Writable();

    // Cached for the connection's life; null (reported) when it cannot be prepared.
    sqlite3_stmt *Statement(const char *sql);

    void Failed(int rc, Op op);
    void Succeeded(Op op);
    void Close();
    // A batch of writes (aim_config_batch_begin) holds one transaction open.
    bool batch = false;
    // Keys this (persistent) database is known not to hold. Valid only inside
    // a batch: the batch holds the writers' lock, so no other process can add
    // a key meanwhile, and it checks once at its start that the database did
    // not change since the keys were looked up.
    struct Absent {
        bool valid = false;
        int64_t version = 0;
        std::vector<std::string> keys;
        bool Has(const char *key) const {
            if (!valid) return false;
            for (const std::string &k : keys)
                if (strcmp(k.c_str(), key) == 0) return true;
            return false;
        }
    } absent;
    void Reset() {
        Close();
        batch = false;
        failing_ = damaged_ = false;
        reopenAt_ = writeAt_ = 0;
    }

  private:
    int OpenFile(OpenMode mode, std::string *why, bool *damaged);
    int Configure(OpenMode mode, std::string *why);
    int Exec(const char *sql);
    bool MoveAside(int dirfd);
    void Trouble(Op op, const char *format, ...) __attribute__((format(printf, 3, 4)));
    std::string Reason(int rc) const;
    bool Damage(int rc) const;

    Kind kind_;
    sqlite3 *db_ = nullptr;
    bool schema_ = false;  // tables known to exist
    bool missing_ = false;
    bool failing_ = false;
    Op failedOp_ = Op::kRead;
    bool damaged_ = false;  // not a database: the next writer moves it aside
    std::string damage_;
    uint64_t reopenAt_ = 0;  // monotonic ms; 0: no wait
    uint64_t writeAt_ = 0;
    dev_t dev_ = 0;  // the file examined before opening
    ino_t ino_ = 0;
    std::string path_;
    struct Cached {
        const char *sql;
        sqlite3_stmt *stmt;
    };
    Cached cache_[12] = {};
};

void Db::Trouble(Op op, const char *format, ...) {
    if (failing_) {
        if (op == Op::kWrite) failedOp_ = op;
        return;
    }
    failing_ = true;
    failedOp_ = op;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    QaxReportError("aim_config", "%s", text);
}

void Db::Succeeded(Op op) {
    if (!failing_ || (op == Op::kRead && failedOp_ == Op::kWrite)) return;
    failing_ = false;
    QaxReportError(
        "aim_config",
        failedOp_ == Op::kWrite ? "Store %s is writable again" : "Store %s can be read again",
        path_.c_str());
}

// The system's reason where there is one (SQLite records it only for these;
// a full file system it reports as SQLITE_FULL alone).
std::string Db::Reason(int rc) const {
    int primary = rc & 0xFF;
    if (primary == SQLITE_FULL) return strerror(ENOSPC);
    if (db_ != nullptr && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR) &&
        sqlite3_system_errno(db_) != 0)
        return strerror(sqlite3_system_errno(db_));
    return db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
}

bool Db::Damage(int rc) const {
    int primary = rc & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ||
           (primary == SQLITE_CANTOPEN && db_ != nullptr && sqlite3_system_errno(db_) == EISDIR);
}

bool Db::Open(OpenMode mode) {
    missing_ = false;
    if (db_ != nullptr) {
        if (schema_ || mode == OpenMode::kExisting || writeAt_ != 0 ||
            sqlite3_db_readonly(db_, "main") == 1)
            return true;
        // Opened for reading only so far: make sure the tables exist.
        int rc = Exec(kSchemaKv);
        if (rc == SQLITE_OK && kind_ == Kind::kPersistent) rc = Exec(kSchemaEvents);
        if (rc != SQLITE_OK) {
            Failed(rc, Op::kWrite);
            return false;
        }
        schema_ = true;
        return true;
    }
    // A writer moves a damaged file aside at once; otherwise a failure is
    // tried again only after a while.
    if (reopenAt_ != 0 && Now() < reopenAt_ && !(damaged_ && mode == OpenMode::kCreate))
        return false;
    const Op op = mode == OpenMode::kCreate ? Op::kWrite : Op::kRead;
    const char *own = kind_ == Kind::kPersistent ? kPersistentPath : kVolatilePath;
    char buffer[PATH_MAX];
    const char *path = QaxPath(own, buffer, sizeof buffer);
    if (path == nullptr) {
        path_ = own;
        Trouble(op, "Store %s has no usable path (QAX_ROOT)", own);
        reopenAt_ = Now() + kRetryMs;
        return false;
    }
    path_ = path;

    // The directory is checked (ours, no link, nobody else may write it), and
    // so is its parent (/tmp is sticky, /pstorage root's): the path names the
    // checked directory from here on. Readers take an untrusted or missing
    // directory as "nothing stored".
    char dir[PATH_MAX];
    QaxSplitPath(own, dir, sizeof dir);
    int dirfd = QaxOpenDir(dir, kDirMode, mode == OpenMode::kCreate ? QAX_DIR_CREATE : 0);
    if (dirfd < 0) {
        if (mode == OpenMode::kExisting &&
            (errno == ENOENT || errno == ENOTDIR || errno == EPERM)) {
            missing_ = true;
            return false;
        }
        Trouble(op, "Store directory %s cannot be used: %s",
                path_.substr(0, path_.size() - strlen(kFileName) - 1).c_str(), strerror(errno));
        reopenAt_ = Now() + kRetryMs;
        return false;
    }

    for (int attempt = 0; attempt < 2; attempt++) {
        if (damaged_ && mode == OpenMode::kCreate && !MoveAside(dirfd)) break;
        // SQLite opens without following a link; what is not a regular file
        // with one link sits in our directory, so it is ours to move aside.
        // (The -wal and -shm files need no such check: nobody else can make
        // a link in the checked directory.)
        struct stat st;
        dev_ = 0;
        ino_ = 0;
        if (fstatat(dirfd, kFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                Trouble(op, "Store %s cannot be opened: %s", path, strerror(errno));
                break;
            }
            if (mode == OpenMode::kExisting) {
                missing_ = true;
                return false;
            }
        } else {
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
                damaged_ = true;
                damage_ = QaxDescribeEntry(&st);
                if (mode == OpenMode::kCreate && attempt == 0) continue;
                Trouble(op, "Store %s is not a database (%s)", path, damage_.c_str());
                break;
            }
            // An empty file is what a crash during creation leaves: nothing in it.
            if (st.st_size == 0 && mode == OpenMode::kExisting) {
                missing_ = true;
                return false;
            }
        }
        std::string why;
        bool damaged = false;
        int rc = OpenFile(mode, &why, &damaged);
        if (rc == SQLITE_OK) {
            reopenAt_ = 0;
            return true;
        }
        if (damaged) {
            damaged_ = true;
            damage_ = why;
            if (mode == OpenMode::kCreate && attempt == 0) continue;
            Trouble(op, "Store %s is not a database (%s)", path, why.c_str());
            break;
        }
        // SQLite's own reason is then often a -shm file it could not make.
        if (faccessat(dirfd, ".", W_OK, AT_EACCESS) != 0 && errno == EROFS) why = strerror(EROFS);
        Trouble(op, "Store %s cannot be opened: %s", path, why.c_str());
        break;
    }
    reopenAt_ = Now() + kRetryMs;
    return false;
}

// Moves the damaged file aside (one generation kept) with its -wal and -shm.
bool Db::MoveAside(int dirfd) {
    damaged_ = false;
    // Another process may have moved it already and made a new one.
    struct stat st;
    if (fstatat(dirfd, kFileName, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (ino_ != 0 && (st.st_dev != dev_ || st.st_ino != ino_)))
        return true;
    QaxClearOwnEntry(dirfd, kDamagedName);
    if (renameat(dirfd, kFileName, dirfd, kDamagedName) != 0) {
        Trouble(Op::kWrite, "Store %s is not a database (%s) and cannot be moved aside: %s",
                path_.c_str(), damage_.c_str(), strerror(errno));
        return false;
    }
    QaxClearOwnEntry(dirfd, kWalName);
    QaxClearOwnEntry(dirfd, kShmName);
    failing_ = false;  // this line tells what happened; the store works from here
    QaxReportError("aim_config", "Store %s is not a database (%s); moved it aside to %s.damaged",
                   path_.c_str(), damage_.c_str(), path_.c_str());
    return true;
}

int Db::OpenFile(OpenMode mode, std::string *why, bool *damaged) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (mode == OpenMode::kCreate) flags |= SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (rc == SQLITE_OK) {
        rc = Configure(mode, why);
    } else {
        *why = Reason(rc);
    }
    if (rc != SQLITE_OK) {
        *damaged = Damage(rc);
        Close();
    }
    return rc;
}

int Db::Configure(OpenMode mode, std::string *why) {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // Closing must never write: the last connection would otherwise copy the
    // log back into the database (flash writes), and a child closing what it
    // inherited across fork must leave the files alone.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    // The file is untrusted: no schema trickery with side effects.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);

    if (kind_ == Kind::kVolatile) Exec(kPageSizeVolatile);
    // Switching a database that is already in WAL mode writes nothing.
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    bool wal = rc == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr &&
               strcmp(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "wal") == 0;
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) {
        *why = Reason(rc);
        return rc;
    }
    if (!wal) {
        *why = "cannot switch to WAL mode";
        return SQLITE_ERROR;
    }
    rc = Exec(kind_ == Kind::kPersistent ? kPragmasPersistent : kPragmasVolatile);
    schema_ = false;
    if (rc == SQLITE_OK && mode == OpenMode::kCreate && sqlite3_db_readonly(db_, "main") != 1) {
        rc = Exec(kSchemaKv);
        if (rc == SQLITE_OK && kind_ == Kind::kPersistent) rc = Exec(kSchemaEvents);
        schema_ = rc == SQLITE_OK;
    }
    if (rc != SQLITE_OK) *why = Reason(rc);
    return rc;
}

int Db::Exec(const char *sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

bool Db::Writable() {
    if (db_ == nullptr) return false;
    if (writeAt_ != 0) {
        if (Now() < writeAt_) return false;
        writeAt_ = 0;
        Close();
        if (!Open(OpenMode::kCreate)) return false;
    }
    if (sqlite3_db_readonly(db_, "main") != 1) return true;
    // SQLite opens read-only, silently, what it cannot open for writing.
    Trouble(Op::kWrite, "Store %s cannot be written: %s", path_.c_str(),
            access(path_.c_str(), W_OK) != 0 ? strerror(errno) : "opened read-only");
    writeAt_ = Now() + kRetryMs;
    return false;
}

Op OpOf(const char *sql) {
    return sql == kSqlGet || sql == kSqlList || sql == kSqlEventList || sql == kSqlDataVersion
               ? Op::kRead
               : Op::kWrite;
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
        Failed(rc, OpOf(sql));
        return nullptr;
    }
    if (free_slot == nullptr) {  // more statements than slots: a programming error
        sqlite3_finalize(stmt);
        Trouble(OpOf(sql), "Store %s: statement cache full", path_.c_str());
        return nullptr;
    }
    free_slot->sql = sql;
    free_slot->stmt = stmt;
    return stmt;
}

// A damaged file is dropped (the next writer moves it aside). A write the
// storage refused leaves the connection for reading; a failed read drops it.
// A passing lock conflict or a write refused by the database's own rules
// changes nothing.
void Db::Failed(int rc, Op op) {
    const std::string why = Reason(rc);
    if (Damage(rc)) {
        damaged_ = true;
        damage_ = why;
        Trouble(op, "Store %s is not a database (%s)", path_.c_str(), why.c_str());
        Close();
        reopenAt_ = Now() + kRetryMs;
        return;
    }
    Trouble(op, op == Op::kWrite ? "Store %s cannot be written: %s" : "Store %s cannot be read: %s",
            path_.c_str(), why.c_str());
    if (!HardError(rc)) return;
    if (op == Op::kWrite) {
        if (StorageRefused(rc)) writeAt_ = Now() + kRetryMs;
    } else {
        Close();
        reopenAt_ = Now() + kRetryMs;
    }
}

void Db::Close() {
    absent = Absent();
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
        // Memory statistics take a global mutex around every allocation of
        // SQLite's; nothing here reads them. Refused (harmlessly) when the
        // process already used SQLite.
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
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
        db.Failed(rc, Op::kRead);
    } else {
        db.Succeeded(Op::kRead);
    }
    return result;
}

// Runs a statement that returns no rows, with up to two bound values.
bool Run(Db &db, const char *sql, const char *key, const int64_t *value) {
    db.absent.keys.clear();  // the version does not count this connection's own writes
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
        db.Failed(rc, Op::kWrite);
        return false;
    }
    db.Succeeded(Op::kWrite);
    return true;
}

// Copies the log back into the database right away, so that readers never
// have to record a read position in the shared-memory index.
void Checkpoint(Db &db) {
    sqlite3_wal_checkpoint_v2(db.handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

enum class Lock { kHeld, kBusy, kUnusable };

bool InBatch(Db &vol) {
    vol.batch = vol.batch && vol.handle() != nullptr && sqlite3_get_autocommit(vol.handle()) == 0;
    return vol.batch;
}

// Takes the writers' lock: a write transaction of the volatile database
// (already held inside a batch).
Lock LockWriters(Db &vol) {
    if (InBatch(vol)) return Lock::kHeld;
    if (!vol.Open(OpenMode::kCreate) || !vol.Writable()) return Lock::kUnusable;
    sqlite3_stmt *stmt = vol.Statement(kSqlBegin);
    if (stmt == nullptr) return Lock::kUnusable;
    int rc;
    {
        Use use(stmt);
        rc = sqlite3_step(stmt);
    }
    if (rc == SQLITE_DONE) return Lock::kHeld;
    vol.Failed(rc, Op::kWrite);
    return HardError(rc) ? Lock::kUnusable : Lock::kBusy;
}

// Commits (or rolls back) the write transaction; inside a batch the batch's
// end does that, and a write that failed alone leaves the others standing.
bool UnlockWriters(Db &vol, bool commit) {
    if (InBatch(vol)) return true;
    if (vol.handle() == nullptr) return false;
    if (commit && Run(vol, kSqlCommit, nullptr, nullptr)) return true;
    if (vol.handle() != nullptr && sqlite3_get_autocommit(vol.handle()) == 0)
        Run(vol, kSqlRollback, nullptr, nullptr);
    return false;
}

// Removes `key` from the persistent database if it is there. Reads first so
// that the common case (not there) writes nothing to the flash.
bool RemovePersistent(Db &per, const char *key, bool inBatch) {
    if (inBatch && per.absent.Has(key)) return true;
    if (!per.Open(OpenMode::kExisting)) return per.missing();
    int64_t ignored;
    bool row = false;
    if (Lookup(per, key, &ignored, &row) == Found::kError) return false;
    if (!row) {
        if (inBatch && per.absent.valid && per.absent.keys.size() < kAbsentKeys)
            per.absent.keys.push_back(key);
        return true;
    }
    bool ok = per.Writable() && Run(per, kSqlDelete, key, nullptr);
    if (ok) Checkpoint(per);
    return ok;
}

// Starts remembering absent keys for a batch, forgetting those remembered
// when the database changed since (or cannot tell).
void RememberAbsentKeys(Db &per) {
    per.absent.valid = false;
    if (!per.Open(OpenMode::kExisting)) return;
    sqlite3_stmt *stmt = per.Statement(kSqlDataVersion);
    if (stmt == nullptr) return;
    Use use(stmt);
    if (sqlite3_step(stmt) != SQLITE_ROW) return;
    int64_t version = sqlite3_column_int64(stmt, 0);
    if (version != per.absent.version) per.absent.keys.clear();
    per.absent.version = version;
    per.absent.valid = true;
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
    RemovePersistent(s.persistent(), key, InBatch(vol));
    return UnlockWriters(vol, true) ? 1 : 0;
}

// True when the volatile database cannot be written but still shows `key`:
// the key can then be neither moved nor cleared.
bool StuckInVolatile(Db &vol, const char *key) {
    int64_t ignored;
    bool row = false;
    return vol.handle() != nullptr && Lookup(vol, key, &ignored, &row) != Found::kError && row;
}

int SetPersistent(Session &s, const char *key, int64_t value) {
    Db &per = s.persistent();
    Db &vol = s.volatile_db();
    // A busy writers' lock is a refusal; an unusable volatile database holds
    // nothing a getter could see, so the persistent value may still be set.
    Lock lock = LockWriters(vol);
    if (lock == Lock::kBusy) return 0;
    bool held = lock == Lock::kHeld;
    if (!held && StuckInVolatile(vol, key)) return 0;
    int64_t current = 0;
    if (!per.Open(OpenMode::kCreate)) {
        if (held) UnlockWriters(vol, false);
        return 0;
    }
    Found found = Lookup(per, key, &current);
    bool ok = found != Found::kError;
    if (ok && (found == Found::kNo || current != value)) {
        ok = per.Writable() && Run(per, kSqlPut, key, &value);
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
            out->push_back(
                Entry{std::string(key, length), sqlite3_column_int64(stmt, 1), persistent});
        }
    }
    if (rc != SQLITE_DONE) {
        db.Failed(rc, Op::kRead);
        return false;
    }
    db.Succeeded(Op::kRead);
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
    if (!per.Open(OpenMode::kCreate) || !per.Writable()) return false;
    sqlite3_stmt *insert = per.Statement(kSqlEventInsert);
    sqlite3_stmt *trim = per.Statement(kSqlEventTrim);
    if (insert == nullptr || trim == nullptr) return false;
    int rc;
    {
        Use use(insert);
        sqlite3_bind_int64(
            insert, 1,
            timeMs > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(timeMs));
        sqlite3_bind_int64(insert, 2, id);
        if (oldValue != nullptr)
            sqlite3_bind_text(insert, 3, oldValue, static_cast<int>(oldLength), SQLITE_STATIC);
        if (newValue != nullptr)
            sqlite3_bind_text(insert, 4, newValue, static_cast<int>(newLength), SQLITE_STATIC);
        rc = sqlite3_step(insert);
    }
    if (rc != SQLITE_DONE) {
        per.Failed(rc, Op::kWrite);
        return false;
    }
    // Rows are numbered upwards; the oldest beyond the limit go.
    int64_t last = sqlite3_last_insert_rowid(per.handle());
    if (last > kMaxEvents) {
        Use use(trim);
        sqlite3_bind_int64(trim, 1, last - kMaxEvents);
        rc = sqlite3_step(trim);
        if (rc != SQLITE_DONE) per.Failed(rc, Op::kWrite);  // recorded all the same
    }
    Checkpoint(per);
    per.Succeeded(Op::kWrite);
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
        per.Failed(rc, Op::kRead);
        return false;
    }
    per.Succeeded(Op::kRead);
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
    bool ok = held ? qaxstore::Run(s.volatile_db(), qaxstore::kSqlDelete, key, nullptr)
                   : !qaxstore::StuckInVolatile(s.volatile_db(), key);
    ok = qaxstore::RemovePersistent(s.persistent(), key, false) && ok;
    if (held) ok = qaxstore::UnlockWriters(s.volatile_db(), ok) && ok;
    return ok ? 1 : 0;
}

void aim_config_batch_begin(void) {
    qaxstore::Session s;
    qaxstore::Db &vol = s.volatile_db();
    if (qaxstore::InBatch(vol)) return;
    vol.batch = qaxstore::LockWriters(vol) == qaxstore::Lock::kHeld;
    if (vol.batch) qaxstore::RememberAbsentKeys(s.persistent());
}

void aim_config_batch_end(void) {
    qaxstore::Session s;
    qaxstore::Db &vol = s.volatile_db();
    s.persistent().absent.valid = false;
    if (!qaxstore::InBatch(vol)) return;
    vol.batch = false;
    qaxstore::UnlockWriters(vol, true);
}

void aim_config_close(void) {
    qaxstore::Session s;
    if (qaxstore::InBatch(s.volatile_db())) {  // a batch left open: keep what it wrote
        s.volatile_db().batch = false;
        qaxstore::UnlockWriters(s.volatile_db(), true);
    }
    s.persistent().Reset();
    s.volatile_db().Reset();
}
