#pragma once
// The encoder's side of an output audio stream: a frame of samples (or the end of the stream)
// goes into the encoder, and every packet it gives back is stamped for the stream and written.
// Runs on whichever thread owns the stream's encoder and muxer for the run: the run's own
// thread, or the encoder thread of TFFEncoderThread.

#include "media/encode/prepare/FFPrepareStreams.h"

#include <cstdint>
#include <functional>

class TFFAudioEncode {
public:
    // Writes one encoded packet of an output stream (the loop's muxing step).
    using TWrite = std::function<void(TFFOutputStream&, AVPacket*)>;

    // Sends frame to the stream's encoder and writes what comes back; audioBytes grows by the
    // bytes of the packets written. Raises "Audio encoding failed" when the encoder refuses.
    static void Send(TFFOutputStream& ost, AVFrame* frame, int64_t& audioBytes,
                     const TWrite& write);
    // Tells the encoder the stream has ended and writes the packets it still held. An encoder
    // that was flushed before is left alone.
    static void End(TFFOutputStream& ost, int64_t& audioBytes, const TWrite& write);
    // Writes every packet the encoder has ready.
    static void Drain(TFFOutputStream& ost, int64_t& audioBytes, const TWrite& write);
};
