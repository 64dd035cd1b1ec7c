#include "fuzz/FuzzSupport.h"

#include "media/FFLoad.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace fuzzsupport {

void LoadMediaLibraries() {
    if (FFLoader().LibsLoaded(EncoderLibraries))
        return;
    if (!FFLoader().LoadLibs(EncoderLibraries)) {
        std::fprintf(stderr, "cannot load the media libraries: %s\n",
                     FFLoader().LastError().c_str());
        std::abort();
    }
}

TScratchFile::TScratchFile(const char* stem, const char* suffix) {
    const QString folder = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                               ? QStringLiteral("/dev/shm")
                               : QDir::tempPath();
    FName = QStringLiteral("%1/%2-%3%4")
                .arg(folder, QString::fromLatin1(stem))
                .arg(::getpid())
                .arg(QString::fromLatin1(suffix));
}

TScratchFile::~TScratchFile() {
    QFile::remove(FName);
}

bool TScratchFile::Write(const uint8_t* data, size_t size) const {
    QFile f(FName);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size);
}

} // namespace fuzzsupport
