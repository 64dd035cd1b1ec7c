#include "media/encode/audio/FFEncodeQueue.h"

bool TFFEncodeQueue::Push(TFFEncodeItem& item) {
    std::unique_lock<std::mutex> lock(Lock);
    if (Items.size() >= Capacity && !Aborted && !Finished) {
        ProducerWaits = true;
        NotFull.Wait(lock, [this] { return Aborted || Finished || Items.size() <= Capacity / 2; });
        ProducerWaits = false;
    }
    if (Aborted || Finished)
        return false;
    Items.push_back(std::move(item));
    const bool wake = ConsumerWaits;
    lock.unlock();
    if (wake)
        NotEmpty.Signal();
    return true;
}

bool TFFEncodeQueue::Pop(TFFEncodeItem& item) {
    std::unique_lock<std::mutex> lock(Lock);
    if (Items.empty() && !Aborted && !Finished) {
        ConsumerWaits = true;
        NotEmpty.Wait(lock, [this] { return Aborted || Finished || !Items.empty(); });
        ConsumerWaits = false;
    }
    if (Aborted || Items.empty())
        return false;
    item = std::move(Items.front());
    Items.pop_front();
    const bool wake = ProducerWaits && Items.size() <= Capacity / 2;
    lock.unlock();
    if (wake)
        NotFull.Signal();
    return true;
}

void TFFEncodeQueue::Finish() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        Finished = true;
    }
    NotEmpty.Broadcast();
    NotFull.Broadcast();
}

void TFFEncodeQueue::Abort() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        Aborted = true;
        Items.clear();
    }
    NotEmpty.Broadcast();
    NotFull.Broadcast();
}
