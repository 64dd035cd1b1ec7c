#include "media/encode/audio/FFEncoderThread.h"

using namespace ffstage;

TFFEncoderThread::TFFEncoderThread(TFFAudioEncode::TWrite write)
    : FWrite(std::move(write)), FThread([this] { Body(); }) {}

TFFEncoderThread::~TFFEncoderThread() {
    // The run's thread gave up (its own failure or a Finish that raised): nothing queued is
    // worth encoding any more.
    FQueue.Abort();
    if (FThread.joinable())
        FThread.join();
}

void TFFEncoderThread::Encode(TFFOutputStream& ost, FramePtr frame) {
    TFFEncodeItem item;
    item.Kind = TFFEncodeItem::TKind::Frame;
    item.Stream = &ost;
    item.Frame = std::move(frame);
    Hand(item);
}

void TFFEncoderThread::EndOfStream(TFFOutputStream& ost) {
    TFFEncodeItem item;
    item.Kind = TFFEncodeItem::TKind::EndOfStream;
    item.Stream = &ost;
    Hand(item);
}

void TFFEncoderThread::Write(TFFOutputStream& ost, PacketPtr pkt) {
    TFFEncodeItem item;
    item.Kind = TFFEncodeItem::TKind::Packet;
    item.Stream = &ost;
    item.Packet = std::move(pkt);
    Hand(item);
}

void TFFEncoderThread::Hand(TFFEncodeItem& item) {
    if (FQueue.Push(item))
        return;
    JoinAndRethrow();
    // Only a queue closed by Finish refuses without a failure: handing over after it is a
    // mistake of the run's thread.
    Raise(std::string("Audio encoding failed"));
}

void TFFEncoderThread::Finish() {
    FQueue.Finish();
    JoinAndRethrow();
}

void TFFEncoderThread::JoinAndRethrow() {
    if (FThread.joinable())
        FThread.join();
    // The join orders the thread's writes before what follows, but ThreadSanitizer does not see
    // a join inside libstdc++; the queue's lock, taken last by the thread, shows it the order.
    FQueue.Abort();
    if (FFailure)
        std::rethrow_exception(FFailure);
}

void TFFEncoderThread::Body() {
    TFFEncodeItem item;
    try {
        while (FQueue.Pop(item)) {
            switch (item.Kind) {
            case TFFEncodeItem::TKind::Frame:
                TFFAudioEncode::Send(*item.Stream, item.Frame.get(), FAudioBytes, FWrite);
                break;
            case TFFEncodeItem::TKind::EndOfStream:
                TFFAudioEncode::End(*item.Stream, FAudioBytes, FWrite);
                break;
            case TFFEncodeItem::TKind::Packet:
                FWrite(*item.Stream, item.Packet.get());
                break;
            }
            item = TFFEncodeItem();
        }
    } catch (...) {
        FFailure = std::current_exception();
        FQueue.Abort();
    }
}
