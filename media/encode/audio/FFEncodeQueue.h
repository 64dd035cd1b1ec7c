#pragma once
// The bounded hand-over between a run's thread and its encoder thread (TFFEncoderThread): the
// run's thread pushes, the encoder thread pops, in order. A few frames are enough to keep both
// busy; a full queue makes the run's thread wait, so memory stays flat however long the run.
//
// A full queue lets the producer go on only once it is half empty again, and each side is woken
// only when the other waits for it: the threads hand over in bursts instead of waking each
// other for every frame.
//
// Either side may close the queue: the producer with Finish once everything is pushed (the
// consumer still gets what is queued), either with Abort (what is queued is dropped and both
// stop waiting). Whatever a side wrote before Finish or Abort is visible to the other once its
// Push or Pop has returned false.

#include "media/encode/loop/FFLoopSupport.h"

#include <cstddef>
#include <deque>
#include <mutex>
#include <pthread.h>

struct TFFOutputStream;

struct TFFEncodeItem {
    enum class TKind {
        Frame,       // samples for the stream's encoder
        EndOfStream, // the stream's encoder is to be drained
        Packet,      // a packet ready for the muxer (a copied stream's)
    };
    TKind Kind = TKind::Frame;
    TFFOutputStream* Stream = nullptr;
    ffstage::FramePtr Frame;
    ffstage::PacketPtr Packet;
};

class TFFEncodeQueue {
    // pthread's condition variable, waited on from here: ThreadSanitizer does not follow a wait
    // made inside libstdc++ (std::condition_variable's), and would then take the queue's own
    // locked accesses for races.
    struct TCondition {
        pthread_cond_t Cond = PTHREAD_COND_INITIALIZER;
        TCondition() = default;
        TCondition(const TCondition&) = delete;
        TCondition& operator=(const TCondition&) = delete;
        ~TCondition() { pthread_cond_destroy(&Cond); }
        template <class Pred> void Wait(std::unique_lock<std::mutex>& lock, Pred done) {
            while (!done())
                pthread_cond_wait(&Cond, lock.mutex()->native_handle());
        }
        void Signal() { pthread_cond_signal(&Cond); }
        void Broadcast() { pthread_cond_broadcast(&Cond); }
    };

public:
    explicit TFFEncodeQueue(size_t capacity) : Capacity(capacity ? capacity : 1) {}

    // Waits while the queue is full. False, leaving item as it was, once the queue is closed.
    bool Push(TFFEncodeItem& item);
    // Waits while the queue is empty and open. False when it is finished and drained, or
    // aborted.
    bool Pop(TFFEncodeItem& item);
    void Finish();
    // Also after the consumer has ended: taking the lock then makes whatever the consumer wrote
    // before its last Pop visible to the caller.
    void Abort();

private:
    const size_t Capacity;
    // Guards everything below.
    std::mutex Lock;
    TCondition NotFull, NotEmpty;
    std::deque<TFFEncodeItem> Items;
    bool Finished = false;
    bool Aborted = false;
    bool ProducerWaits = false; // for the queue to drain to half its capacity
    bool ConsumerWaits = false; // for an item
};
