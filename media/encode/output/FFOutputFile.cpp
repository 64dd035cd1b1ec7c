#include "media/encode/output/FFOutputFile.h"

#include "media/UnicodeProtocol.h"
#include "media/encode/loop/FFLoopSupport.h"

#include <cerrno>
#include <cstring>

using namespace ffstage;

bool TFFOutputExtra::OpenFile(TOutputFile& out, std::string& err) {
    int ret;
    if (TAtomicFile::Applies(FileName)) {
        const int fd = Temp.Create(FileName);
        ret = fd < 0 ? AVERROR(errno) : OpenOutputDescriptor(out.Context.get(), fd, FileName);
        if (ret < 0)
            Temp.Discard();
    } else {
        ret = ::OpenOutputFile(out.Context.get(), FileName);
    }
    if (ret < 0) {
        err = Narrow(FileName) + ": " + FileErrorText(ret);
        return false;
    }
    return true;
}

int64_t TFFOutputExtra::Size(const TOutputFile& out) {
    if (!out.Context || !out.Context->pb)
        return 0;
    const int64_t size = ff::avio_size(out.Context->pb);
    return size >= 0 ? size : ff::avio_seek(out.Context->pb, 0, SEEK_CUR);
}

bool TFFOutputExtra::Close(TOutputFile& out, bool discard, std::string& err) {
    // A bare header without media is no file worth keeping either.
    const bool keep = !discard && Packets > 0 && Temp.Active();
    int ret = 0;
    Streams.clear();
    if (out.Context) {
        if (keep)
            ret = SyncOutputIO(out.Context.get());
        AVFormatContext* oc = out.Context.release();
        const int closed = CloseOutputFile(&oc);
        if (ret >= 0)
            ret = closed;
    }
    if (!keep) {
        Temp.Discard();
        return true;
    }
    if (ret < 0) {
        Temp.Discard();
        err = Narrow(FileName) + ": " + FileErrorText(ret);
        return false;
    }
    if (!Temp.Commit(MayReplace)) {
        err = Narrow(FileName) + ": " + (errno == EEXIST ? "file exists" : std::strerror(errno));
        return false;
    }
    return true;
}
