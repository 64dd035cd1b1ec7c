#pragma once
// The peaks of a whole MP3 for its waveform: first an overview, at once, then the exact peaks
// from a decode, delivered in pieces as they are done.
//
// The overview reads no audio: the frame index walks the frame headers, and each frame's side
// information gives the global gain of its granules (the scale of everything in them) and the
// size of their coded data (none: silence). That is an envelope, not a peak, and it is shown as
// such until the decode replaces it.
//
// The decode feeds the indexed frames straight to the MP3 decoder, in as many consecutive
// pieces of the file as there are cores, each decoding a few frames before its piece to fill the
// bit reservoir and the filter bank; what a piece yields is therefore the same as a decode from
// the file's start. Samples are placed on the cut's timeline (the encoder's delay, which the
// demuxer has the decoder drop, is dropped here too; so is the padding at the end) and summed
// up as TWavePeaks' bins.
//
// Threads: Start, Stop and every event are on the owner's (main) thread. Start makes one scan
// thread, which this object owns, starts and joins; the scan thread makes the decode threads,
// which it owns and joins before it ends. Results cross to the main thread through a queue under
// FQueueLock, woken by one posted call that carries no data; each result carries the generation
// of the scan that made it, and one of an older scan is dropped. Stop (and Start, and the
// destructor) cancels at once: every thread looks at the flag before each frame, and no thread
// ever waits for the main thread (log lines from them are queued, not delivered).

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// What a scan found out about the audio before any peak: its rate and length on the cut's
// timeline.
struct TWaveLayout {
    int Rate = 0;             // Hz
    int64_t TotalSamples = 0; // samples of the audio, from the first to the end
};

// Peaks for consecutive bins (TWavePeaks::BinSamples samples each) from FirstBin on.
struct TWaveChunk {
    int64_t FirstBin = 0;
    std::vector<float> Min, Max;
    bool Exact = false; // decoded, not estimated
};

class TWaveScan : public QObject {
public:
    TWaveScan();
    ~TWaveScan() override;

    // Begins the scan of fileName, cancelling one that runs. avformat and avcodec must be bound
    // (an open probe's libraries do). Returns at once.
    void Start(const QString& fileName);
    // Cancels the scan and waits only for each thread to finish the frame it is on; nothing of
    // it is delivered afterwards.
    void Stop();
    bool Running() const { return FThread.joinable() && !FFinished; }

    // Decode threads of a scan; 0 (the default) means one per core.
    void SetWorkers(int workers) { FWorkers = workers; }

    // Main thread. The layout comes first and once (not at all for a file that is not an MP3 of
    // layer III frames); then the overview's chunks, then the exact ones; then OnFinished, with
    // true when every bin was decoded.
    std::function<void(const TWaveLayout&)> OnLayout;
    std::function<void(const TWaveChunk&)> OnChunk;
    std::function<void(bool complete)> OnFinished;

    // The envelope of one MP3 frame (its header first) from its side information, full scale 1;
    // 0 when the frame codes nothing. Public for the tests.
    static float FrameEnvelope(const unsigned char* frame, int size);

protected:
    bool event(QEvent* e) override;

private:
    struct TItem {
        uint64_t Generation = 0;
        enum { Layout, Chunk, Finished } Kind = Chunk;
        TWaveLayout LayoutInfo;
        TWaveChunk ChunkData;
        bool Complete = false;
    };
    void Run(const QString& fileName, uint64_t generation);
    void Post(TItem&& item);
    void Drain();

    std::thread FThread;
    std::atomic<bool> FCancel{false};
    std::atomic<bool> FFinished{false}; // the scan thread has delivered its last item
    uint64_t FGeneration = 0;           // main thread only
    int FWorkers = 0;

    std::mutex FQueueLock; // guards FQueue and FWakePosted
    std::deque<TItem> FQueue;
    bool FWakePosted = false;
};
