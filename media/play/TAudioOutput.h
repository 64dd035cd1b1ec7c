#pragma once
// The audio half of a playback: the decoder of the chosen audio stream, the SDL audio device it
// plays through, and the audio clock.
//
// SDL's audio thread pulls sound through Callback: it decodes packets of the audio queue into one
// chunk at a time (converted to interleaved signed 16-bit at the stream's own rate, through a
// resampler only when the decoder gives another layout), hands the chunk to the audio hook and the
// audio display, and mixes it into SDL's buffer at the player's volume. The callback does not
// wait: an empty queue, a pause or an abort give silence at once (only for the very first packet
// of the playback does it wait a few milliseconds, on the queue, which an abort wakes); its log
// lines go to the playback's log queue.
//
// The clock is published by the callback as one value and read by the play thread for positions.

#include "media/AVPtr.h"
#include "media/play/TPlayerDisplay.h"

#include <atomic>
#include <cstdint>
#include <mutex>

class TPlaybackState;

class TAudioOutput : public TAudioDisplaySource {
public:
    static constexpr int BufferBytes = 288000; // one chunk at most (1.5 × the largest frame)
    static constexpr int DeviceSamples = 1024; // sample frames per device buffer
    static constexpr int SilenceBytes = 1024;  // played while there is nothing to decode
    static constexpr int DisplayRingSamples = 131072;
    static constexpr int FirstSoundWaitMs = 20; // the longest wait for the first packet

    explicit TAudioOutput(TPlaybackState& playback);
    ~TAudioOutput();
    TAudioOutput(const TAudioOutput&) = delete;
    TAudioOutput& operator=(const TAudioOutput&) = delete;

    // Opens the decoder (under the codec lock) and the device; starts the device. 0 or -1 with
    // the reason queued on the playback's log.
    int Open(AVStream* stream);
    // Aborted queue first, so a running callback leaves; then the device and the decoder.
    void Close();

    // Seconds of the sample SDL receives next; NaN until the first chunk of the playback.
    double Clock() const { return FPublishedClock.load(std::memory_order_acquire); }
    int SampleRate() const override { return FSampleRate; }
    int Channels() const override { return FChannels; }
    uint32_t DeviceId() const { return FDevice; }
    // Bytes of decoded audio not yet handed to SDL (for the audio display's delay).
    int PendingBytes() const override { return FPendingBytes.load(std::memory_order_relaxed); }
    // av_gettime() of the last callback start; 0 before the first.
    int64_t CallbackTime() const override { return FCallbackTime.load(std::memory_order_relaxed); }

    // Copies the newest count samples per channel of the display ring, ending delaySamples
    // frames before its write position, into out (interleaved). The play thread's side.
    void CopyDisplaySamples(int16_t* out, int frames, int delayFrames) override;

private:
    static void SDLCALL CallbackThunk(void* userdata, Uint8* stream, int len);
    void Callback(Uint8* stream, int len);
    // Size in bytes of a new chunk in FCurrent with its start time in chunkPts (s), or -1.
    int Decode(double& chunkPts);
    int Convert(const AVFrame* frame);
    int SyncChunk(int size);
    void FeedDisplay(const uint8_t* data, int size);

    TPlaybackState& FPlayback;
    AVCodecContextPtr FCodec;
    AVFramePtr FFrame;
    SwrContextPtr FSwr;
    int FSwrFormat = -1;        // decoder sample format the resampler was made for
    uint64_t FSwrLayoutKey = 0; // and its channel count
    uint32_t FDevice = 0;
    int FSampleRate = 0, FChannels = 0;
    int FBytesPerSecond = 0;
    AVRational FTimeBase{1, 1};
    bool FDecoderHasInput = false;

    // Touched by the audio thread only (after Open).
    uint8_t* FCurrent = nullptr;
    int FSize = 0, FIndex = 0;
    bool FSilence = true;
    bool FPlayed = false; // a chunk of sound has been handed to SDL
    double FClock = 0;    // s, end of the last decoded chunk
    bool FClockKnown = false;
    double FDiffSum = 0, FDiffCoef = 0, FDiffThreshold = 0;
    int FDiffCount = 0;
    alignas(16) uint8_t FBuf1[BufferBytes];
    alignas(16) uint8_t FBuf2[BufferBytes + BufferBytes / 8]; // room for a lengthened chunk

    std::atomic<double> FPublishedClock;
    std::atomic<int> FPendingBytes{0};
    std::atomic<int64_t> FCallbackTime{0};

    std::mutex FDisplayLock; // guards the display ring and its write index
    int16_t FDisplayRing[DisplayRingSamples] = {};
    int FDisplayWrite = 0;
};
