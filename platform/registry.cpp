#include "platform/registry.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* kRegistryVariable = "QUORVANE_REGISTRY";
constexpr const char* kDefaultRegistryPath = "/var/lib/drovemoor/registry.sqlite3";
constexpr int kBusyTimeoutMs = 5000;
// Marks the file as ours, so that a foreign database is never taken over ("QREG").
constexpr int kApplicationId = 0x51524547;
constexpr int kSchemaVersion = 1;
// Paths are the folded names below the hive joined by '\'; the hive's own root is "".
constexpr const char* kSchema =
    "CREATE TABLE keys(hive INTEGER NOT NULL, path BLOB NOT NULL, parent BLOB NOT NULL,"
    " name BLOB NOT NULL, PRIMARY KEY(hive, path));"
    "CREATE INDEX keys_by_parent ON keys(hive, parent);"
    "CREATE TABLE vals(hive INTEGER NOT NULL, key BLOB NOT NULL, folded BLOB NOT NULL,"
    " name BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY(hive, key, folded));";

constexpr HKEY kFirstHive = HKEY_CLASSES_ROOT;
constexpr HKEY kHiveEnd = 0x80000010;
constexpr HKEY kFirstHandle = 0x1000;

enum class State { Closed, Ready, Unavailable, Corrupt };

struct KeyRef {
    int hive = 0;
    std::string path; // folded
};

// Tells one state of the file from another: which file it is, and its header, whose change
// counter every write in the rollback journal moves on, and which names the journal kind.
struct FileMark {
    dev_t device = 0;
    ino_t inode = 0;
    std::array<unsigned char, 100> header{};
    bool operator==(const FileMark&) const = default;
};

// Statements prepared before and idle now, to be run again: the same few run for each value
// read or written, and preparing one costs more than running it. Never destroyed, since the
// registry closes its database when the process ends, in no known order with this.
std::vector<sqlite3_stmt*>& idleStatements() {
    static auto* idle = new std::vector<sqlite3_stmt*>;
    return *idle;
}

void closeDatabase(sqlite3*& db) {
    std::erase_if(idleStatements(), [db](sqlite3_stmt* st) { return sqlite3_db_handle(st) == db; });
    while (sqlite3_stmt* st = db ? sqlite3_next_stmt(db, nullptr) : nullptr) {
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    db = nullptr;
}

struct Registry {
    std::mutex mutex;
    State state = State::Closed;
    sqlite3* db = nullptr;
    std::string file;
    std::set<std::string> reported; // each fault of each file is told once
    std::string fault;              // why the file could not be used, in a few words
    bool quiet = false;             // the caller tells the fault itself
    std::map<HKEY, KeyRef> handles;
    HKEY nextHandle = kFirstHandle;
    bool snapshot = false;   // read without locks, as it was when opened (see mayReadAsSnapshot)
    FileMark taken;          // the file as it was then
    bool writeAhead = false; // a program of an older version keeps the file in WAL mode
    int batches = 0;         // RegistryBatch objects alive: their writes are one transaction
    bool batchBegun = false; // that transaction is under way
    LONG batchFailure = ERROR_SUCCESS; // it failed: nothing of it is stored

    ~Registry() { close(); }
    void close() {
        closeDatabase(db);
        state = State::Closed;
        snapshot = false;
        writeAhead = false;
        if (batchBegun) {
            batchBegun = false;
            batchFailure = ERROR_CANTWRITE; // closing rolled it back
        }
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

bool isHive(HKEY h) {
    return h == HKEY_CLASSES_ROOT || h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE ||
           h == HKEY_USERS || h == HKEY_CURRENT_CONFIG;
}

// Names are ANSI (Latin-1) bytes; they compare as Windows does, without regard to case.
std::string fold(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7)) {
            c = static_cast<char>(u + 0x20);
        }
    }
    return out;
}

std::string_view text(const char* s) {
    return s ? std::string_view(s) : std::string_view();
}

// Splits a subkey path into its names. A leading separator or an empty name inside the path is
// refused; one trailing separator is allowed.
bool splitPath(const char* subKey, std::vector<std::string>& names) {
    std::string_view s = text(subKey);
    if (s.empty()) {
        return true;
    }
    if (s.front() == '\\') {
        return false;
    }
    if (s.back() == '\\') {
        s.remove_suffix(1);
    }
    while (true) {
        const auto cut = s.find('\\');
        const std::string_view name = s.substr(0, cut);
        if (name.empty()) {
            return false;
        }
        names.emplace_back(name);
        if (cut == std::string_view::npos) {
            return true;
        }
        s.remove_prefix(cut + 1);
    }
}

std::string childPath(const std::string& parent, const std::string& name) {
    return parent.empty() ? fold(name) : parent + '\\' + fold(name);
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        auto& idle = idleStatements();
        const auto found = std::find_if(idle.begin(), idle.end(), [&](sqlite3_stmt* st) {
            return sqlite3_db_handle(st) == db && std::strcmp(sqlite3_sql(st), sql) == 0;
        });
        if (found != idle.end()) {
            stmt_ = *found;
            idle.erase(found);
        } else {
            prepared_ = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        }
    }
    ~Statement() {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
            idleStatements().push_back(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int i, sqlite3_int64 v) { sqlite3_bind_int64(stmt_, i, v); }
    void bind(int i, std::string_view bytes) {
        // A null pointer would bind SQL NULL; an empty value is an empty blob.
        sqlite3_bind_blob64(stmt_, i, bytes.data() ? bytes.data() : "", bytes.size(),
                            SQLITE_TRANSIENT);
    }
    // SQLITE_ROW, SQLITE_DONE or the error.
    int step() { return stmt_ ? sqlite3_step(stmt_) : prepared_; }
    sqlite3_int64 integer(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string bytes(int col) {
        const void* p = sqlite3_column_blob(stmt_, col);
        const int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int prepared_ = SQLITE_OK;
};

void report(Registry& r, const char* fault, const char* detail) {
    r.fault = detail;
    if (!r.quiet && r.reported.insert(std::string(fault) + '\n' + r.file).second) {
        std::fprintf(stderr, "registry %s %s (%s)\n", r.file.c_str(), fault, detail);
    }
}

// What a database failure means to someone looking at the file.
const char* reasonOf(int rc) {
    switch (rc & 0xff) {
    case SQLITE_NOTADB:
        return "it is not a database";
    case SQLITE_CORRUPT:
        return "the database is damaged";
    default:
        return sqlite3_errstr(rc);
    }
}

void reportCorrupt(Registry& r, const char* detail) {
    report(r,
           "is not a registry database; it is left as it is, nothing is read from it or "
           "written to it",
           detail);
    r.state = State::Corrupt;
}

bool snapshotStale(const Registry& r);

// The registry answer for a failed database step.
LONG failure(Registry& r, int rc, bool writing) {
    switch (rc & 0xff) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        // A snapshot takes no locks: a writer that changed the file under it is no damage, and
        // the next call opens the file afresh.
        if (r.snapshot && snapshotStale(r)) {
            return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
        }
        reportCorrupt(r, reasonOf(rc));
        return writing ? ERROR_BADDB : ERROR_FILE_NOT_FOUND;
    default:
        return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

int exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// One statement, run to its end.
int run(sqlite3* db, const char* sql) {
    Statement st(db, sql);
    int rc = SQLITE_ROW;
    while (rc == SQLITE_ROW) {
        rc = st.step();
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int pragmaInt(sqlite3* db, const char* sql, sqlite3_int64& value) {
    Statement st(db, sql);
    const int rc = st.step();
    if (rc == SQLITE_ROW) {
        value = st.integer(0);
        return SQLITE_OK;
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Both marks in one statement, so that they come from one and the same state of the file.
int readMarks(sqlite3* db, sqlite3_int64& appId, sqlite3_int64& objects) {
    Statement st(db, "SELECT (SELECT application_id FROM pragma_application_id),"
                     " (SELECT count(*) FROM sqlite_master)");
    const int rc = st.step();
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? SQLITE_ERROR : rc;
    }
    appId = st.integer(0);
    objects = st.integer(1);
    return SQLITE_OK;
}

bool schemaMatches(sqlite3* db) {
    sqlite3_int64 version = 0;
    if (pragmaInt(db, "PRAGMA user_version", version) != SQLITE_OK || version != kSchemaVersion) {
        return false;
    }
    Statement keys(db, "SELECT hive, path, parent, name FROM keys LIMIT 0");
    Statement vals(db, "SELECT hive, key, folded, name, type, data FROM vals LIMIT 0");
    return keys.step() == SQLITE_DONE && vals.step() == SQLITE_DONE;
}

bool markOf(const std::string& file, FileMark& mark) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool read =
        ::fstat(fd, &st) == 0 && ::pread(fd, mark.header.data(), mark.header.size(), 0) ==
                                     static_cast<ssize_t>(mark.header.size());
    ::close(fd);
    mark.device = st.st_dev;
    mark.inode = st.st_ino;
    return read;
}

bool logHasContent(const std::string& file) {
    struct stat log {};
    return ::stat((file + "-wal").c_str(), &log) == 0 && log.st_size > 0;
}

// An older version kept the store with a write-ahead log, which SQLite reads only through a
// -shm index beside the file, made by the first reader. Where that cannot be made (another
// user's folder, a read-only mount) and the log itself is gone or empty, the file holds every
// value, and nobody is writing to it: a writer would have put its values in the log. Then it
// is read as it is, without locks, until the file changes; the first writer takes it back to
// the rollback journal. A log with content is never passed over: values may be in it alone.
bool mayReadAsSnapshot(Registry& r, int rc) {
    if (((rc & 0xff) != SQLITE_READONLY && (rc & 0xff) != SQLITE_CANTOPEN) ||
        rc == SQLITE_READONLY_ROLLBACK || logHasContent(r.file) || !markOf(r.file, r.taken)) {
        return false;
    }
    const auto& header = r.taken.header;
    return std::memcmp(header.data(), "SQLite format 3", 16) == 0 && header[18] == 2 &&
           header[19] == 2;
}

// The file's path as a URI, for the open parameter.
std::string fileUri(const std::string& file) {
    std::string uri = "file:";
    for (const char c : file) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || std::strchr("/-._~", c)) {
            uri += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", u);
            uri += escaped;
        }
    }
    return uri;
}

int openSnapshot(Registry& r) {
    closeDatabase(r.db);
    const std::string uri = fileUri(r.file) + "?immutable=1";
    const int rc =
        sqlite3_open_v2(uri.c_str(), &r.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    r.snapshot = rc == SQLITE_OK;
    return rc;
}

// A snapshot shows the file no longer once a writer has changed it or written to a log.
bool snapshotStale(const Registry& r) {
    FileMark now;
    return !markOf(r.file, now) || !(now == r.taken) || logHasContent(r.file);
}

// Takes the opened file as it is: ours, new and empty (then the tables are laid down), or
// anything else, which is never touched.
State adopt(Registry& r) {
    sqlite3_int64 appId = 0;
    sqlite3_int64 objects = 0;
    int rc = readMarks(r.db, appId, objects);
    if (rc != SQLITE_OK && mayReadAsSnapshot(r, rc)) {
        rc = openSnapshot(r);
        if (rc == SQLITE_OK) {
            rc = readMarks(r.db, appId, objects);
        }
    }
    if (rc == SQLITE_OK && appId == 0 && objects == 0) {
        // Another process may be laying the tables down at this moment: look again once the
        // write lock is ours.
        rc = exec(r.db, "BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) {
            rc = readMarks(r.db, appId, objects);
            if (rc == SQLITE_OK && appId == 0 && objects == 0) {
                const std::string marks =
                    "PRAGMA application_id = " + std::to_string(kApplicationId) +
                    "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
                rc = exec(r.db, kSchema);
                if (rc == SQLITE_OK) {
                    rc = exec(r.db, marks.c_str());
                }
                if (rc == SQLITE_OK) {
                    rc = exec(r.db, "COMMIT");
                }
                if (rc == SQLITE_OK) {
                    appId = kApplicationId;
                }
            }
            if (!sqlite3_get_autocommit(r.db)) {
                exec(r.db, "ROLLBACK");
            }
        }
    }
    if ((rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT) {
        reportCorrupt(r, reasonOf(rc));
        return State::Corrupt;
    }
    if (rc != SQLITE_OK) {
        report(r, "cannot be used", reasonOf(rc));
        return State::Unavailable;
    }
    if (appId != kApplicationId || !schemaMatches(r.db)) {
        reportCorrupt(r, "another program's database");
        return State::Corrupt;
    }
    return State::Ready;
}

// The store is one file: a write returns once its value is in the file itself, and a reader
// needs nothing beside it, only the right to read it, so another user or a read-only mount reads
// it as it is. That is SQLite's rollback journal, which lies beside the file only while a write
// is under way; a write-ahead log keeps values in the log until a checkpoint, and its readers
// need a -shm index beside the file. Each commit syncs the journal and its folder, then the
// journal's header, then the file itself (FULL), so that a power failure at any moment leaves the
// file whole, at worst without its latest write. Unsynced, a power failure can leave it damaged,
// and so it can with the journal synced only once (NORMAL) on a file system that may put a
// journal's header on the disk before its pages. Four syncs take some milliseconds: a save of
// many values (the dialog's, some 200) is one RegistryBatch, with one commit. A file an older
// version kept in WAL mode is taken back to the rollback journal as soon as no other program has
// it open; until then each write is copied into the file itself.
void useRollbackJournal(Registry& r) {
    if (r.snapshot || sqlite3_db_readonly(r.db, "main")) {
        return;
    }
    exec(r.db, "PRAGMA synchronous = FULL");
    Statement mode(r.db, "PRAGMA journal_mode = DELETE");
    r.writeAhead = mode.step() != SQLITE_ROW || mode.bytes(0) != "delete";
}

// After a committed write, on a file still in WAL mode.
void writeThrough(Registry& r) {
    if (!r.writeAhead) {
        return;
    }
    useRollbackJournal(r);
    if (r.writeAhead) {
        sqlite3_wal_checkpoint_v2(r.db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
}

// The file the environment names now, else the machine's.
std::string storePath() {
    const char* variable = std::getenv(kRegistryVariable);
    return variable && *variable ? variable : kDefaultRegistryPath;
}

// Opens the database on first use, and again after a failed open, so that a file that becomes
// available later is found.
State ensureOpen(Registry& r) {
    if (r.state == State::Ready && r.snapshot && snapshotStale(r)) {
        r.close();
    }
    if (r.state == State::Ready || r.state == State::Corrupt) {
        return r.state;
    }
    r.close();
    r.file = storePath();
    std::error_code ignored;
    const auto folder = std::filesystem::path(r.file).parent_path();
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ignored);
    }
    const int rc =
        sqlite3_open_v2(r.file.c_str(), &r.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        report(r, "cannot be opened", sqlite3_errstr(rc));
        r.close();
        r.state = State::Unavailable;
        return r.state;
    }
    sqlite3_busy_timeout(r.db, kBusyTimeoutMs);
    r.state = adopt(r);
    if (r.state == State::Unavailable) {
        r.close();
        r.state = State::Unavailable;
    }
    if (r.state == State::Ready) {
        useRollbackJournal(r);
    }
    return r.state;
}

LONG resolve(Registry& r, HKEY h, KeyRef& key) {
    if (isHive(h)) {
        key = KeyRef{static_cast<int>(h - kFirstHive), std::string()};
        return ERROR_SUCCESS;
    }
    const auto it = r.handles.find(h);
    if (it == r.handles.end()) {
        return ERROR_INVALID_HANDLE;
    }
    key = it->second;
    return ERROR_SUCCESS;
}

HKEY newHandle(Registry& r, const KeyRef& key) {
    if (r.nextHandle >= kFirstHive && r.nextHandle < kHiveEnd) {
        r.nextHandle = kHiveEnd;
    }
    const HKEY h = r.nextHandle;
    r.nextHandle += 4;
    r.handles[h] = key;
    return h;
}

LONG writeRefusal(State s) {
    return s == State::Corrupt ? ERROR_BADDB : ERROR_ACCESS_DENIED;
}

// Whether the key exists; the hive's root always does.
int keyExists(sqlite3* db, const KeyRef& key, bool& exists) {
    exists = true;
    if (key.path.empty()) {
        return SQLITE_OK;
    }
    Statement st(db, "SELECT 1 FROM keys WHERE hive = ?1 AND path = ?2");
    st.bind(1, key.hive);
    st.bind(2, key.path);
    const int rc = st.step();
    exists = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Inside a batch: body joins its transaction, the first write beginning it. A refusal of body's
// own undoes what body did; a failure of the database ends the batch.
template <typename Body> LONG batchWrite(Registry& r, Body body) {
    if (r.batchFailure != ERROR_SUCCESS) {
        return r.batchFailure;
    }
    int rc = SQLITE_OK;
    if (!r.batchBegun) {
        rc = run(r.db, "BEGIN IMMEDIATE");
        r.batchBegun = rc == SQLITE_OK;
    }
    if (rc == SQLITE_OK) {
        rc = run(r.db, "SAVEPOINT write");
    }
    LONG answer = ERROR_SUCCESS;
    if (rc == SQLITE_OK) {
        answer = body(rc);
    }
    if (rc != SQLITE_OK) {
        r.batchFailure = failure(r, rc, true);
        if (!sqlite3_get_autocommit(r.db)) {
            run(r.db, "ROLLBACK");
        }
        r.batchBegun = false;
        return r.batchFailure;
    }
    if (answer != ERROR_SUCCESS) {
        run(r.db, "ROLLBACK TO write");
    }
    run(r.db, "RELEASE write");
    return answer;
}

// Runs body as one write transaction, or as part of the batch's; body answers ERROR_SUCCESS to
// have it committed, and reports a database failure through its sqlite result.
template <typename Body> LONG writeTransaction(Registry& r, Body body) {
    if (r.batches > 0) {
        return batchWrite(r, body);
    }
    int rc = run(r.db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        return failure(r, rc, true);
    }
    rc = SQLITE_OK;
    LONG answer = body(rc);
    if (rc == SQLITE_OK && answer == ERROR_SUCCESS) {
        rc = run(r.db, "COMMIT");
    }
    if (rc != SQLITE_OK) {
        answer = failure(r, rc, true);
    }
    if (answer != ERROR_SUCCESS) {
        run(r.db, "ROLLBACK");
    } else {
        writeThrough(r);
    }
    return answer;
}

// A failed step inside a write transaction.
bool stepFailed(Statement& st, int& rc) {
    const int s = st.step();
    if (s == SQLITE_ROW || s == SQLITE_DONE) {
        return false;
    }
    rc = s;
    return true;
}

LONG copyOut(const std::string& value, BYTE* data, DWORD* cbData) {
    if (!cbData) {
        return ERROR_SUCCESS;
    }
    const auto size = static_cast<DWORD>(value.size());
    if (data) {
        if (*cbData < size) {
            *cbData = size;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, value.data(), size);
    }
    *cbData = size;
    return ERROR_SUCCESS;
}

// Opens or creates (with its missing parents) the key subKey below hKey.
LONG openKey(HKEY hKey, const char* subKey, HKEY* result, bool create) {
    if (!result) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = 0;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef base;
    if (const LONG e = resolve(r, hKey, base)) {
        return e;
    }
    std::vector<std::string> names;
    if (!splitPath(subKey, names)) {
        return ERROR_BAD_PATHNAME;
    }
    if (names.empty()) {
        *result = isHive(hKey) ? hKey : newHandle(r, base);
        return ERROR_SUCCESS;
    }
    const State s = ensureOpen(r);
    KeyRef target = base;
    for (const auto& name : names) {
        target.path = childPath(target.path, name);
    }
    LONG answer = ERROR_SUCCESS;
    if (!create) {
        if (s != State::Ready) {
            return ERROR_FILE_NOT_FOUND;
        }
        bool exists = false;
        if (const int rc = keyExists(r.db, target, exists)) {
            return failure(r, rc, false);
        }
        answer = exists ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    } else if (s != State::Ready) {
        return writeRefusal(s);
    } else if (bool exists = false; keyExists(r.db, target, exists) == SQLITE_OK && exists) {
        // Most saves open a key that is there already: no write for them.
        answer = ERROR_SUCCESS;
    } else {
        answer = writeTransaction(r, [&](int& rc) {
            bool exists = false;
            if ((rc = keyExists(r.db, base, exists)) != SQLITE_OK || !exists) {
                return ERROR_KEY_DELETED;
            }
            std::string path = base.path;
            for (const auto& name : names) {
                Statement st(r.db, "INSERT OR IGNORE INTO keys(hive, path, parent, name)"
                                   " VALUES(?1, ?2, ?3, ?4)");
                const std::string child = childPath(path, name);
                st.bind(1, base.hive);
                st.bind(2, child);
                st.bind(3, path);
                st.bind(4, name);
                if (stepFailed(st, rc)) {
                    return ERROR_CANTWRITE;
                }
                path = child;
            }
            return ERROR_SUCCESS;
        });
    }
    if (answer == ERROR_SUCCESS) {
        *result = newHandle(r, target);
    }
    return answer;
}

} // namespace

LONG RegCreateKeyA(HKEY hKey, const char* subKey, HKEY* result) {
    return openKey(hKey, subKey, result, true);
}

LONG RegOpenKeyA(HKEY hKey, const char* subKey, HKEY* result) {
    return openKey(hKey, subKey, result, false);
}

LONG RegQueryValueExA(HKEY hKey, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (reserved || (data && !cbData)) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef key;
    if (const LONG e = resolve(r, hKey, key)) {
        return e;
    }
    if (ensureOpen(r) != State::Ready) {
        return ERROR_FILE_NOT_FOUND;
    }
    Statement st(r.db, "SELECT type, data FROM vals WHERE hive = ?1 AND key = ?2 AND folded = ?3");
    st.bind(1, key.hive);
    st.bind(2, key.path);
    st.bind(3, fold(text(valueName)));
    const int rc = st.step();
    if (rc == SQLITE_DONE) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) {
        return failure(r, rc, false);
    }
    if (type) {
        *type = static_cast<DWORD>(st.integer(0));
    }
    return copyOut(st.bytes(1), data, cbData);
}

LONG RegSetValueExA(HKEY hKey, const char* valueName, DWORD /*reserved*/, DWORD type,
                    const BYTE* data, DWORD cbData) {
    if (!data && cbData) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef key;
    if (const LONG e = resolve(r, hKey, key)) {
        return e;
    }
    if (const State s = ensureOpen(r); s != State::Ready) {
        return writeRefusal(s);
    }
    const std::string_view name = text(valueName);
    const std::string_view bytes(reinterpret_cast<const char*>(data), data ? cbData : 0);
    return writeTransaction(r, [&](int& rc) {
        bool exists = false;
        if ((rc = keyExists(r.db, key, exists)) != SQLITE_OK || !exists) {
            return ERROR_KEY_DELETED;
        }
        // A value set again keeps its place and the spelling of its name. One set to what it
        // holds already is left untouched: most of a dialog's save are such, and what is not
        // written cannot be lost.
        Statement st(r.db, "INSERT INTO vals(hive, key, folded, name, type, data)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(hive, key, folded)"
                           " DO UPDATE SET type = excluded.type, data = excluded.data"
                           " WHERE type IS NOT excluded.type OR data IS NOT excluded.data");
        st.bind(1, key.hive);
        st.bind(2, key.path);
        st.bind(3, fold(name));
        st.bind(4, name);
        st.bind(5, static_cast<sqlite3_int64>(type));
        st.bind(6, bytes);
        return stepFailed(st, rc) ? ERROR_CANTWRITE : ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY hKey, const char* valueName) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef key;
    if (const LONG e = resolve(r, hKey, key)) {
        return e;
    }
    if (const State s = ensureOpen(r); s != State::Ready) {
        return writeRefusal(s);
    }
    return writeTransaction(r, [&](int& rc) {
        Statement st(r.db, "DELETE FROM vals WHERE hive = ?1 AND key = ?2 AND folded = ?3");
        st.bind(1, key.hive);
        st.bind(2, key.path);
        st.bind(3, fold(text(valueName)));
        if (stepFailed(st, rc)) {
            return ERROR_CANTWRITE;
        }
        return sqlite3_changes(r.db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

namespace {

// Deletes subKey below hKey: with its whole tree, or only when it has no subkeys. With an empty
// subKey a tree deletion clears the key hKey itself of its values and subkeys.
LONG deleteKey(HKEY hKey, const char* subKey, bool tree) {
    if (!subKey && !tree) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef target;
    if (const LONG e = resolve(r, hKey, target)) {
        return e;
    }
    std::vector<std::string> names;
    if (!splitPath(subKey, names)) {
        return ERROR_BAD_PATHNAME;
    }
    const bool keepTarget = tree && names.empty();
    if (names.empty() && !keepTarget && target.path.empty()) {
        return ERROR_ACCESS_DENIED; // a hive cannot be deleted
    }
    for (const auto& name : names) {
        target.path = childPath(target.path, name);
    }
    if (const State s = ensureOpen(r); s != State::Ready) {
        return writeRefusal(s);
    }
    const std::string prefix = target.path.empty() ? std::string() : target.path + '\\';
    return writeTransaction(r, [&](int& rc) {
        bool exists = false;
        if ((rc = keyExists(r.db, target, exists)) != SQLITE_OK || !exists) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (!tree) {
            Statement children(r.db, "SELECT 1 FROM keys WHERE hive = ?1 AND parent = ?2");
            children.bind(1, target.hive);
            children.bind(2, target.path);
            const int s = children.step();
            if (s == SQLITE_ROW) {
                return ERROR_ACCESS_DENIED;
            }
            if (s != SQLITE_DONE) {
                rc = s;
                return ERROR_CANTWRITE;
            }
        }
        // Everything beneath the key (below a hive's root, every row of the hive), then the key
        // itself with its values unless it is to stay.
        const std::string beneathKeys =
            target.path.empty() ? "1" : "substr(path, 1, length(?3)) = ?3";
        const std::string beneathVals =
            target.path.empty() ? "1" : "substr(key, 1, length(?3)) = ?3";
        const std::string keysSql = "DELETE FROM keys WHERE hive = ?1 AND (" +
                                    std::string(keepTarget ? "0" : "path = ?2") + " OR " +
                                    beneathKeys + ")";
        const std::string valsSql =
            "DELETE FROM vals WHERE hive = ?1 AND (key = ?2 OR " + beneathVals + ")";
        Statement keys(r.db, keysSql.c_str());
        Statement vals(r.db, valsSql.c_str());
        for (Statement* st : {&keys, &vals}) {
            st->bind(1, target.hive);
            st->bind(2, target.path);
            st->bind(3, prefix);
        }
        return stepFailed(keys, rc) || stepFailed(vals, rc) ? ERROR_CANTWRITE : ERROR_SUCCESS;
    });
}

} // namespace

LONG RegDeleteKeyA(HKEY hKey, const char* subKey) {
    return deleteKey(hKey, subKey, false);
}

LONG RegDeleteTreeA(HKEY hKey, const char* subKey) {
    return deleteKey(hKey, subKey, true);
}

LONG RegEnumKeyA(HKEY hKey, DWORD index, char* name, DWORD cchName) {
    if (!name) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef key;
    if (const LONG e = resolve(r, hKey, key)) {
        return e;
    }
    if (ensureOpen(r) != State::Ready) {
        return ERROR_NO_MORE_ITEMS;
    }
    Statement st(r.db, "SELECT name FROM keys WHERE hive = ?1 AND parent = ?2"
                       " ORDER BY path LIMIT 1 OFFSET ?3");
    st.bind(1, key.hive);
    st.bind(2, key.path);
    st.bind(3, static_cast<sqlite3_int64>(index));
    const int rc = st.step();
    if (rc == SQLITE_DONE) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) {
        return failure(r, rc, false);
    }
    const std::string found = st.bytes(0);
    if (found.size() >= cchName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, found.c_str(), found.size() + 1);
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD index, char* name, DWORD* cchName, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* cbData) {
    if (!name || !cchName || reserved || (data && !cbData)) {
        return ERROR_INVALID_PARAMETER;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    KeyRef key;
    if (const LONG e = resolve(r, hKey, key)) {
        return e;
    }
    if (ensureOpen(r) != State::Ready) {
        return ERROR_NO_MORE_ITEMS;
    }
    Statement st(r.db, "SELECT name, type, data FROM vals WHERE hive = ?1 AND key = ?2"
                       " ORDER BY rowid LIMIT 1 OFFSET ?3");
    st.bind(1, key.hive);
    st.bind(2, key.path);
    st.bind(3, static_cast<sqlite3_int64>(index));
    const int rc = st.step();
    if (rc == SQLITE_DONE) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) {
        return failure(r, rc, false);
    }
    const std::string found = st.bytes(0);
    if (found.size() >= *cchName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, found.c_str(), found.size() + 1);
    *cchName = static_cast<DWORD>(found.size());
    if (type) {
        *type = static_cast<DWORD>(st.integer(1));
    }
    return copyOut(st.bytes(2), data, cbData);
}

LONG RegCloseKey(HKEY hKey) {
    if (isHive(hKey)) {
        return ERROR_SUCCESS;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.handles.erase(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

bool RegistryUsable(std::string& file, std::string& reason) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.state == State::Ready) {
        file = r.file;
        return true;
    }
    r.close();
    file = storePath();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            // A fresh installation: the store is made on first use, or, for a user who may not
            // make it, its settings stay the defaults and saving them fails as it would anyway.
            return true;
        }
        reason = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        reason = "it is a folder";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        reason = "it is not a regular file";
        return false;
    }
    // The database library would say no more than that it cannot open the file.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    ::close(fd);
    r.quiet = true;
    const State s = ensureOpen(r);
    r.quiet = false;
    if (s == State::Ready) {
        return true;
    }
    reason = r.fault;
    return false;
}

RegistryBatch::RegistryBatch() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    ++r.batches;
}

RegistryBatch::~RegistryBatch() {
    Commit();
}

LONG RegistryBatch::Commit() {
    if (!std::exchange(open_, false)) {
        return ERROR_SUCCESS;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (--r.batches > 0) {
        return r.batchFailure;
    }
    LONG answer = std::exchange(r.batchFailure, ERROR_SUCCESS);
    if (!std::exchange(r.batchBegun, false)) {
        return answer;
    }
    if (const int rc = run(r.db, "COMMIT"); rc != SQLITE_OK) {
        answer = failure(r, rc, true);
        if (!sqlite3_get_autocommit(r.db)) {
            run(r.db, "ROLLBACK"); // a commit that found the file busy leaves it open
        }
    } else {
        writeThrough(r);
    }
    return answer;
}

void RegistryReopenForTests() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.close();
}
