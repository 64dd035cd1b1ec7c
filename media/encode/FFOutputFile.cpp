#include "media/encode/FFOutputFile.h"

#include "media/UnicodeProtocol.h"

#include <QFile>
#include <QFileInfo>

using namespace ffstage;

TFFOutputFile::~TFFOutputFile() {
    Close(false);
}

bool TFFOutputFile::OpenFile(std::string& err) {
    const int ret = OpenOutputFile(FContext, FFileName);
    if (ret < 0) {
        err = Narrow(FFileName) + ": " + LibErrorText(ret);
        return false;
    }
    FCreated = QFileInfo(FFileName).isFile();
    return true;
}

int64_t TFFOutputFile::Size() const {
    if (!FContext || !FContext->pb)
        return 0;
    const int64_t size = ff::avio_size(FContext->pb);
    return size >= 0 ? size : ff::avio_seek(FContext->pb, 0, SEEK_CUR);
}

int TFFOutputFile::Close(bool discard) {
    int ret = 0;
    if (FContext) {
        ret = CloseOutputIO(FContext);
        FStreams.clear();
        ff::avformat_free_context(FContext);
        FContext = nullptr;
    }
    // Only a regular file this engine created is ever removed: a device such as /dev/null or a
    // pipe named as output is left alone.
    if (FCreated) {
        const QFileInfo info(FFileName);
        if (info.isFile() && (discard || info.size() == 0 || FPackets == 0))
            QFile::remove(FFileName);
    }
    FCreated = false;
    return ret;
}
