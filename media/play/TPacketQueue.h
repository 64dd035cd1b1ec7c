#pragma once
// A queue of demuxed packets between the read thread (the only writer) and one decoder (the
// audio callback, the video thread or the subtitle thread).
//
// A flush marker travels in the queue like a packet: the read thread puts one when the stream is
// opened and after every successful seek, and the reader flushes its decoder when it takes it,
// so packets from before a seek are never decoded together with those after it.

#include "media/AVPtr.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

struct TQueuedPacket {
    AVPacketPtr Packet; // nullptr for a flush marker
    bool Flush = false;
};

class TPacketQueue {
public:
    // Bytes counted per queued packet besides its data, for the read thread's limits.
    static constexpr int NodeOverhead = 72;

    // Takes pkt's data over, leaving pkt empty (data that is not reference-counted is copied);
    // -1 when that fails or the queue has been aborted.
    int Put(AVPacket* pkt);
    int PutFlush();
    // An empty packet of the stream: tells the decoder to drain at the end of input.
    int PutDrain(int streamIndex);
    // 1 with an item, 0 when empty and not blocking, -1 when aborted.
    int Get(TQueuedPacket& item, bool block);
    // As Get, waiting at most ms milliseconds (0 when nothing came).
    int GetFor(TQueuedPacket& item, int ms);
    void Flush();
    // Readers stop waiting and every later Get returns -1.
    void Abort();
    // Allows use again after Abort (a stream re-opened in the same playback).
    void Start();

    int Size();        // bytes, counted as above
    int PacketCount(); // queued items

private:
    int Push(TQueuedPacket item, int bytes);
    int GetUntil(TQueuedPacket& item, bool block, std::chrono::steady_clock::time_point until);

    std::mutex FLock; // guards every field below
    std::condition_variable FAdded;
    std::deque<TQueuedPacket> FItems;
    int FSize = 0;
    bool FAbort = false;
};
