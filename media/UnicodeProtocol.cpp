#include "media/UnicodeProtocol.h"

#include "media/FFEntryPoints.h"
#include "media/FileNameBytes.h"

#include <QSet>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Prefixes that have always been handed on as URLs. Once avformat is loaded, one of them stays a
// URL only when the library really has that protocol; otherwise the name can only mean a file.
const QString ClassicProtocols = QStringLiteral(":unicode:stream:gopher:http:pipe:rtp:tcp:udp:");
const QString OwnProtocol = QStringLiteral("unicode");
constexpr int WideURLPrefixLength = sizeof(WideURLPrefix) - 1;
// Bytes per read or write call of our I/O contexts.
constexpr int IOBufferSize = 64 * 1024;

// Guards LibraryProtocols and ProtocolsCollected, written once by RegisterUnicodeProtocol and
// read by NeedsWideProtocol on any thread.
std::mutex ProtocolLock;
QSet<QString> LibraryProtocols;
bool ProtocolsCollected = false;

bool IsKnownProtocol(const QString& prefix) {
    if (!ClassicProtocols.contains(QLatin1Char(':') + prefix + QLatin1Char(':')))
        return false;
    if (prefix == OwnProtocol)
        return true;
    std::lock_guard lock(ProtocolLock);
    return !ProtocolsCollected || LibraryProtocols.contains(prefix);
}

// The state behind one of our I/O contexts: the opaque pointer of its callbacks.
struct TWideFile {
    int Fd = -1;
};

int ReadWide(void* opaque, uint8_t* buf, int size) {
    const int fd = static_cast<TWideFile*>(opaque)->Fd;
    for (;;) {
        const ssize_t n = ::read(fd, buf, static_cast<size_t>(size));
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

// A short write is retried until everything is out; a failure is handed back so that avio
// records it in the context's error and the muxer's next call reports it.
int WriteWide(void* opaque, uint8_t* buf, int size) {
    const int fd = static_cast<TWideFile*>(opaque)->Fd;
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, buf + done, static_cast<size_t>(size - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        if (n == 0)
            return AVERROR(EIO);
        done += static_cast<int>(n);
    }
    return done;
}

int64_t SeekWide(void* opaque, int64_t offset, int whence) {
    const int fd = static_cast<TWideFile*>(opaque)->Fd;
    if (whence & AVSEEK_SIZE) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return AVERROR(errno);
        return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : AVERROR(ENOSYS);
    }
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return AVERROR(EINVAL);
    const off_t pos = ::lseek(fd, static_cast<off_t>(offset), whence);
    return pos < 0 ? AVERROR(errno) : static_cast<int64_t>(pos);
}

int CloseFd(int fd) {
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    return ::close(fd) == 0 ? 0 : AVERROR(errno);
}

int OpenWideFile(const QString& fileName, int avioFlags, int* fd) {
    // A name whose bytes are not known would open some other file.
    if (fileName.isEmpty() || !CanEncodeFileName(fileName))
        return AVERROR(EINVAL);
    const QByteArray path = EncodeFileName(fileName);
    int flags = O_CLOEXEC;
    if ((avioFlags & AVIO_FLAG_READ_WRITE) == AVIO_FLAG_READ_WRITE)
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    else if (avioFlags & AVIO_FLAG_WRITE)
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
    else
        flags |= O_RDONLY;
    int handle;
    do
        handle = ::open(path.constData(), flags, 0666);
    while (handle < 0 && errno == EINTR);
    if (handle < 0)
        return AVERROR(errno);
    struct stat st {};
    if (::fstat(handle, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(handle);
        return AVERROR(EISDIR);
    }
    *fd = handle;
    return 0;
}

// Wraps fd (which it owns from here on) in one of our I/O contexts.
int WrapDescriptor(int fd, int avioFlags, AVIOContext** pb) {
    auto* file = new (std::nothrow) TWideFile{fd};
    auto* buffer = static_cast<unsigned char*>(ff::av_malloc(IOBufferSize));
    const bool writing = (avioFlags & AVIO_FLAG_WRITE) != 0;
    const bool reading = (avioFlags & AVIO_FLAG_READ) != 0 || !writing;
    AVIOContext* ctx = nullptr;
    if (file != nullptr && buffer != nullptr)
        ctx = ff::avio_alloc_context(buffer, IOBufferSize, writing ? 1 : 0, file,
                                     reading ? ReadWide : nullptr, writing ? WriteWide : nullptr,
                                     SeekWide);
    if (ctx == nullptr) {
        ff::av_free(buffer);
        delete file;
        ::close(fd);
        return AVERROR(ENOMEM);
    }
    *pb = ctx;
    return 0;
}

int OpenWideIO(const QString& fileName, int avioFlags, AVIOContext** pb) {
    *pb = nullptr;
    int fd = -1;
    int ret = OpenWideFile(fileName, avioFlags, &fd);
    if (ret < 0)
        return ret;
    return WrapDescriptor(fd, avioFlags, pb);
}

// Whether name goes to libavformat as a URL of one of its protocols rather than as a file.
bool IsProtocolURL(const QString& name) {
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    const qsizetype slash = name.indexOf(QLatin1Char('/'));
    return colon >= 0 && (slash < 0 || colon < slash) && !NeedsWideProtocol(name);
}

// A directory, FIFO, device or socket is no audio file: a FIFO without a writer would block the
// open for ever and a device such as /dev/zero never ends. stat() itself never blocks; a name
// that cannot be examined is left to the open, which reports why.
int CheckRegularInput(const QString& name) {
    if (IsProtocolURL(name))
        return 0;
    struct stat st {};
    if (::stat(EncodeFileName(name).constData(), &st) != 0)
        return 0;
    return S_ISREG(st.st_mode) ? 0 : AVERROR_NOT_REGULAR_FILE;
}

bool FormatHasNoFile(const AVFormatContext* ctx) {
    return ctx->oformat != nullptr && (ctx->oformat->flags & AVFMT_NOFILE) != 0;
}

} // namespace

bool NeedsWideProtocol(const QString& fileName) {
    const qsizetype colon = fileName.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        if (IsKnownProtocol(fileName.left(colon)))
            return false;
        const qsizetype slash = fileName.indexOf(QLatin1Char('/'));
        if (slash < 0 || colon < slash)
            return true;
    }
    // libavformat's subfile protocol is recognised by this prefix even with the ":" later on.
    if (fileName.startsWith(QLatin1String("subfile,")))
        return true;
    return QString::fromLocal8Bit(fileName.toLocal8Bit()) != fileName;
}

QByteArray FileNameToURL(const QString& fileName) {
    if (NeedsWideProtocol(fileName))
        return QByteArray(WideURLPrefix) + EncodeFileName(fileName);
    return fileName.toLocal8Bit();
}

bool IsWideURL(const char* url) {
    return url != nullptr && std::strncmp(url, WideURLPrefix, WideURLPrefixLength) == 0 &&
           url[WideURLPrefixLength] != '\0';
}

bool IsWideURL(const QByteArray& url) {
    return url.size() > WideURLPrefixLength && url.startsWith(WideURLPrefix);
}

QString URLToFileName(const QByteArray& url) {
    if (!IsWideURL(url))
        return DecodeFileName(url);
    return DecodeFileName(url.mid(WideURLPrefixLength));
}

QString URLToFileName(const char* url) {
    return url == nullptr ? QString() : URLToFileName(QByteArray(url));
}

void RegisterUnicodeProtocol() {
    std::lock_guard lock(ProtocolLock);
    if (ProtocolsCollected || ff::avio_enum_protocols == nullptr)
        return;
    for (int output = 0; output <= 1; ++output) {
        void* opaque = nullptr;
        while (const char* name = ff::avio_enum_protocols(&opaque, output))
            LibraryProtocols.insert(QString::fromLatin1(name));
    }
    ProtocolsCollected = true;
}

bool IsWideIOContext(const AVIOContext* pb) {
    return pb != nullptr && pb->seek == SeekWide;
}

void FreeIOContext(AVIOContext** pb) {
    if (pb == nullptr || *pb == nullptr)
        return;
    if (IsWideIOContext(*pb)) {
        auto* file = static_cast<TWideFile*>((*pb)->opaque);
        if (file->Fd >= 0)
            ::close(file->Fd);
        delete file;
        (*pb)->opaque = nullptr;
    }
    // libavformat may have swapped the buffer for one of its own; free whatever is there now.
    ff::av_freep(&(*pb)->buffer);
    ff::avio_context_free(pb);
}

int OpenIOContext(AVIOContext** pb, const QString& name, int avioFlags,
                  const AVIOInterruptCB* interrupt, AVDictionary** options) {
    if (pb == nullptr)
        return AVERROR(EINVAL);
    *pb = nullptr;
    if (name.contains(QChar(0)))
        return AVERROR(EINVAL);
    const QByteArray url = FileNameToURL(name);
    if (IsWideURL(url))
        return OpenWideIO(URLToFileName(url), avioFlags, pb);
    return ff::avio_open2(pb, url.constData(), avioFlags, interrupt, options);
}

int CloseIOContext(AVIOContext** pb) {
    if (pb == nullptr || *pb == nullptr)
        return 0;
    if (!IsWideIOContext(*pb))
        return ff::avio_closep(pb);
    if ((*pb)->write_flag)
        ff::avio_flush(*pb);
    int ret = (*pb)->error;
    auto* file = static_cast<TWideFile*>((*pb)->opaque);
    const int closed = CloseFd(file->Fd);
    file->Fd = -1;
    if (ret >= 0)
        ret = closed;
    FreeIOContext(pb);
    return ret;
}

int OpenInputFile(AVFormatContext** ic, const QString& name, const AVInputFormat* fmt,
                  AVDictionary** options) {
    if (ic == nullptr)
        return AVERROR(EINVAL);
    const QByteArray url = FileNameToURL(name);
    // A context the caller prepared with I/O of its own is theirs to feed.
    const bool callerIO = *ic != nullptr && (*ic)->pb != nullptr;
    if (!callerIO && !name.contains(QChar(0))) {
        if (const int refused = CheckRegularInput(name); refused < 0) {
            if (*ic != nullptr)
                ff::avformat_free_context(*ic);
            *ic = nullptr;
            return refused;
        }
    }
    if (!name.contains(QChar(0)) && (!IsWideURL(url) || callerIO))
        return ff::avformat_open_input(ic, url.constData(), fmt, options);

    AVIOContext* pb = nullptr;
    int ret = name.contains(QChar(0)) ? AVERROR(EINVAL)
                                      : OpenWideIO(URLToFileName(url), AVIO_FLAG_READ, &pb);
    AVFormatContext* ctx = *ic;
    if (ret >= 0 && ctx == nullptr) {
        ctx = ff::avformat_alloc_context();
        if (ctx == nullptr)
            ret = AVERROR(ENOMEM);
    }
    if (ret < 0) {
        FreeIOContext(&pb);
        // Like avformat_open_input, a failed open leaves no context behind.
        if (ctx != nullptr)
            ff::avformat_free_context(ctx);
        *ic = nullptr;
        return ret;
    }
    ctx->pb = pb;
    ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    *ic = ctx;
    // The wrapped URL doubles as the probe's extension hint and stays in ctx->url, from where
    // URLToFileName gives the name back.
    ret = ff::avformat_open_input(ic, url.constData(), fmt, options);
    if (ret < 0)
        FreeIOContext(&pb); // libavformat freed the context but never frees custom I/O
    return ret;
}

void CloseInputFile(AVFormatContext** ic) {
    if (ic == nullptr || *ic == nullptr)
        return;
    AVIOContext* pb = (*ic)->pb;
    const bool ours = IsWideIOContext(pb) && ((*ic)->flags & AVFMT_FLAG_CUSTOM_IO) != 0;
    ff::avformat_close_input(ic);
    if (ours)
        FreeIOContext(&pb);
}

int OpenOutputFile(AVFormatContext* oc, const QString& name, AVDictionary** options) {
    if (oc == nullptr || oc->pb != nullptr)
        return AVERROR(EINVAL);
    if (FormatHasNoFile(oc))
        return 0;
    const int ret = OpenIOContext(&oc->pb, name, AVIO_FLAG_WRITE, &oc->interrupt_callback, options);
    if (ret < 0)
        return ret;
    if (IsWideIOContext(oc->pb))
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (oc->url == nullptr || oc->url[0] == '\0') {
        ff::av_freep(&oc->url);
        oc->url = ff::av_strdup(FileNameToURL(name).constData());
    }
    return 0;
}

int OpenOutputDescriptor(AVFormatContext* oc, int fd, const QString& name) {
    if (oc == nullptr || oc->pb != nullptr || fd < 0) {
        if (fd >= 0)
            ::close(fd);
        return AVERROR(EINVAL);
    }
    const int ret = WrapDescriptor(fd, AVIO_FLAG_WRITE, &oc->pb);
    if (ret < 0)
        return ret;
    oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (oc->url == nullptr || oc->url[0] == '\0') {
        ff::av_freep(&oc->url);
        oc->url = ff::av_strdup(FileNameToURL(name).constData());
    }
    return 0;
}

int SyncOutputIO(AVFormatContext* oc) {
    if (oc == nullptr || oc->pb == nullptr || FormatHasNoFile(oc))
        return 0;
    ff::avio_flush(oc->pb);
    if (oc->pb->error < 0)
        return oc->pb->error;
    if (!IsWideIOContext(oc->pb))
        return 0;
    const int fd = static_cast<TWideFile*>(oc->pb->opaque)->Fd;
    int ret;
    do
        ret = ::fsync(fd);
    while (ret != 0 && errno == EINTR);
    // Devices and pipes cannot be synced and need not be.
    return ret == 0 || errno == EINVAL || errno == EROFS ? 0 : AVERROR(errno);
}

int CloseOutputIO(AVFormatContext* oc) {
    if (oc == nullptr || oc->pb == nullptr || FormatHasNoFile(oc))
        return 0;
    if (IsWideIOContext(oc->pb)) {
        oc->flags &= ~AVFMT_FLAG_CUSTOM_IO;
        return CloseIOContext(&oc->pb);
    }
    // A custom I/O context the caller attached stays the caller's.
    if (oc->flags & AVFMT_FLAG_CUSTOM_IO)
        return 0;
    return ff::avio_closep(&oc->pb);
}

int CloseOutputFile(AVFormatContext** oc) {
    if (oc == nullptr || *oc == nullptr)
        return 0;
    const int ret = CloseOutputIO(*oc);
    ff::avformat_free_context(*oc);
    *oc = nullptr;
    return ret;
}
