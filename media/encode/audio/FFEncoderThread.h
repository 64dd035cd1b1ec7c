#pragma once
// The encoder thread of a run whose outputs are audio only: the run's thread decodes, hooks
// (the cut's fade), scales and cuts the audio into encoder frames, and this thread encodes them
// and writes the packets to the muxer, so that the encoder (LAME) and the decoder work on two
// cores at once.
//
// Threads: the run's thread creates this object (which starts the encoder thread), hands it
// frames, end-of-stream marks and copied packets, and calls Finish, which waits until all of
// them are written and joins the thread; the destructor aborts and joins when Finish was not
// reached (the run failed on its own side). Between start and Finish the encoder thread alone
// touches the muxer, the output file, the audio encoders and the encoded streams' packet
// counters; the run's thread keeps the decoders, the audio path up to the encoder frames and the
// copied streams' counters. Items cross through a bounded queue in the order they were made, so
// the muxer sees exactly the packets and order a run on one thread gives it.
//
// A failure on the encoder thread (the engine exception of the encoder or of a write) stops it
// and reaches the run's thread from its next hand-over or from Finish, as the same exception.

#include "media/encode/audio/FFAudioEncode.h"
#include "media/encode/audio/FFEncodeQueue.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

class TFFEncoderThread {
public:
    // Frames in flight between the threads: enough to ride out a scheduling hiccup, small enough
    // to keep memory flat (a LAME frame of stereo float is 9 KiB).
    static constexpr size_t QueueFrames = 8;

    // write runs on the encoder thread for every packet: the encoded ones and the copied ones.
    explicit TFFEncoderThread(TFFAudioEncode::TWrite write);
    ~TFFEncoderThread();
    TFFEncoderThread(const TFFEncoderThread&) = delete;
    TFFEncoderThread& operator=(const TFFEncoderThread&) = delete;

    // The run's thread hands over; each waits while the queue is full and raises the encoder
    // thread's failure instead when it has one.
    void Encode(TFFOutputStream& ost, ffstage::FramePtr frame);
    void EndOfStream(TFFOutputStream& ost);
    void Write(TFFOutputStream& ost, ffstage::PacketPtr pkt);

    // Waits until everything handed over has been written and joins the thread; raises the
    // encoder thread's failure. The counters below are final once it has returned.
    void Finish();

    // Bytes of encoded audio written: read after Finish.
    int64_t AudioBytes() const { return FAudioBytes; }

private:
    void Hand(TFFEncodeItem& item);
    void Body();
    void JoinAndRethrow();

    TFFAudioEncode::TWrite FWrite;
    TFFEncodeQueue FQueue{QueueFrames};
    // Set by the encoder thread before it aborts the queue; read by the run's thread after the
    // queue refused it, or after the join.
    std::exception_ptr FFailure;
    int64_t FAudioBytes = 0; // the encoder thread's until the join
    std::thread FThread;     // last: started once everything above exists
};
