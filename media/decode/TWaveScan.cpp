#include "media/decode/TWaveScan.h"

#include "media/AVPtr.h"
#include "media/FFEntryPoints.h"
#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/FileNameBytes.h"
#include "media/UnicodeProtocol.h"
#include "media/decode/TWavePeaks.h"
#include "media/mp3/FFMP3FrameIndex.h"

#include <QCoreApplication>
#include <QEvent>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

const QEvent::Type WakeEvent = QEvent::Type(QEvent::registerEventType());
constexpr int BinSamples = TWavePeaks::BinSamples;
// Bins per delivered chunk: small enough that the picture fills in smoothly, large enough that
// the main thread is woken a few hundred times for three hours of audio, not thousands.
constexpr int64_t ChunkBins = 4096;
// Frames decoded before a piece and thrown away: the bit reservoir reaches back at most 511
// bytes (a frame or two) and the synthesis filter's memory is shorter than one frame.
constexpr int64_t PrerollFrames = 3;
constexpr int64_t PrerollBytes = 2048; // and at least this much, for low bit rates' small frames
// The overview's scale. A sample is its quantised value^(4/3) times 2^((gain - 210) / 4); the
// largest quantised values are unknown without decoding, but the coded bits per value grow with
// them, so log2 of the factor is taken as the bits per value plus one, within what tones (16)
// and noise (7) give.
constexpr float MinLog2Scale = 7.0f, MaxLog2Scale = 16.5f;

// Reads a file's frames through a window of its bytes; the file may shrink while it is read,
// which ends the reading instead of faulting as a mapping would.
class TFrameReader {
public:
    explicit TFrameReader(const QString& fileName)
        : FFd(::open(EncodeFileName(fileName).constData(), O_RDONLY | O_CLOEXEC)) {}
    ~TFrameReader() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFrameReader(const TFrameReader&) = delete;
    TFrameReader& operator=(const TFrameReader&) = delete;

    // The frame whose header is at pos, its length in size; nullptr when it cannot be read.
    const unsigned char* Frame(int64_t pos, int& size) {
        if (!Fill(pos, 4))
            return nullptr;
        const unsigned char* d = FBuffer.data() + (pos - FStart);
        const uint32_t h = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
        int samples = 0, rate = 0;
        size = TMP3FrameIndex::FrameLength(h, &samples, &rate);
        if (size < 4 || !Fill(pos, size))
            return nullptr;
        return FBuffer.data() + (pos - FStart);
    }

private:
    bool Fill(int64_t pos, int need) {
        if (FFd < 0)
            return false;
        if (pos >= FStart && pos + need <= FStart + FLength)
            return true;
        FBuffer.resize(size_t(std::max<int64_t>(WindowBytes, need)));
        ssize_t got = 0;
        for (size_t done = 0; done < FBuffer.size(); done += size_t(got)) {
            got = ::pread(FFd, FBuffer.data() + done, FBuffer.size() - done, off_t(pos + done));
            if (got <= 0) {
                FLength = int64_t(done);
                break;
            }
            FLength = int64_t(done) + got;
        }
        FStart = pos;
        return pos + need <= FStart + FLength;
    }

    static constexpr int64_t WindowBytes = 1 << 20;
    int FFd;
    std::vector<unsigned char> FBuffer;
    int64_t FStart = 0, FLength = 0;
};

// Reads the side information's bits, most significant first.
class TBits {
public:
    TBits(const unsigned char* data, int size) : FData(data), FSize(size) {}
    // The next n bits (n <= 32); bits past the end read as 0.
    uint32_t Take(int n) {
        const int byte = FAt >> 3;
        uint64_t w = 0;
        for (int i = 0; i < 8; ++i)
            w = w << 8 | (byte + i < FSize ? FData[byte + i] : 0u);
        const int shift = 64 - (FAt & 7) - n;
        FAt += n;
        return uint32_t((w >> shift) & ((uint64_t(1) << n) - 1));
    }
    bool Past() const { return (FAt + 7) / 8 > FSize; }

private:
    const unsigned char* FData;
    int FSize;
    int FAt = 0;
};

// What the scan thread learns from the demuxer before it reads any frame itself.
struct TStreamFacts {
    int Rate = 0;
    int64_t FirstFrame = -1; // byte position of the first audio frame
    int64_t Skip = 0;        // samples the demuxer has the decoder drop at the start
};

bool ReadStreamFacts(const QString& fileName, TStreamFacts& facts) {
    AVInputContextPtr ic(ff::avformat_alloc_context());
    if (!ic || OpenInputFile(InOut(ic), fileName, nullptr, nullptr) < 0)
        return false;
    bool ok = false;
    int found;
    {
        const auto codecs = LockCodecs();
        found = ff::avformat_find_stream_info(ic.get(), nullptr);
    }
    int index = -1;
    for (unsigned i = 0; found >= 0 && i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (index < 0 && par->codec_type == AVMEDIA_TYPE_AUDIO &&
            par->codec_id == AV_CODEC_ID_MP3 && par->sample_rate > 0)
            index = int(i);
    }
    AVPacketPtr packet = MakePacket();
    for (int tries = 0; index >= 0 && packet && tries < 64 && !ok; ++tries) {
        if (ff::av_read_frame(ic.get(), packet.get()) < 0)
            break;
        const AVPacket* p = packet.get();
        if (p->stream_index == index && p->pos >= 0 && p->dts != AV_NOPTS_VALUE) {
            const AVStream* st = ic->streams[index];
            facts.Rate = st->codecpar->sample_rate;
            facts.FirstFrame = p->pos;
            // The stream's start is where its first kept sample plays; the first packet's time
            // is where its first decoded one would.
            const int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : p->dts;
            facts.Skip = std::max<int64_t>(
                0, ff::av_rescale_q(origin - p->dts, st->time_base, AVRational{1, facts.Rate}));
            ok = true;
        }
        ff::av_packet_unref(packet.get());
    }
    const auto codecs = LockCodecs(); // probing may have left decoders open
    ic.reset();
    return ok;
}

// Sums samples up into bins [FirstBin, EndBin) and hands out whole chunks.
class TBinSink {
public:
    TBinSink(int64_t firstBin, int64_t endBin, std::function<void(TWaveChunk&&)> post)
        : FNext(firstBin), FEnd(endBin), FPost(std::move(post)) {
        Begin();
    }
    // Samples from lo to hi at bin (ascending calls).
    void Merge(int64_t bin, float lo, float hi) {
        if (bin < FChunk.FirstBin || bin >= FEnd)
            return;
        while (size_t(bin - FChunk.FirstBin) >= FChunk.Min.size()) {
            if (FChunk.Min.size() == size_t(ChunkBins)) {
                Flush();
                continue;
            }
            FChunk.Min.push_back(lo);
            FChunk.Max.push_back(hi);
        }
        const size_t i = size_t(bin - FChunk.FirstBin);
        FChunk.Min[i] = std::min(FChunk.Min[i], lo);
        FChunk.Max[i] = std::max(FChunk.Max[i], hi);
    }
    // Hands out what is summed up. A bin left short at the end (the decode stopped) is left
    // out unless it is the audio's last.
    void Flush() {
        FNext += int64_t(FChunk.Min.size());
        if (!FChunk.Min.empty())
            FPost(std::move(FChunk));
        Begin();
    }
    void Finish(int64_t lastSampleEnd) {
        const int64_t lastBin = (lastSampleEnd + BinSamples - 1) / BinSamples;
        if (!FChunk.Min.empty() && FChunk.FirstBin + int64_t(FChunk.Min.size()) > lastBin)
            FChunk.Min.resize(size_t(std::max<int64_t>(0, lastBin - FChunk.FirstBin)));
        FChunk.Max.resize(FChunk.Min.size());
        if (!FChunk.Min.empty())
            FPost(std::move(FChunk));
        FChunk = TWaveChunk();
    }

private:
    void Begin() {
        FChunk = TWaveChunk();
        FChunk.Exact = true;
        FChunk.FirstBin = FNext;
        FChunk.Min.reserve(size_t(ChunkBins));
        FChunk.Max.reserve(size_t(ChunkBins));
    }

    int64_t FNext, FEnd;
    std::function<void(TWaveChunk&&)> FPost;
    TWaveChunk FChunk;
};

// Decodes the frames that hold bins [firstBin, endBin) and hands their peaks to post.
void DecodePiece(const QString& fileName, const TMP3FrameIndex& index, int64_t skip, int64_t total,
                 int64_t firstBin, int64_t endBin, const std::atomic<bool>& cancel,
                 const std::function<void(TWaveChunk&&)>& post) {
    TLogNoWaitScope noWait;
    // Idle cores' work: the window's thread, a preview and a cut come first.
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 10);
    const AVCodec* codec = ff::avcodec_find_decoder(AV_CODEC_ID_MP3);
    AVCodecContextPtr ctx(codec ? ff::avcodec_alloc_context3(codec) : nullptr);
    AVPacketPtr packet = MakePacket();
    AVFramePtr frame = MakeFrame();
    if (!ctx || !packet || !frame)
        return;
    {
        const auto codecs = LockCodecs();
        if (ff::avcodec_open2(ctx.get(), codec, nullptr) < 0)
            return;
    }
    struct TCloser {
        AVCodecContextPtr& Ctx;
        ~TCloser() {
            const auto codecs = LockCodecs();
            Ctx.reset();
        }
    } closer{ctx};

    const int spf = index.SamplesPerFrame();
    const std::vector<int64_t>& pos = index.Positions();
    const int64_t firstSample = firstBin * BinSamples,
                  endSample = std::min(total, endBin * BinSamples);
    const int64_t kFirst = (firstSample + skip) / spf;
    const int64_t kEnd = std::min<int64_t>(int64_t(pos.size()), (endSample + skip + spf - 1) / spf);
    TFrameReader reader(fileName);
    TBinSink sink(firstBin, endBin, post);
    int64_t kStart = std::min(kFirst, int64_t(pos.size()));
    while (kStart > 0 &&
           (kFirst - kStart < PrerollFrames ||
            pos[size_t(std::min<int64_t>(kFirst, int64_t(pos.size()) - 1))] - pos[size_t(kStart)] <
                PrerollBytes))
        --kStart;
    for (int64_t k = kStart; k < kEnd; ++k) {
        if (cancel.load(std::memory_order_relaxed))
            return;
        int size = 0;
        const unsigned char* bytes = reader.Frame(pos[size_t(k)], size);
        if (!bytes || ff::av_new_packet(packet.get(), size) < 0)
            break;
        std::memcpy(packet->data, bytes, size_t(size));
        const int sent = ff::avcodec_send_packet(ctx.get(), packet.get());
        ff::av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN))
            continue; // a damaged frame: the decoder goes on with the next
        // The decoder gives one frame of samples per packet, in step with the frames.
        int64_t at = k * spf - skip;
        while (ff::avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
            const AVFrame* f = frame.get();
            const int channels = std::max(1, f->ch_layout.nb_channels);
            const auto fmt = AVSampleFormat(f->format);
            const bool planar = fmt == AV_SAMPLE_FMT_FLTP || fmt == AV_SAMPLE_FMT_S16P;
            const bool isFloat = fmt == AV_SAMPLE_FMT_FLTP || fmt == AV_SAMPLE_FMT_FLT;
            const int begin = int(std::clamp<int64_t>(firstSample - at, 0, f->nb_samples));
            const int end = int(std::clamp<int64_t>(endSample - at, 0, f->nb_samples));
            const bool known = isFloat || fmt == AV_SAMPLE_FMT_S16 || fmt == AV_SAMPLE_FMT_S16P;
            // Bin by bin, the extremes of every channel's samples in it.
            for (int i = begin; k >= kFirst && known && i < end;) {
                const int64_t bin = (at + i) / BinSamples;
                const int stop = int(std::min<int64_t>(end, (bin + 1) * BinSamples - at));
                float lo = 0, hi = 0;
                for (int c = 0; c < channels; ++c)
                    for (int j = i; j < stop; ++j) {
                        const int n = planar ? j : j * channels + c;
                        const uint8_t* plane = planar ? f->extended_data[c] : f->data[0];
                        const float v = isFloat
                                            ? reinterpret_cast<const float*>(plane)[n]
                                            : reinterpret_cast<const int16_t*>(plane)[n] / 32768.0f;
                        if (c == 0 && j == i)
                            lo = hi = v;
                        lo = std::min(lo, v);
                        hi = std::max(hi, v);
                    }
                sink.Merge(bin, lo, hi);
                i = stop;
            }
            at += f->nb_samples;
            ff::av_frame_unref(frame.get());
        }
    }
    if (!cancel.load())
        sink.Finish(endSample);
}

} // namespace

float TWaveScan::FrameEnvelope(const unsigned char* frame, int size) {
    if (size < 6)
        return 0;
    const uint32_t h =
        uint32_t(frame[0]) << 24 | uint32_t(frame[1]) << 16 | uint32_t(frame[2]) << 8 | frame[3];
    const bool mpeg1 = ((h >> 19) & 3) == 3;
    const bool crc = ((h >> 16) & 1) == 0;
    const int channels = ((h >> 6) & 3) == 3 ? 1 : 2;
    const int start = 4 + (crc ? 2 : 0);
    if (size <= start)
        return 0;
    TBits bits(frame + start, size - start);
    const int granules = mpeg1 ? 2 : 1;
    if (mpeg1) {
        bits.Take(9);
        bits.Take(channels == 1 ? 5 : 3);
        bits.Take(4 * channels);
    } else {
        bits.Take(8);
        bits.Take(channels == 1 ? 1 : 2);
    }
    float envelope = 0;
    for (int g = 0; g < granules; ++g)
        for (int c = 0; c < channels; ++c) {
            const uint32_t codedBits = bits.Take(12);
            const uint32_t bigValues = bits.Take(9);
            const int gain = int(bits.Take(8));
            bits.Take(mpeg1 ? 30 : 34);
            if (bits.Past())
                return envelope;
            if (codedBits == 0 || bigValues == 0)
                continue;
            const float scale =
                std::clamp(float(codedBits) / float(bigValues) + 1.0f, MinLog2Scale, MaxLog2Scale);
            const float level = std::exp2((float(gain) - 210.0f) / 4.0f + scale);
            envelope = std::max(envelope, std::min(level, 1.0f));
        }
    return envelope;
}

TWaveScan::TWaveScan() = default;

TWaveScan::~TWaveScan() {
    Stop();
}

void TWaveScan::Start(const QString& fileName) {
    Stop();
    FCancel = false;
    FFinished = false;
    const uint64_t generation = ++FGeneration;
    FThread = std::thread([this, fileName, generation] { Run(fileName, generation); });
}

void TWaveScan::Stop() {
    ++FGeneration;
    FCancel = true;
    if (FThread.joinable())
        FThread.join();
    std::lock_guard<std::mutex> lock(FQueueLock);
    FQueue.clear();
}

void TWaveScan::Post(TItem&& item) {
    std::lock_guard<std::mutex> lock(FQueueLock);
    FQueue.push_back(std::move(item));
    // A payload-free event: what it stands for crosses through the queue and its lock, which
    // ThreadSanitizer sees, and not through a functor handed over inside Qt, which it does not.
    // It is made under the lock, and taken only after the lock (below), for the same reason.
    if (!FWakePosted)
        QCoreApplication::postEvent(this, new QEvent(WakeEvent));
    FWakePosted = true;
}

bool TWaveScan::event(QEvent* e) {
    { std::lock_guard<std::mutex> lock(FQueueLock); }
    if (e->type() != WakeEvent)
        return QObject::event(e);
    Drain();
    return true;
}

void TWaveScan::Drain() {
    std::vector<TItem> items;
    {
        std::lock_guard<std::mutex> lock(FQueueLock);
        items.reserve(FQueue.size());
        for (TItem& item : FQueue)
            items.push_back(std::move(item));
        FQueue.clear();
        FWakePosted = false;
    }
    for (TItem& item : items) {
        // A handler may start another scan: what is left of this batch is then stale.
        if (item.Generation != FGeneration)
            continue;
        switch (item.Kind) {
        case TItem::Layout:
            if (OnLayout)
                OnLayout(item.LayoutInfo);
            break;
        case TItem::Chunk:
            if (OnChunk)
                OnChunk(item.ChunkData);
            break;
        case TItem::Finished:
            if (OnFinished)
                OnFinished(item.Complete);
            break;
        }
    }
}

void TWaveScan::Run(const QString& fileName, uint64_t generation) {
    TLogNoWaitScope noWait;
    bool complete = false;
    struct TEnd {
        TWaveScan& Scan;
        uint64_t Generation;
        bool& Complete;
        ~TEnd() {
            TItem end;
            end.Generation = Generation;
            end.Kind = TItem::Finished;
            end.Complete = Complete;
            Scan.Post(std::move(end));
            Scan.FFinished = true;
        }
    } end{*this, generation, complete};

    TStreamFacts facts;
    if (!ReadStreamFacts(fileName, facts) || FCancel)
        return;
    TMP3FrameIndex index;
    if (!index.Build(fileName, facts.FirstFrame) || index.SampleRate() != facts.Rate ||
        index.FirstNumber() != 0 || index.Positions().empty() || FCancel)
        return;
    const int spf = index.SamplesPerFrame();
    const std::vector<int64_t>& pos = index.Positions();
    const int64_t total = std::max<int64_t>(0, index.AudioEndSample() - facts.Skip);
    const int64_t bins = (total + BinSamples - 1) / BinSamples;
    {
        TItem layout;
        layout.Generation = generation;
        layout.Kind = TItem::Layout;
        layout.LayoutInfo.Rate = facts.Rate;
        layout.LayoutInfo.TotalSamples = total;
        Post(std::move(layout));
    }
    const auto post = [this, generation](TWaveChunk&& chunk) {
        TItem item;
        item.Generation = generation;
        item.ChunkData = std::move(chunk);
        Post(std::move(item));
    };

    // The overview: each frame's envelope over the bins its samples fall in.
    {
        TFrameReader reader(fileName);
        TWaveChunk chunk;
        chunk.Exact = false;
        for (size_t k = 0; k < pos.size() && !FCancel; ++k) {
            int size = 0;
            const unsigned char* bytes = reader.Frame(pos[k], size);
            if (!bytes)
                break;
            const float env = FrameEnvelope(bytes, size);
            const int64_t from = std::max<int64_t>(0, int64_t(k) * spf - facts.Skip);
            const int64_t to = std::min(total, int64_t(k + 1) * spf - facts.Skip);
            for (int64_t b = from / BinSamples; to > from && b <= (to - 1) / BinSamples; ++b) {
                if (chunk.Min.empty())
                    chunk.FirstBin = b;
                const int64_t i = b - chunk.FirstBin;
                if (i < int64_t(chunk.Min.size())) {
                    chunk.Min[size_t(i)] = std::min(chunk.Min[size_t(i)], -env);
                    chunk.Max[size_t(i)] = std::max(chunk.Max[size_t(i)], env);
                    continue;
                }
                chunk.Min.push_back(-env);
                chunk.Max.push_back(env);
            }
            if (chunk.Min.size() >= size_t(16 * ChunkBins)) {
                // The last bin may be shared with the next frame: it goes with the next chunk.
                TWaveChunk next;
                next.FirstBin = chunk.FirstBin + int64_t(chunk.Min.size()) - 1;
                next.Min.push_back(chunk.Min.back());
                next.Max.push_back(chunk.Max.back());
                chunk.Min.pop_back();
                chunk.Max.pop_back();
                post(std::move(chunk));
                chunk = std::move(next);
            }
        }
        if (!chunk.Min.empty())
            post(std::move(chunk));
    }

    // The exact peaks: consecutive pieces of the bins, one per decode thread.
    const int workers = std::max<int>(
        1, FWorkers > 0 ? FWorkers : int(std::max(1u, std::thread::hardware_concurrency())));
    std::vector<std::thread> threads;
    for (int w = 0; w < workers && !FCancel; ++w) {
        const int64_t first = bins * w / workers, last = bins * (w + 1) / workers;
        if (first < last)
            threads.emplace_back([&, first, last] {
                DecodePiece(fileName, index, facts.Skip, total, first, last, FCancel, post);
            });
    }
    for (std::thread& t : threads)
        t.join();
    complete = !FCancel && !threads.empty();
}
