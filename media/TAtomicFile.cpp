#include "media/TAtomicFile.h"

#include "media/FileNameBytes.h"
#include "media/UnicodeProtocol.h"


#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char TempPrefix[] = ".snipwave-";
constexpr char TempSuffix[] = ".part";
constexpr size_t TempPrefixLength = sizeof(TempPrefix) - 1;
constexpr size_t TempSuffixLength = sizeof(TempSuffix) - 1;
// Bytes of the target's own name kept in the temporary's, so prefix, pid and random part still
// fit in NAME_MAX.
constexpr int MaxNameBytes = NAME_MAX - 48;

QByteArray FolderOf(const QByteArray& path) {
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QByteArray BaseNameOf(const QByteArray& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

// The file a write to path would really reach: a link is followed (also one whose target does
// not exist yet), so the link itself stays a link and its target gets the new data.
QByteArray ResolveLinks(const QByteArray& path) {
    QByteArray current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(current.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(current.constData(), buf, sizeof buf - 1);
        if (n <= 0)
            return current;
        const QByteArray link(buf, int(n));
        current = link.startsWith('/') ? link : FolderOf(current) + '/' + link;
    }
    return current;
}

bool ProcessIsGone(long pid) {
    if (pid <= 0 || pid > INT_MAX)
        return false;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

void SyncFolder(const QByteArray& folder) {
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // A folder that cannot be synced (some network file systems) still has the entry.
    ::fsync(fd);
    ::close(fd);
}

// rename() that never replaces: RENAME_NOREPLACE where the file system has it, otherwise
// link + unlink, which fails with EEXIST just the same.
bool RenameNoReplace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from, to) != 0)
        return false;
    ::unlink(from);
    return true;
}

} // namespace

TAtomicFile::~TAtomicFile() {
    Discard();
}

TAtomicFile::TAtomicFile(TAtomicFile&& other) noexcept
    : FTarget(std::exchange(other.FTarget, {})), FTemp(std::exchange(other.FTemp, {})) {}

TAtomicFile& TAtomicFile::operator=(TAtomicFile&& other) noexcept {
    if (this != &other) {
        Discard();
        FTarget = std::exchange(other.FTarget, {});
        FTemp = std::exchange(other.FTemp, {});
    }
    return *this;
}

bool TAtomicFile::Applies(const QString& fileName) {
    if (fileName.isEmpty() || fileName.contains(QChar(0)))
        return false;
    // "pipe:1" and the like go to libavformat as URLs; they are not files of ours.
    const qsizetype colon = fileName.indexOf(QLatin1Char(':'));
    const qsizetype slash = fileName.indexOf(QLatin1Char('/'));
    if (colon >= 0 && (slash < 0 || colon < slash) && !NeedsWideProtocol(fileName))
        return false;
    struct stat st {};
    const QByteArray path = EncodeFileName(fileName);
    if (::stat(path.constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

void TAtomicFile::SweepStale(const QByteArray& folder) {
    DIR* dir = ::opendir(folder.constData());
    if (dir == nullptr)
        return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const size_t length = std::strlen(entry->d_name);
        if (length <= TempPrefixLength + TempSuffixLength ||
            std::strncmp(entry->d_name, TempPrefix, TempPrefixLength) != 0 ||
            std::strcmp(entry->d_name + length - TempSuffixLength, TempSuffix) != 0)
            continue;
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(entry->d_name + TempPrefixLength, &end, 10);
        if (errno != 0 || end == entry->d_name + TempPrefixLength || *end != '-')
            continue;
        if (pid != long(::getpid()) && ProcessIsGone(pid))
            ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

int TAtomicFile::Create(const QString& target) {
    Discard();
    const QByteArray resolved = ResolveLinks(EncodeFileName(target));
    QByteArray name = BaseNameOf(resolved);
    // Refused now rather than by the rename after the whole run.
    if (name.size() > NAME_MAX || resolved.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // A write-protected file stays protected: writing in place would have been refused too.
    if (::access(resolved.constData(), F_OK) == 0 && ::access(resolved.constData(), W_OK) != 0)
        return -1;
    FTarget = resolved;
    const QByteArray folder = FolderOf(FTarget);
    SweepStale(folder);
    if (name.size() > MaxNameBytes)
        name.truncate(MaxNameBytes);
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned random = 0;
        if (::getrandom(&random, sizeof random, 0) != sizeof random)
            random = unsigned(::getpid()) * 2654435761u + unsigned(attempt);
        char middle[48];
        std::snprintf(middle, sizeof middle, "%ld-%08x-", long(::getpid()), random);
        const QByteArray temp =
            folder + '/' + TempPrefix + QByteArray(middle) + name + QByteArray(TempSuffix);
        int fd;
        do
            fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            FTemp = temp;
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

bool TAtomicFile::Commit(bool replace) {
    if (FTemp.isEmpty()) {
        errno = ENOENT;
        return false;
    }
    // A replaced file keeps its permission bits and, where we may set them, its owners.
    struct stat st {};
    if (::stat(FTarget.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
            (void)!::chown(FTemp.constData(), st.st_uid, st.st_gid);
        ::chmod(FTemp.constData(), st.st_mode & 07777);
    }
    const bool done = replace ? ::rename(FTemp.constData(), FTarget.constData()) == 0
                              : RenameNoReplace(FTemp.constData(), FTarget.constData());
    if (!done) {
        const int saved = errno;
        Discard();
        errno = saved;
        return false;
    }
    FTemp.clear();
    SyncFolder(FolderOf(FTarget));
    return true;
}

void TAtomicFile::Discard() {
    if (FTemp.isEmpty())
        return;
    const int saved = errno;
    ::unlink(FTemp.constData());
    FTemp.clear();
    errno = saved;
}
