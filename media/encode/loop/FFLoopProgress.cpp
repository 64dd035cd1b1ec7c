#include "media/encode/loop/FFLoopProgress.h"

using namespace ffstage;

void TFFLoopProgress::Start() {
    RunStart = LastReport = ff::av_gettime_relative();
}

void TFFLoopProgress::Tick(int fileIndex) {
    const int64_t now = ff::av_gettime_relative();
    if (now - LastReport > Interval) {
        LastReport = now;
        Report(fileIndex, false);
    }
}

void TFFLoopProgress::Final() {
    Report(-1, true);
}

double TFFLoopProgress::OutputTime() const {
    double t = 0;
    bool any = false;
    for (const TFFOutputStream& ost : T.Outputs) {
        const double ti = ost.Time();
        if (ti > 0 && (!any || ti < t)) {
            t = ti;
            any = true;
        }
    }
    return t < 0.01 ? 0.01 : t;
}

void TFFLoopProgress::Report(int fileIndex, bool final) {
    if (!Callbacks.Progress && S.Verbose <= 0 && !final)
        return;
    int64_t totalSize = Out.empty() ? 0 : -1;
    if (PublishedSize)
        totalSize = PublishedSize->load(std::memory_order_relaxed);
    else if (totalSize < 0)
        totalSize = TFFOutputExtra::Size(Out.front());
    const double t = OutputTime();
    std::string line;
    int frame = -1, fps = -1;
    float quality = -1;
    for (const TFFOutputStream& ost : T.Outputs) {
        if (ost.Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        frame = int(ost.FrameNumber);
        if (frame < 1)
            return; // nothing to say before the first picture
        const double secs = double(ff::av_gettime_relative() - RunStart) / 1000000.0;
        fps = secs > 1 ? int(frame / secs + 0.5) : 0;
        line = Fmt("frame=%5d fps=%3d q=%3.1f ", frame, fps, double(quality));
        break;
    }
    if (final)
        line += "L";
    const double bitrate = double(totalSize) * 8 / t / 1000;
    line +=
        Fmt("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", double(totalSize) / 1024, t, bitrate);
    if (T.DupFrames || T.DropFrames)
        line += Fmt(" dup=%d drop=%d", T.DupFrames, T.DropFrames);
    if (Callbacks.Progress)
        Callbacks.Progress(fileIndex, S.TotalDuration, int64_t(t * 1000000), totalSize,
                           float(bitrate), quality, fps, frame);
    else if (S.Verbose >= 0)
        Log(TStageLog::Verbose, QString::fromLocal8Bit(line.c_str()));
    if (final && S.Verbose >= 0) {
        const double sum = double(T.VideoBytes + T.AudioBytes + T.HeaderBytes);
        Log(TStageLog::Verbose,
            QString::fromLocal8Bit(
                Fmt("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                    double(T.VideoBytes) / 1024, double(T.AudioBytes) / 1024,
                    double(T.HeaderBytes) / 1024,
                    sum > 0 ? (double(totalSize) - sum) * 100 / sum : 0.0)
                    .c_str()));
    }
}
