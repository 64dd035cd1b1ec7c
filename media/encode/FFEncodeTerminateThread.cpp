#include "media/encode/FFEncodeTerminateThread.h"

#include "media/FFLog.h"
#include "media/MyUtils.h"

#include <chrono>
#include <exception>
#include <thread>

namespace ffencode {

bool TTerminateDelivery::Delivered() {
    std::lock_guard<std::mutex> lock(Lock);
    return Serving == NextTicket;
}

void TTerminateDelivery::WaitIdle() {
    std::unique_lock<std::mutex> lock(Lock);
    if (!IsMainThread()) {
        Changed.wait(lock, [this] { return Running == 0; });
        return;
    }
    while (Running > 0) {
        lock.unlock();
        PumpMessages();
        lock.lock();
        Changed.wait_for(lock, std::chrono::milliseconds(5), [this] { return Running == 0; });
    }
}

void TDoTerminateThread::Start(TTerminateEvent event, QObject* sender, const TTerminateInfo& info,
                               std::shared_ptr<TTerminateDelivery> delivery) {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(delivery->Lock);
        ticket = delivery->NextTicket++;
        ++delivery->Running;
    }
    std::thread([event = std::move(event), sender, info, delivery = std::move(delivery), ticket]() {
        {
            std::unique_lock<std::mutex> lock(delivery->Lock);
            delivery->Changed.wait(lock, [&] { return delivery->Serving == ticket; });
        }
        try {
            if (event)
                event(sender, info);
        } catch (const std::exception& e) {
            // Nobody could catch it on this thread, and ending the process would lose the
            // output; the next notification still has to go.
            ActiveLogger()->LogFmt(llError, "OnTerminate handler failed: %s", e.what());
        } catch (...) {
            ActiveLogger()->Log(llError, "OnTerminate handler failed");
        }
        std::lock_guard<std::mutex> lock(delivery->Lock);
        ++delivery->Serving;
        --delivery->Running;
        delivery->Changed.notify_all();
    }).detach();
}

} // namespace ffencode
