#include "media/encode/FFOutputFile.h"

#include "media/UnicodeProtocol.h"
#include "media/encode/FFLoopSupport.h"

#include <QFile>
#include <QFileInfo>

using namespace ffstage;

bool TFFOutputExtra::OpenFile(TOutputFile& out, std::string& err) {
    const int ret = OpenOutputFile(out.Context.get(), FileName);
    if (ret < 0) {
        err = Narrow(FileName) + ": " + LibErrorText(ret);
        return false;
    }
    Created = QFileInfo(FileName).isFile();
    return true;
}

int64_t TFFOutputExtra::Size(const TOutputFile& out) {
    if (!out.Context || !out.Context->pb)
        return 0;
    const int64_t size = ff::avio_size(out.Context->pb);
    return size >= 0 ? size : ff::avio_seek(out.Context->pb, 0, SEEK_CUR);
}

int TFFOutputExtra::Close(TOutputFile& out, bool discard) {
    int ret = 0;
    Streams.clear();
    if (out.Context) {
        AVFormatContext* oc = out.Context.release();
        ret = CloseOutputFile(&oc);
    }
    // Only a regular file this engine created is ever removed: a device such as /dev/null or a
    // pipe named as output is left alone.
    if (Created) {
        const QFileInfo info(FileName);
        if (info.isFile() && (discard || info.size() == 0 || Packets == 0))
            QFile::remove(FileName);
    }
    Created = false;
    return ret;
}
