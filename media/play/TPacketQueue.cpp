#include "media/play/TPacketQueue.h"

int TPacketQueue::Push(TQueuedPacket item, int bytes) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FAbort)
            return -1;
        FItems.push_back(std::move(item));
        FSize += bytes + NodeOverhead;
    }
    FAdded.notify_one();
    return 0;
}

int TPacketQueue::Put(AVPacket* pkt) {
    // The packet's data moves into the queue rather than being shared: a buffer that two threads
    // hold is freed by whichever lets go last, and the libraries' reference count, which orders
    // that, is invisible to the race checker.
    AVPacketPtr copy = MakePacket();
    if (!copy)
        return -1;
    if (pkt->buf != nullptr) {
        ff::av_packet_move_ref(copy.get(), pkt);
    } else if (ff::av_packet_ref(copy.get(), pkt) < 0) {
        return -1; // data the demuxer still owns is copied
    }
    const int bytes = copy->size;
    return Push({std::move(copy), false}, bytes);
}

int TPacketQueue::PutFlush() {
    return Push({nullptr, true}, 0);
}

int TPacketQueue::PutDrain(int streamIndex) {
    AVPacketPtr drain = MakePacket();
    if (!drain)
        return -1;
    drain->stream_index = streamIndex;
    return Push({std::move(drain), false}, 0);
}

int TPacketQueue::Get(TQueuedPacket& item, bool block) {
    return GetUntil(item, block, std::chrono::steady_clock::time_point::max());
}

int TPacketQueue::GetFor(TQueuedPacket& item, int ms) {
    return GetUntil(item, true, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

int TPacketQueue::GetUntil(TQueuedPacket& item, bool block,
                           std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        if (FAbort)
            return -1;
        if (!FItems.empty()) {
            item = std::move(FItems.front());
            FItems.pop_front();
            FSize -= (item.Packet ? item.Packet->size : 0) + NodeOverhead;
            return 1;
        }
        if (!block || std::chrono::steady_clock::now() >= until)
            return 0;
        if (until == std::chrono::steady_clock::time_point::max())
            FAdded.wait(lock);
        else
            FAdded.wait_until(lock, until);
    }
}

void TPacketQueue::Flush() {
    std::deque<TQueuedPacket> old;
    {
        std::lock_guard<std::mutex> lock(FLock);
        old.swap(FItems);
        FSize = 0;
    }
    // The packets are freed outside the lock; the reader need not wait for that.
}

void TPacketQueue::Abort() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FAbort = true;
    }
    FAdded.notify_all();
}

void TPacketQueue::Start() {
    std::lock_guard<std::mutex> lock(FLock);
    FAbort = false;
}

int TPacketQueue::Size() {
    std::lock_guard<std::mutex> lock(FLock);
    return FSize;
}

int TPacketQueue::PacketCount() {
    std::lock_guard<std::mutex> lock(FLock);
    return int(FItems.size());
}
