#pragma once

#include <QByteArray>
#include <QString>

#include <climits>
#include <cstdint>

// The file calls of the transfers, in the shape the program's code expects of kernel32, standing
// on POSIX. Names are bytes, one byte per character, never re-encoded; "\" and "/" are both
// directory separators. Windows share modes are kept with open-file-description locks (so they
// hold between processes too), and a file without any write permission bit counts as read-only
// for everybody, root included.
namespace platform {

using HANDLE = void*;
using DWORD = std::uint32_t;
using LONG = std::int32_t;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;

inline constexpr DWORD FILE_SHARE_READ = 1;
inline constexpr DWORD FILE_SHARE_WRITE = 2;
inline constexpr DWORD FILE_SHARE_DELETE = 4;

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;

inline constexpr DWORD FILE_BEGIN = 0;
inline constexpr DWORD FILE_CURRENT = 1;
inline constexpr DWORD FILE_END = 2;

inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
inline constexpr DWORD ERROR_IO_DEVICE = 1117;
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// Opens or creates a regular file. Share modes, as far as two lock kinds carry them: an open with
// write access takes an exclusive lock (it refuses, and is refused by, every other locking open);
// a read-only open that denies writers (no FILE_SHARE_WRITE) takes a shared lock, so readers share
// with each other; a read-only open that lets writers in takes none. Directories, devices, fifos
// and sockets are refused with ERROR_ACCESS_DENIED, names with "*" or "?" with ERROR_INVALID_NAME.
// A new file gets mode 0644 (less the umask). CREATE_ALWAYS and OPEN_ALWAYS leave
// ERROR_ALREADY_EXISTS as the last error when the file was there. Returns INVALID_HANDLE_VALUE on
// failure, with the reason in GetLastError().
HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templ);

// CreateFileA for `relative` resolved beneath `root`: a ".." or a symbolic link that leads out of
// the root is refused with ERROR_ACCESS_DENIED (absolute links included, even ones that point back
// inside), while relative links that stay inside are followed. An empty name is the root itself.
HANDLE CreateFileBeneath(const QByteArray& root, const QByteArray& relative, DWORD access,
                         DWORD shareMode, DWORD disposition, DWORD flagsAndAttributes);

// Reads at the current position; a read at the end succeeds with 0 bytes. No overlapped I/O.
bool ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
// Writes at the current position, all of it or fail: a write the medium cuts short (full disk,
// quota, I/O error) fails with the reason, and `written` still tells what got stored.
bool WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped);
// Tests only: from file offset `limit` on, writes store nothing and fail with errno `error`, as
// on a medium that is full there (a write across it stores what lies before). A negative limit
// lifts it.
void SetWriteLimitForTests(std::int64_t limit, int error);
// Tests only: from file offset `from` on, reads fail with errno `error`, as on a medium that
// cannot be read there. A negative offset lifts it.
void SetReadFailureForTests(std::int64_t from, int error);

// Moves the position. With `distanceHigh` null the distance is signed 32-bit and a new position
// beyond 32 bits fails; otherwise the two make one signed 64-bit distance and the new position's
// high half comes back through it. Returns the new position's low half, INVALID_SET_FILE_POINTER
// on failure (the last error then tells it from a real position of that value).
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);

// The size's low half; the high half goes to `high` when given.
DWORD GetFileSize(HANDLE file, DWORD* high);
// Cuts the file (open for writing) at its current position.
bool SetEndOfFile(HANDLE file);

// Releases the handle also when it fails; a failure (a network file system that reports a full
// disk only now, say) leaves its reason in LastErrno.
bool CloseHandle(HANDLE handle);
// Tests only: closes fail with errno `error` after releasing the handle, as where the medium
// reports a failure only at close; 0 lifts it.
void SetCloseFailureForTests(int error);
// A write past the process's file-size limit then fails with EFBIG instead of ending the
// process with SIGXFSZ.
void IgnoreFileSizeSignal();

// Deletes one file (a symbolic link itself, never its target); the name is literal, so "*" and "?"
// match only themselves. Refused: a file held open by a locking handle (ERROR_SHARING_VIOLATION),
// a read-only file and anything that is not a regular file or a link (ERROR_ACCESS_DENIED).
bool DeleteFileA(const char* path);
// DeleteFileA for `relative` beneath `root`, with the confinement of CreateFileBeneath.
bool DeleteFileBeneath(const QByteArray& root, const QByteArray& relative);

// The directory search of an existence test: the last component of `relativePattern` is a pattern
// where "*" matches any run of characters and "?" any one (case-sensitive), and an empty one
// matches everything. Counts plain files only: regular files, or links beneath the root to them,
// whose names do not start with "." (hidden). Returns 0 when nothing matches or the search fails;
// the last error then says which (ERROR_FILE_NOT_FOUND for no match). The search stops once it
// has found `limit` (an existence test needs one, not a listing of the whole directory).
int CountPlainFilesBeneath(const QByteArray& root, const QByteArray& relativePattern,
                           int limit = INT_MAX);

DWORD GetLastError();
void SetLastError(DWORD code);
// The system's error number (errno) behind the last failure of ReadFile or WriteFile, 0 after
// their success: the Windows code cannot tell a full disk from an exceeded quota, nor give the
// system's text.
int LastErrno();
// The system's own text for an error number, in the user's language; an I/O error's for 0, so a
// failure never reads as success.
QString ErrnoText(int error);

// The system's message text for an error code, as a user reads it.
QString ErrorMessageText(DWORD code);

} // namespace platform
