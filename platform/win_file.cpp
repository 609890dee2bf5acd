#include "platform/win_file.h"

#include <QHash>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;
thread_local int lastErrno = 0;

// Tests only: where writes stop as on a full medium, and the error they then fail with.
std::atomic<std::int64_t> writeLimit{-1};
std::atomic<int> writeLimitError{0};
std::atomic<std::int64_t> readFailureFrom{-1};
std::atomic<int> readFailureError{0};
std::atomic<int> closeFailureError{0};

// Where names are resolved from: the working directory for plain paths, or an opened root
// directory that nothing may leave.
struct Anchor {
    int dirFd = AT_FDCWD;
    std::uint64_t resolve = 0;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

DWORD FromErrno(int e) {
    switch (e) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EXDEV: // a ".." or a link that leads out of the root
    case EISDIR:
    case ENXIO:
    case ENODEV:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EAGAIN:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EBUSY:
        return ERROR_BUSY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool FailErrno(int e) {
    lastError = FromErrno(e);
    lastErrno = e;
    return false;
}

HANDLE FailOpen(int e) {
    lastError = FromErrno(e);
    return INVALID_HANDLE_VALUE;
}

// Handles we gave out, by descriptor, so that a stale or foreign handle is refused rather than
// closing a descriptor that now belongs to somebody else. Each keeps its own file position:
// reads and writes go to it with pread and pwrite, so asking for or moving the position (once
// per block in a transfer) costs no system call.
struct OwnedFd {
    bool owned = false;
    std::int64_t position = 0;
};
std::mutex handlesMutex;
std::vector<OwnedFd> ownedFds;

HANDLE Adopt(int fd) {
    std::lock_guard lock(handlesMutex);
    if (static_cast<size_t>(fd) >= ownedFds.size())
        ownedFds.resize(static_cast<size_t>(fd) + 64);
    ownedFds[static_cast<size_t>(fd)] = OwnedFd{true, 0};
    // fd + 1 keeps every valid handle away from 0 and from INVALID_HANDLE_VALUE.
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

int FdOf(HANDLE handle) {
    const std::intptr_t fd = reinterpret_cast<std::intptr_t>(handle) - 1;
    std::lock_guard lock(handlesMutex);
    if (fd < 0 || static_cast<std::uintmax_t>(fd) >= ownedFds.size() ||
        !ownedFds[static_cast<size_t>(fd)].owned) {
        lastError = ERROR_INVALID_HANDLE;
        return -1;
    }
    return static_cast<int>(fd);
}

std::int64_t PositionOf(int fd) {
    std::lock_guard lock(handlesMutex);
    return ownedFds[static_cast<size_t>(fd)].position;
}

void SetPositionOf(int fd, std::int64_t position) {
    std::lock_guard lock(handlesMutex);
    ownedFds[static_cast<size_t>(fd)].position = position;
}

void Disown(int fd) {
    std::lock_guard lock(handlesMutex);
    ownedFds[static_cast<size_t>(fd)].owned = false;
}

// Opens `path` from the anchor; -errno on failure.
int ResolveOpen(const Anchor& anchor, const char* path, std::uint64_t flags, mode_t mode = 0) {
    open_how how{};
    how.flags = flags | O_CLOEXEC;
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = anchor.resolve;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const long fd = ::syscall(SYS_openat2, anchor.dirFd, path, &how, sizeof how);
        if (fd >= 0)
            return static_cast<int>(fd);
        // EAGAIN: a rename raced with a confined lookup; the kernel asks us to try again.
        if (errno != EINTR && !(errno == EAGAIN && anchor.resolve != 0))
            return -errno;
    }
    return -EAGAIN;
}

// Windows tells a missing file (2) from a missing directory on the way to it (3).
DWORD MissingCode(const Anchor& anchor, const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    QByteArray parent = slash < 0 ? QByteArray(".") : path.left(slash);
    if (slash == 0)
        parent = "/";
    const Fd dir(ResolveOpen(anchor, parent.constData(), O_PATH | O_DIRECTORY));
    return dir.get() >= 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// Client names use both separators; the file system knows only "/". Empty is the anchor itself.
bool NormalisedName(const QByteArray& name, QByteArray& out) {
    if (name.contains('\0')) {
        lastError = ERROR_INVALID_NAME;
        return false;
    }
    out = name;
    out.replace('\\', '/');
    if (out.isEmpty())
        out = ".";
    return true;
}

bool HasWildcard(QByteArrayView name) {
    return name.contains('*') || name.contains('?');
}

bool IsReadOnly(const struct stat& st) {
    return (st.st_mode & 0222) == 0;
}

// Takes the whole-file lock that stands for the share mode; false when another open holds a
// conflicting one.
bool TakeShareLock(int fd, bool writes, DWORD shareMode) {
    short type;
    if (writes)
        type = F_WRLCK;
    else if (!(shareMode & FILE_SHARE_WRITE))
        type = F_RDLCK;
    else
        return true;
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno == EINTR)
            continue;
        lastError =
            (errno == EAGAIN || errno == EACCES) ? ERROR_SHARING_VIOLATION : FromErrno(errno);
        return false;
    }
    return true;
}

HANDLE OpenFile(const Anchor& anchor, const QByteArray& name, DWORD access, DWORD shareMode,
                DWORD disposition, DWORD flags) {
    QByteArray path;
    if (!NormalisedName(name, path))
        return INVALID_HANDLE_VALUE;
    if (HasWildcard(path)) {
        lastError = ERROR_INVALID_NAME;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    const bool writes = (access & GENERIC_WRITE) || truncates;
    const bool creates = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;

    // Look before opening: opening a device or a fifo can block or act on hardware, and root
    // would get write access to a read-only file.
    bool existed = false;
    {
        const Fd probe(ResolveOpen(anchor, path.constData(), O_PATH));
        if (probe.get() >= 0) {
            struct stat st {};
            if (::fstat(probe.get(), &st) != 0)
                return FailOpen(errno);
            if (!S_ISREG(st.st_mode) || (writes && IsReadOnly(st))) {
                lastError = ERROR_ACCESS_DENIED;
                return INVALID_HANDLE_VALUE;
            }
            if (disposition == CREATE_NEW) {
                lastError = ERROR_FILE_EXISTS;
                return INVALID_HANDLE_VALUE;
            }
            existed = true;
        } else if (probe.get() != -ENOENT) {
            return FailOpen(-probe.get());
        } else if (!creates) {
            lastError = MissingCode(anchor, path);
            return INVALID_HANDLE_VALUE;
        }
    }

    std::uint64_t openFlags = O_NOCTTY | O_NONBLOCK;
    if (writes)
        openFlags |= (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
    else
        openFlags |= O_RDONLY;
    if (creates)
        openFlags |= O_CREAT;
    if (disposition == CREATE_NEW)
        openFlags |= O_EXCL;
    const int opened = ResolveOpen(anchor, path.constData(), openFlags, 0644);
    if (opened < 0) {
        lastError = opened == -ENOENT ? MissingCode(anchor, path) : FromErrno(-opened);
        return INVALID_HANDLE_VALUE;
    }
    Fd fd(opened);

    // The file may have changed between the look and the open.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return FailOpen(errno);
    if (!S_ISREG(st.st_mode) || (writes && IsReadOnly(st))) {
        lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    if (!TakeShareLock(fd.get(), writes, shareMode))
        return INVALID_HANDLE_VALUE;
    // Truncate only once the lock is ours, so a refused open destroys nothing.
    if (truncates && st.st_size != 0 && ::ftruncate(fd.get(), 0) != 0)
        return FailOpen(errno);
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN)
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    lastError = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                    ? ERROR_ALREADY_EXISTS
                    : ERROR_SUCCESS;
    return Adopt(fd.release());
}

// Splits a normalised path into the directory to open and the last component.
void SplitLast(const QByteArray& path, QByteArray& parent, QByteArray& last) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) {
        parent = ".";
        last = path;
    } else {
        parent = slash == 0 ? QByteArray("/") : path.left(slash);
        last = path.mid(slash + 1);
    }
}

bool DeleteFile(const Anchor& anchor, const QByteArray& name) {
    QByteArray path;
    if (!NormalisedName(name, path))
        return false;
    QByteArray parent, last;
    SplitLast(path, parent, last);
    // A name that ends in a separator, or names "." or "..", is a directory.
    if (last.isEmpty() || last == "." || last == "..") {
        lastError = ERROR_ACCESS_DENIED;
        return false;
    }
    const Fd dir(ResolveOpen(anchor, parent.constData(), O_PATH | O_DIRECTORY));
    if (dir.get() < 0) {
        const int e = -dir.get();
        lastError = (e == ENOENT || e == ENOTDIR) ? ERROR_PATH_NOT_FOUND : FromErrno(e);
        return false;
    }
    struct stat st {};
    if (::fstatat(dir.get(), last.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FailErrno(errno);
    if (!S_ISLNK(st.st_mode)) {
        if (!S_ISREG(st.st_mode) || IsReadOnly(st)) {
            lastError = ERROR_ACCESS_DENIED;
            return false;
        }
        // Any share lock on the file means a handle holds it open.
        const Fd file(::openat(dir.get(), last.constData(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (file.get() >= 0) {
            struct stat now {};
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            // Replaced between the look and the open: somebody is busy with it.
            if (::fstat(file.get(), &now) == 0 &&
                (now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
                lastError = ERROR_SHARING_VIOLATION;
                return false;
            }
            if (::fcntl(file.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
                lastError = ERROR_SHARING_VIOLATION;
                return false;
            }
        }
    }
    if (::unlinkat(dir.get(), last.constData(), 0) != 0)
        return FailErrno(errno);
    lastError = ERROR_SUCCESS;
    return true;
}

// "*" matches any run, "?" any one byte; everything else only itself. Prepared once per search,
// so that a client's name costs one pass over itself and then time linear in each entry's
// length, however many "*" and "?" it holds: the pieces between stars match leftmost, found by a
// bit-parallel search, and the first and last pieces are anchored at the ends.
class NamePattern {
public:
    explicit NamePattern(QByteArrayView pattern) {
        QList<QByteArray> parts;
        parts.append(QByteArray());
        for (const char c : pattern) {
            if (c == '*') {
                parts.append(QByteArray());
            } else {
                parts.last() += c;
                ++fixed_;
            }
        }
        hasStar_ = parts.size() > 1;
        first_ = parts.first();
        last_ = hasStar_ ? parts.last() : QByteArray();
        // No entry name is longer than NAME_MAX: a pattern needing more never matches, and its
        // pieces need no search tables.
        if (fixed_ > NAME_MAX)
            return;
        for (qsizetype k = 1; k + 1 < parts.size(); ++k) {
            if (!parts[k].isEmpty())
                middles_.push_back(Piece(parts[k]));
        }
    }

    bool Matches(QByteArrayView name) const {
        if (fixed_ > NAME_MAX || name.size() < fixed_ || (!hasStar_ && name.size() != fixed_))
            return false;
        if (!At(first_, name, 0) || !At(last_, name, name.size() - last_.size()))
            return false;
        qsizetype from = first_.size();
        const qsizetype end = name.size() - last_.size();
        for (const Piece& piece : middles_) {
            from = piece.FindEnd(name, from, end);
            if (from < 0)
                return false;
        }
        return true;
    }

private:
    static bool At(const QByteArray& piece, QByteArrayView name, qsizetype at) {
        for (qsizetype k = 0; k < piece.size(); ++k) {
            if (piece[k] != '?' && piece[k] != name[at + k])
                return false;
        }
        return true;
    }

    // One piece between stars, with a mask of the positions each byte may take (shift-and).
    class Piece {
    public:
        explicit Piece(const QByteArray& bytes)
            : size_(bytes.size()), words_((bytes.size() + 63) / 64), masks_(256 * words_, 0) {
            for (qsizetype k = 0; k < size_; ++k) {
                const quint64 bit = quint64(1) << (k % 64);
                for (int c = 0; c < 256; ++c) {
                    if (bytes[k] == '?' || quint8(bytes[k]) == c)
                        masks_[c * words_ + k / 64] |= bit;
                }
            }
        }
        // The end of the piece's leftmost match within name[from, end), or -1.
        qsizetype FindEnd(QByteArrayView name, qsizetype from, qsizetype end) const {
            std::vector<quint64> state(words_, 0);
            const qsizetype top = size_ - 1;
            for (qsizetype n = from; n < end; ++n) {
                const quint64* mask = &masks_[quint8(name[n]) * words_];
                quint64 carry = 1;
                for (qsizetype w = 0; w < words_; ++w) {
                    const quint64 next = state[w] >> 63;
                    state[w] = ((state[w] << 1) | carry) & mask[w];
                    carry = next;
                }
                if (state[top / 64] & (quint64(1) << (top % 64)))
                    return n + 1;
            }
            return -1;
        }

    private:
        qsizetype size_;
        qsizetype words_;
        std::vector<quint64> masks_;
    };

    QByteArray first_;
    QByteArray last_;
    std::vector<Piece> middles_;
    qsizetype fixed_ = 0;
    bool hasStar_ = false;
};

bool IsPlainFile(const Anchor& anchor, const char* path) {
    const Fd fd(ResolveOpen(anchor, path, O_PATH));
    struct stat st {};
    return fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

int CountPlainFiles(const Anchor& anchor, const QByteArray& pattern, int limit) {
    QByteArray path;
    if (!NormalisedName(pattern, path))
        return 0;
    if (pattern.isEmpty())
        path.clear();
    QByteArray parent, last;
    SplitLast(path, parent, last);
    if (HasWildcard(parent)) {
        lastError = ERROR_INVALID_NAME;
        return 0;
    }
    // A literal name needs no listing, however large the directory.
    if (!last.isEmpty() && !HasWildcard(last)) {
        if (last.startsWith('.')) {
            lastError = ERROR_FILE_NOT_FOUND;
            return 0;
        }
        if (IsPlainFile(anchor, path.constData())) {
            lastError = ERROR_SUCCESS;
            return 1;
        }
        const Fd probe(ResolveOpen(anchor, path.constData(), O_PATH));
        const int e = probe.get() < 0 ? -probe.get() : 0;
        lastError = (e == 0 || e == ENOENT) ? MissingCode(anchor, path) : FromErrno(e);
        return 0;
    }

    const int dirFd = ResolveOpen(anchor, parent.constData(), O_RDONLY | O_DIRECTORY);
    if (dirFd < 0) {
        const int e = -dirFd;
        lastError = (e == ENOENT || e == ENOTDIR) ? ERROR_PATH_NOT_FOUND : FromErrno(e);
        return 0;
    }
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        FailErrno(errno);
        return 0;
    }
    const NamePattern matcher(last);
    int count = 0;
    while (count < limit) {
        const dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        const QByteArrayView entryName(entry->d_name);
        if (entryName.startsWith('.') || !(last.isEmpty() || matcher.Matches(entryName)))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
        }
        // A link counts when it leads to a regular file without leaving the root.
        if (type == DT_REG ||
            (type == DT_LNK && IsPlainFile(anchor, (parent + '/' + entry->d_name).constData())))
            ++count;
    }
    ::closedir(dir);
    lastError = count > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    return count;
}

// Runs `body` with the root opened as the anchor; a root that cannot be opened fails the call.
template <typename Body>
auto WithRoot(const QByteArray& root, Body body, decltype(body(Anchor{})) failed) {
    if (root.contains('\0')) {
        lastError = ERROR_INVALID_NAME;
        return failed;
    }
    const Fd rootFd(::open(root.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.get() < 0) {
        lastError = (errno == ENOENT || errno == ENOTDIR) ? ERROR_PATH_NOT_FOUND : FromErrno(errno);
        return failed;
    }
    return body(Anchor{rootFd.get(), RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS});
}

} // namespace

HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* /*security*/,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE /*templ*/) {
    if (!path || !*path) {
        lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(Anchor{}, QByteArray(path), access, shareMode, disposition, flagsAndAttributes);
}

HANDLE CreateFileBeneath(const QByteArray& root, const QByteArray& relative, DWORD access,
                         DWORD shareMode, DWORD disposition, DWORD flagsAndAttributes) {
    return WithRoot(
        root,
        [&](const Anchor& anchor) {
            return OpenFile(anchor, relative, access, shareMode, disposition, flagsAndAttributes);
        },
        INVALID_HANDLE_VALUE);
}

bool ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
    if (read)
        *read = 0;
    lastErrno = EBADF;
    const int fd = FdOf(file);
    if (fd < 0)
        return false;
    if (overlapped || (!buffer && toRead)) {
        lastError = ERROR_INVALID_PARAMETER;
        lastErrno = EINVAL;
        return false;
    }
    const std::int64_t at = PositionOf(fd);
    const std::int64_t failFrom = readFailureFrom.load();
    DWORD done = 0;
    while (done < toRead) {
        ssize_t n = -1;
        if (failFrom >= 0 && at + done >= failFrom) {
            errno = readFailureError.load();
        } else {
            n = ::pread(fd, static_cast<char*>(buffer) + done, toRead - done, off_t(at + done));
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetPositionOf(fd, at + done);
            if (read)
                *read = done;
            return FailErrno(errno == EBADF ? EACCES : errno); // not opened for reading
        }
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    SetPositionOf(fd, at + done);
    if (read)
        *read = done;
    lastError = ERROR_SUCCESS;
    lastErrno = 0;
    return true;
}

bool WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
    if (written)
        *written = 0;
    lastErrno = EBADF;
    const int fd = FdOf(file);
    if (fd < 0)
        return false;
    if (overlapped || (!buffer && toWrite)) {
        lastError = ERROR_INVALID_PARAMETER;
        lastErrno = EINVAL;
        return false;
    }
    const std::int64_t at = PositionOf(fd);
    const std::int64_t limit = writeLimit.load();
    DWORD done = 0;
    while (done < toWrite) {
        size_t chunk = toWrite - done;
        if (limit >= 0 && at + done + std::int64_t(chunk) > limit) {
            chunk = at + done < limit ? size_t(limit - (at + done)) : 0;
        }
        ssize_t n = -1;
        if (chunk == 0) {
            errno = writeLimitError.load();
        } else {
            n = ::pwrite(fd, static_cast<const char*>(buffer) + done, chunk, off_t(at + done));
        }
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            // A write that stores nothing and names no error would otherwise repeat for ever.
            const int e = n == 0 ? EIO : errno == EBADF ? EACCES : errno; // EBADF: not for writing
            SetPositionOf(fd, at + done);
            if (written)
                *written = done;
            return FailErrno(e);
        }
        done += static_cast<DWORD>(n);
    }
    SetPositionOf(fd, at + done);
    if (written)
        *written = done;
    lastError = ERROR_SUCCESS;
    lastErrno = 0;
    return true;
}

void SetWriteLimitForTests(std::int64_t limit, int error) {
    writeLimitError = error;
    writeLimit = limit;
}

void SetReadFailureForTests(std::int64_t from, int error) {
    readFailureError = error;
    readFailureFrom = from;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
    const int fd = FdOf(file);
    if (fd < 0)
        return INVALID_SET_FILE_POINTER;
    const std::int64_t move =
        distanceHigh
            ? static_cast<std::int64_t>(
                  (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
                  static_cast<std::uint32_t>(distance))
            : static_cast<std::int64_t>(distance);
    std::int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = PositionOf(fd);
    } else if (method == FILE_END) {
        struct stat st {};
        base = ::fstat(fd, &st) == 0 ? st.st_size : -1;
    } else if (method != FILE_BEGIN) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    if (base < 0) {
        FailErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if ((move > 0 && base > INT64_MAX - move)) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    const std::int64_t target = base + move;
    if (target < 0) {
        lastError = ERROR_NEGATIVE_SEEK;
        return INVALID_SET_FILE_POINTER;
    }
    if (!distanceHigh && target > 0xFFFFFFFFLL) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    SetPositionOf(fd, target);
    if (distanceHigh)
        *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(target) >> 32);
    lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(target & 0xFFFFFFFF);
}

DWORD GetFileSize(HANDLE file, DWORD* high) {
    const int fd = FdOf(file);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            FailErrno(errno);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (high)
        *high = static_cast<DWORD>(size >> 32);
    lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(size & 0xFFFFFFFF);
}

bool SetEndOfFile(HANDLE file) {
    const int fd = FdOf(file);
    if (fd < 0) {
        return false;
    }
    const off_t here = off_t(PositionOf(fd));
    while (::ftruncate(fd, here) != 0) {
        if (errno != EINTR) {
            return FailErrno(errno);
        }
    }
    lastError = ERROR_SUCCESS;
    return true;
}

bool CloseHandle(HANDLE handle) {
    const int fd = FdOf(handle);
    if (fd < 0)
        return false;
    Disown(fd);
    // Linux releases the descriptor even when close reports an error, so never retry it.
    if (::close(fd) != 0 && errno != EINTR)
        return FailErrno(errno);
    if (const int e = closeFailureError.load())
        return FailErrno(e);
    lastError = ERROR_SUCCESS;
    lastErrno = 0;
    return true;
}

void SetCloseFailureForTests(int error) {
    closeFailureError = error;
}

void IgnoreFileSizeSignal() {
    ::signal(SIGXFSZ, SIG_IGN);
}

bool DeleteFileA(const char* path) {
    if (!path || !*path) {
        lastError = ERROR_PATH_NOT_FOUND;
        return false;
    }
    return DeleteFile(Anchor{}, QByteArray(path));
}

bool DeleteFileBeneath(const QByteArray& root, const QByteArray& relative) {
    return WithRoot(
        root, [&](const Anchor& anchor) { return DeleteFile(anchor, relative); }, false);
}

int CountPlainFilesBeneath(const QByteArray& root, const QByteArray& relativePattern, int limit) {
    return WithRoot(
        root, [&](const Anchor& anchor) { return CountPlainFiles(anchor, relativePattern, limit); },
        0);
}

DWORD GetLastError() {
    return lastError;
}

int LastErrno() {
    return lastErrno;
}

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error ? error : EIO));
}

void SetLastError(DWORD code) {
    lastError = code;
}

QString ErrorMessageText(DWORD code) {
    static const QHash<DWORD, QString> texts = {
        {ERROR_SUCCESS, QStringLiteral("The operation completed successfully.")},
        {ERROR_FILE_NOT_FOUND, QStringLiteral("The system cannot find the file specified.")},
        {ERROR_PATH_NOT_FOUND, QStringLiteral("The system cannot find the path specified.")},
        {ERROR_TOO_MANY_OPEN_FILES, QStringLiteral("The system cannot open the file.")},
        {ERROR_ACCESS_DENIED, QStringLiteral("Access is denied.")},
        {ERROR_INVALID_HANDLE, QStringLiteral("The handle is invalid.")},
        {ERROR_NOT_ENOUGH_MEMORY,
         QStringLiteral("Not enough memory resources are available to process this command.")},
        {ERROR_WRITE_PROTECT, QStringLiteral("The media is write protected.")},
        {ERROR_GEN_FAILURE, QStringLiteral("A device attached to the system is not functioning.")},
        {ERROR_SHARING_VIOLATION, QStringLiteral("The process cannot access the file because it "
                                                 "is being used by another process.")},
        {ERROR_NOT_SUPPORTED, QStringLiteral("The request is not supported.")},
        {ERROR_FILE_EXISTS, QStringLiteral("The file exists.")},
        {ERROR_INVALID_PARAMETER, QStringLiteral("The parameter is incorrect.")},
        {ERROR_DISK_FULL, QStringLiteral("There is not enough space on the disk.")},
        {ERROR_INVALID_NAME,
         QStringLiteral("The filename, directory name, or volume label syntax is incorrect.")},
        {ERROR_NEGATIVE_SEEK, QStringLiteral("An attempt was made to move the file pointer before "
                                             "the beginning of the file.")},
        {ERROR_BUSY, QStringLiteral("The requested resource is in use.")},
        {ERROR_ALREADY_EXISTS,
         QStringLiteral("Cannot create a file when that file already exists.")},
        {ERROR_FILENAME_EXCED_RANGE, QStringLiteral("The filename or extension is too long.")},
        {ERROR_FILE_TOO_LARGE,
         QStringLiteral("The file size exceeds the limit allowed and cannot be saved.")},
        {ERROR_IO_DEVICE, QStringLiteral("The request could not be performed because of an I/O "
                                         "device error.")},
        {ERROR_CANT_RESOLVE_FILENAME,
         QStringLiteral("The name of the file cannot be resolved by the system.")},
    };
    const auto it = texts.constFind(code);
    return it != texts.constEnd() ? *it : QStringLiteral("Unknown error %1.").arg(code);
}

} // namespace platform
