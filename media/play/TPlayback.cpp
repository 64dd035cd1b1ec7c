#include "media/play/TPlayback.h"

#include "media/FFLog.h"

#include "media/FFLoad.h"
#include "media/FFUtils.h"
#include "media/MyUtils.h"
#include "media/UnicodeProtocol.h"
#include "media/play/TAudioOutput.h"
#include "media/play/TPlayerHost.h"
#include "media/play/TPlayerLogQueue.h"
#include "media/play/TSubtitleDecoder.h"
#include "media/play/TVideoDecoder.h"

#include <chrono>

#include <pthread.h>
#include <climits>
#include <cmath>
#include <limits>
#include <system_error>

namespace {

constexpr int MaxQueueBytes = 15 * 1024 * 1024;
constexpr int MinAudioQueueBytes = 327680;
constexpr int MinFrames = 5;
// The timer tick of a playback paced by its audio: it only notices what moves no clock (the end
// of the input, a playback that stays paused).
constexpr int PacedBackupMs = 50;

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// True for an MP3 whose first frame carries LAME's "Info" tag: a constant bit rate with a known
// frame count. The demuxer can then seek by scaling the byte position and re-derive the exact
// frame time, where its default reads every packet up to the target (60 ms and more deep into a
// long file). Variable-rate files keep the default: their fast seek is only approximate.
bool IsTaggedCbrMp3(AVIOContext* pb) {
    if (pb == nullptr || !(pb->seekable & AVIO_SEEKABLE_NORMAL))
        return false;
    const int64_t saved = ff::avio_seek(pb, 0, SEEK_CUR);
    unsigned char head[10] = {};
    int64_t start = 0;
    if (ff::avio_seek(pb, 0, SEEK_SET) == 0 && ff::avio_read(pb, head, 10) == 10 &&
        head[0] == 'I' && head[1] == 'D' && head[2] == '3') {
        const int64_t size = (int64_t(head[6] & 0x7F) << 21) | ((head[7] & 0x7F) << 14) |
                             ((head[8] & 0x7F) << 7) | (head[9] & 0x7F);
        start = 10 + size + ((head[5] & 0x10) ? 10 : 0);
    }
    unsigned char frame[64] = {};
    bool info = false;
    if (ff::avio_seek(pb, start, SEEK_SET) == start && ff::avio_read(pb, frame, 64) == 64 &&
        frame[0] == 0xFF && (frame[1] & 0xE0) == 0xE0) {
        const bool mpeg1 = ((frame[1] >> 3) & 3) == 3;
        const bool mono = ((frame[3] >> 6) & 3) == 3;
        const int at = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
        info = frame[at] == 'I' && frame[at + 1] == 'n' && frame[at + 2] == 'f' &&
               frame[at + 3] == 'o';
    }
    ff::avio_seek(pb, saved, SEEK_SET);
    return info;
}

} // namespace

TPlayback::TPlayback(TPlayerHost& host, const TPlaybackOptions& options, const QString& fileName,
                     bool startPaused, uint64_t generation)
    : TPlaybackState(host, options, fileName, startPaused, generation) {}

TPlayback::~TPlayback() {
    Close();
}

// ---- open and close ---------------------------------------------------------------------------

bool TPlayback::Open(QString& error) {
    try {
        FReadThread = std::thread([this] {
            pthread_setname_np(pthread_self(), "snip-read");
            // A stop waits for this thread while the main thread may be the one stopping.
            TLogNoWaitScope noWait;
            ReadThreadMain();
        });
    } catch (const std::system_error&) {
        error = QStringLiteral("SDL_CreateThread() failed.");
        Log.Push(llError, error);
        return false;
    }
    const bool main = IsMainThread();
    while (OpenStatus.load(std::memory_order_acquire) == 0) {
        if (main) {
            PumpMessages();
            Host.ForwardLog();
        }
        SleepMs(10);
    }
    if (OpenStatus == 1) {
        if (VideoIndex < 0 && !Opt.DisableDisplay)
            AudioDisplayMode = Opt.AudioDisplayMode;
        return true;
    }
    FReadThread.join(); // it has cleaned up and ends
    error = OpenError;
    return false;
}

void TPlayback::ReaderPause(int ms) {
    std::unique_lock<std::mutex> lock(FWakeLock);
    FWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FWoken; });
    FWoken = false;
}

void TPlayback::WakeReader() {
    {
        std::lock_guard<std::mutex> lock(FWakeLock);
        FWoken = true;
    }
    FWake.notify_one();
}

void TPlayback::Close() {
    if (FClosed.exchange(true))
        return;
    AbortRequest = true;
    WakeReader();
    AudioQ.Abort();
    VideoQ.Abort();
    SubtitleQ.Abort();
    if (Video())
        Video()->Abort();
    if (Subtitles())
        Subtitles()->Abort();
    if (FReadThread.joinable())
        FReadThread.join();
}

int TPlayback::InterruptCheck(void* opaque) {
    return static_cast<TPlayback*>(opaque)->AbortRequest.load() ? 1 : 0;
}

// ---- read thread ------------------------------------------------------------------------------

void TPlayback::ReadThreadMain() {
    bool opened = OpenInput();
    if (opened) {
        int chosen[3] = {-1, -1, -1}; // audio, video, subtitle
        ChooseAndOpenStreams(chosen);
        if (AudioIndex < 0 && VideoIndex < 0) {
            OpenError =
                QStringLiteral("%1: could not open codecs, no stream to play.").arg(FileName);
            opened = false;
        }
    }
    if (!opened) {
        CloseComponent(AudioIndex);
        CloseComponent(VideoIndex);
        CloseComponent(SubtitleIndex);
        CloseInput();
        OpenStatus.store(-1, std::memory_order_release);
        return;
    }
    OpenStatus.store(1, std::memory_order_release);
    ReadLoop();
    // Reading has ended (abort, or an input that fails for good); what is queued still plays,
    // and its end is the end of the media.
    while (!AbortRequest) {
        if (AudioQ.Size() == 0 && VideoQ.Size() == 0 && SubtitleQ.Size() == 0)
            EndReached = true;
        SleepMs(10);
    }
    CloseComponent(AudioIndex);
    CloseComponent(VideoIndex);
    CloseComponent(SubtitleIndex);
    CloseInput();
}

bool TPlayback::OpenInput() {
    AVInputContextPtr ic(ff::avformat_alloc_context());
    if (!ic) {
        OpenError = QStringLiteral("av_mallocz() failed.");
        return false;
    }
    // A stop must never wait for a read that blocks: the library asks this while it waits.
    ic->interrupt_callback.callback = &TPlayback::InterruptCheck;
    ic->interrupt_callback.opaque = this;
    AVDictionaryPtr options;
    if (Opt.FrameWidth > 0 && Opt.FrameHeight > 0)
        ff::av_dict_set(InOut(options), "video_size",
                        QByteArray::number(Opt.FrameWidth)
                            .append('x')
                            .append(QByteArray::number(Opt.FrameHeight))
                            .constData(),
                        0);
    if (Opt.FramePixFmt >= 0)
        if (const char* name = ff::av_get_pix_fmt_name(AVPixelFormat(Opt.FramePixFmt)))
            ff::av_dict_set(InOut(options), "pixel_format", name, 0);
    const int ret = OpenInputFile(InOut(ic), FileName, nullptr, InOut(options));
    if (ret < 0) {
        OpenError = LibErrorText(FileName, ret);
        return false;
    }
    FContext = std::move(ic);
    AVFormatContext* c = FContext.get();
    if (Opt.GenPts)
        c->flags |= AVFMT_FLAG_GENPTS;
    int found;
    {
        auto codecs = LockCodecs();
        found = ff::avformat_find_stream_info(c, nullptr);
    }
    if (found < 0) {
        OpenError = QStringLiteral("%1: could not find codec parameters").arg(FileName);
        return false;
    }
    FormatName = QString::fromUtf8(c->iformat->name);
    if (FormatName == QLatin1String("mp3") && IsTaggedCbrMp3(c->pb))
        c->flags |= AVFMT_FLAG_FAST_SEEK;
    if (c->pb != nullptr)
        c->pb->eof_reached = 0;
    ImageSequence = FormatName == QLatin1String("image2");
    CaptureDevice = FormatName == QLatin1String("vfwcap") ||
                    FormatName == QLatin1String("vfwcapture") ||
                    FormatName == QLatin1String("video4linux2,v4l2");
    ContextStartTime = c->start_time;
    MediaStart = c->start_time != AV_NOPTS_VALUE ? c->start_time : 0;
    MediaDuration = c->duration != AV_NOPTS_VALUE ? c->duration : -1;
    if (Opt.StartTime != PlayTimeUnset) {
        int64_t timestamp = Opt.StartTime;
        if (c->start_time != AV_NOPTS_VALUE)
            timestamp += c->start_time;
        if (ff::avformat_seek_file(c, -1, INT64_MIN, timestamp, INT64_MAX, 0) < 0)
            Log.PushFmt(llError, "%s: could not seek to position %0.3f",
                        FileName.toUtf8().constData(), double(timestamp) / 1000000.0);
    }
    return true;
}

void TPlayback::ChooseAndOpenStreams(int (&chosen)[3]) {
    AVFormatContext* c = FContext.get();
    const AVMediaType types[3] = {AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_SUBTITLE};
    const int wanted[3] = {Opt.WantedAudio, Opt.WantedVideo, Opt.WantedSubtitle};
    const bool disabled[3] = {Opt.DisableAudio, Opt.DisableVideo, Opt.DisableVideo};
    for (unsigned i = 0; i < c->nb_streams; ++i)
        c->streams[i]->discard = AVDISCARD_ALL;
    for (int t = 0; t < 3; ++t) {
        if (disabled[t])
            continue;
        if (wanted[t] >= 0) {
            int n = 0;
            for (unsigned i = 0; i < c->nb_streams; ++i)
                if (c->streams[i]->codecpar->codec_type == types[t] && n++ == wanted[t]) {
                    chosen[t] = int(i);
                    break;
                }
        } else {
            chosen[t] = ff::av_find_best_stream(c, types[t], -1, -1, nullptr, 0);
        }
        // A cover picture is one still image, not a video to play: with it as the video stream
        // the position of an MP3 would stand still at its only frame.
        if (t == 1 && chosen[t] >= 0 &&
            (c->streams[chosen[t]]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            chosen[t] = -1;
        if (chosen[t] < 0)
            chosen[t] = -1;
    }
    if (chosen[0] >= 0)
        OpenComponent(chosen[0]);
    if (chosen[1] >= 0)
        OpenComponent(chosen[1]);
    // Subtitles are drawn on pictures only: without a video stream their packets would pile up
    // with nobody to take them, so their stream stays discarded then.
    if (chosen[2] >= 0 && VideoIndex >= 0)
        OpenComponent(chosen[2]);
}

int TPlayback::OpenComponent(int streamIndex) {
    AVFormatContext* c = FContext.get();
    if (streamIndex < 0 || unsigned(streamIndex) >= c->nb_streams)
        return -1;
    AVStream* st = c->streams[streamIndex];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        auto audio = std::make_unique<TAudioOutput>(*this);
        AudioQ.Start();
        AudioQ.PutFlush();
        // The index is known before the device starts pulling.
        AudioIndex = streamIndex;
        st->discard = AVDISCARD_DEFAULT;
        if (audio->Open(st) < 0) {
            st->discard = AVDISCARD_ALL;
            AudioIndex = -1;
            AudioQ.Flush();
            return -1;
        }
        if (st->duration != AV_NOPTS_VALUE)
            AudioStreamDuration = ff::av_rescale_q(st->duration, st->time_base, {1, 1000000});
        FAudioOwner = std::move(audio);
        FAudio.store(FAudioOwner.get(), std::memory_order_release);
        FAudioDisplaySource.store(FAudioOwner.get(), std::memory_order_release);
        ff::SDL_PauseAudioDevice(FAudioOwner->DeviceId(), 0);
        return 0;
    }
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        auto video = std::make_unique<TVideoDecoder>(*this);
        VideoQ.Start();
        VideoQ.PutFlush();
        st->discard = AVDISCARD_DEFAULT;
        VideoIndex = streamIndex;
        if (video->Open(st) < 0) {
            st->discard = AVDISCARD_ALL;
            VideoIndex = -1;
            VideoQ.Flush();
            return -1;
        }
        if (!video->StartThread()) {
            Log.Push(llError, QStringLiteral("SDL_CreateThread() failed."));
            video->Close();
            st->discard = AVDISCARD_ALL;
            VideoIndex = -1;
            VideoQ.Flush();
            return -1;
        }
        FVideoOwner = std::move(video);
        PictureWidth = FVideoOwner->Width();
        PictureHeight = FVideoOwner->Height();
        FVideo.store(FVideoOwner.get(), std::memory_order_release);
        return 0;
    }
    if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
        auto subtitles = std::make_unique<TSubtitleDecoder>(*this);
        SubtitleQ.Start();
        SubtitleQ.PutFlush();
        st->discard = AVDISCARD_DEFAULT;
        SubtitleIndex = streamIndex;
        if (subtitles->Open(st) < 0) {
            st->discard = AVDISCARD_ALL;
            SubtitleIndex = -1;
            SubtitleQ.Flush();
            return -1;
        }
        if (!subtitles->StartThread()) {
            Log.Push(llError, QStringLiteral("SDL_CreateThread() failed."));
            subtitles->Close();
            st->discard = AVDISCARD_ALL;
            SubtitleIndex = -1;
            SubtitleQ.Flush();
            return -1;
        }
        FSubtitleOwner = std::move(subtitles);
        FSubtitles.store(FSubtitleOwner.get(), std::memory_order_release);
        FSubtitleOverlay.store(FSubtitleOwner.get(), std::memory_order_release);
        return 0;
    }
    return -1;
}

void TPlayback::CloseComponent(int streamIndex) {
    AVFormatContext* c = FContext.get();
    if (c == nullptr || streamIndex < 0 || unsigned(streamIndex) >= c->nb_streams)
        return;
    if (streamIndex == AudioIndex && Audio()) {
        AudioQ.Abort();
        Audio()->Close();
        AudioQ.Flush();
        // The clock stays readable until the playback is freed; nothing plays any more.
        AudioIndex = -1;
    } else if (streamIndex == VideoIndex && Video()) {
        VideoQ.Abort();
        Video()->Close();
        VideoQ.Flush();
        VideoIndex = -1;
    } else if (streamIndex == SubtitleIndex && Subtitles()) {
        SubtitleQ.Abort();
        Subtitles()->Close();
        SubtitleQ.Flush();
        SubtitleIndex = -1;
    }
    c->streams[streamIndex]->discard = AVDISCARD_ALL;
}

void TPlayback::CloseInput() {
    AVInputContextPtr context = std::move(FContext);
    // Closing may log through the library; nothing here holds a lock.
    context.reset();
}

void TPlayback::DoSeek() {
    AVFormatContext* c = FContext.get();
    const int64_t target = SeekTarget, rel = SeekRel;
    const int flags = SeekFlags;
    const int64_t minTs = rel > 0 ? target - rel + 2 : INT64_MIN;
    const int64_t maxTs = rel < 0 ? target - rel - 2 : INT64_MAX;
    int ret = ff::avformat_seek_file(c, -1, minTs, target, maxTs, flags);
    if (ret < 0)
        ret = ff::av_seek_frame(c, -1, target, flags);
    if (ret < 0)
        ret = ff::av_seek_frame(c, -1, target, flags ^ AVSEEK_FLAG_BACKWARD);
    const bool hasVideo = VideoIndex >= 0;
    if (ret < 0) {
        Log.PushFmt(llError, "%s: error while seeking", FileName.toUtf8().constData());
        if (hasVideo)
            Host.FrameReady().Set();
    } else {
        if (AudioIndex >= 0) {
            AudioQ.Flush();
            AudioQ.PutFlush();
        }
        if (SubtitleIndex >= 0) {
            SubtitleQ.Flush();
            SubtitleQ.PutFlush();
        }
        if (hasVideo) {
            VideoQ.Flush();
            VideoQ.PutFlush();
            FlushSeen = 0;
            Host.FrameReady().Reset();
        }
    }
    FEndLogged = false;
    EndReached = false;
    EndSignalled = false;
    SeekCompleted = 1;
    if (!hasVideo)
        Host.SeekPending() = false;
    // Done before the next request is let in: one that came between the two would be reported
    // done before it ran.
    Host.SeekDone().Set();
    SeekReq.store(0, std::memory_order_release);
}

void TPlayback::ReadLoop() {
    AVFormatContext* c = FContext.get();
    AVPacketPtr pkt = MakePacket();
    bool eof = false;
    while (!AbortRequest) {
        const int paused = Paused;
        if (paused != FLastPaused) {
            FLastPaused = paused;
            ReadPauseResult = paused ? ff::av_read_pause(c) : ff::av_read_play(c);
        }
        if (SeekReq.load(std::memory_order_acquire)) {
            DoSeek();
            eof = false;
        }
        const int audioBytes = AudioQ.Size(), videoBytes = VideoQ.Size(),
                  subtitleBytes = SubtitleQ.Size();
        const bool audioShort = AudioIndex >= 0 && audioBytes <= MinAudioQueueBytes;
        const bool videoShort = VideoIndex >= 0 && VideoQ.PacketCount() <= MinFrames;
        if (audioBytes + videoBytes + subtitleBytes > MaxQueueBytes ||
            !(audioShort || videoShort)) {
            // Twenty seconds of sound are queued; looking again every 100 ms instead of every 10
            // spares an idle preview most of its wake-ups. Pictures queue only a few packets, so
            // with video the reader looks every 10 ms. Seeks, pauses and the stop wake it at once.
            ReaderPause(VideoIndex >= 0 ? 10 : 100);
            continue;
        }
        if (eof || (c->pb != nullptr && ff::avio_feof(c->pb))) {
            if (VideoIndex >= 0) {
                VideoQ.PutDrain(VideoIndex);
                Host.FrameReady().Set();
            }
            SleepMs(10);
            if (AudioQ.Size() == 0 && VideoQ.Size() == 0 && SubtitleQ.Size() == 0)
                EndReached = true;
            continue;
        }
        InRead = true;
        const int ret = ff::av_read_frame(c, pkt.get());
        InRead = false;
        if (AbortRequest)
            break;
        if (ret == AVERROR(EAGAIN)) {
            SleepMs(10);
            continue;
        }
        if (ret < 0) {
            if (VideoIndex >= 0)
                Host.FrameReady().Set();
            if (!ImageSequence && !FEndLogged) {
                FEndLogged = true;
                if (ret == AVERROR_EOF)
                    Log.PushFmt(llInfo, "reach end of file: %s", FileName.toUtf8().constData());
                else
                    Log.PushFmt(llError, "error #%d while reading file: %s", ret,
                                FileName.toUtf8().constData());
            }
            if (ret == AVERROR_EOF) {
                eof = true;
                continue;
            }
            if (c->pb != nullptr && c->pb->error != 0)
                break;
            SleepMs(100);
            continue;
        }
        if (pkt->stream_index == AudioIndex)
            AudioQ.Put(pkt.get());
        else if (pkt->stream_index == VideoIndex)
            VideoQ.Put(pkt.get());
        else if (pkt->stream_index == SubtitleIndex)
            SubtitleQ.Put(pkt.get());
        ff::av_packet_unref(pkt.get());
    }
}

// ---- refresh, clocks, pause, seek -------------------------------------------------------------

std::chrono::milliseconds TPlayback::RefreshInterval() const {
    if (PacedByAudio())
        return std::chrono::milliseconds(PacedBackupMs);
    const bool audioDisplay = AudioIndex >= 0 && AudioDisplayMode != 0;
    return std::chrono::milliseconds(audioDisplay ? std::max(1, Opt.AudioDisplayInterval) : 5);
}

bool TPlayback::PacedByAudio() const {
    return VideoIndex < 0 && AudioIndex >= 0 && AudioDisplayMode == 0;
}

void TPlayback::ClockMoved() {
    // Between two device buffers the clock stands still, so a tick there would only repeat the
    // last position; one tick per buffer reports every new one and finds the end of the range
    // as early as any tick could.
    if (PacedByAudio())
        Host.NudgeRefresh();
}

double TPlayback::AudioClock() const {
    const TAudioOutput* audio = Audio();
    return audio != nullptr ? audio->Clock() : std::numeric_limits<double>::quiet_NaN();
}

double TPlayback::VideoClock() const {
    const TVideoDecoder* video = Video();
    if (video == nullptr)
        return std::numeric_limits<double>::quiet_NaN();
    return video->Clock(Paused != 0, double(MediaStart) / 1000000.0);
}

double TPlayback::ExternalClock() const {
    return FExternalClock + double(ff::av_gettime() - FExternalClockTime) * 0.000001;
}

double TPlayback::MasterClock() const {
    if (Opt.SyncType == 1)
        return VideoIndex >= 0 ? VideoClock() : AudioClock();
    if (Opt.SyncType == 0)
        return AudioIndex >= 0 ? AudioClock() : VideoClock();
    return ExternalClock();
}

void TPlayback::TogglePause() {
    // A pause never waits on a seek for longer.
    if (!Host.SeekDone().Wait(250))
        Host.SeekDone().Set();
    if (Paused) {
        if (Video())
            Video()->Resumed(ReadPauseResult == AVERROR(ENOSYS));
        Paused = 0;
    } else {
        if (VideoIndex >= 0 && !Host.FrameReady().Wait(250))
            Host.FrameReady().Set();
        Paused = 1;
    }
    WakeReader(); // it pauses or resumes the input
}

bool TPlayback::RequestSeek(int flags, int64_t target, int64_t relativeHint) {
    if (SeekReq.load(std::memory_order_acquire))
        return false;
    Host.SeekPending() = true;
    PausedBeforeSeek = Paused.load();
    SeekTarget = target;
    SeekRel = relativeHint;
    SeekFlags = flags;
    Host.SeekDone().Reset();
    SeekReq.store(1, std::memory_order_release);
    WakeReader();
    return true;
}
