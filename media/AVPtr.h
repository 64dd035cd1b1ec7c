#pragma once
// Owning handles for FFmpeg objects.
//
// Every FFmpeg object of the media layer lives in one of these, so an early return or an
// exception can never leak a context or free one twice. The deleters call the libraries through
// the loader's entry points; when the library has been unloaded in the meantime (its entry point
// is nullptr) the object's memory went with it and the deleter does nothing.
//
// Format contexts opened through the opener of UnicodeProtocol.h may carry an I/O context of our
// own, so their deleters go through CloseInputFile/CloseOutputFile, which know how to free it.
//
// Functions that take T** (avformat_open_input, av_dict_set, swr_alloc_set_opts2 ...) are fed
// through InOut(ptr): the handle gives up its object for the call and takes back whatever the
// call left there.
//
//     AVDictionaryPtr opts;
//     ff::av_dict_set(InOut(opts), "probesize", "32768", 0);
//     AVInputContextPtr ic;
//     int ret = OpenInputFile(InOut(ic), name, nullptr, InOut(opts));

#include "media/FFEntryPoints.h"
#include "media/UnicodeProtocol.h"

#include <memory>
#include <utility>

namespace avptr {
struct InputContextDeleter {
    void operator()(AVFormatContext* p) const {
        if (ff::avformat_close_input != nullptr)
            CloseInputFile(&p);
    }
};
struct OutputContextDeleter {
    void operator()(AVFormatContext* p) const {
        if (ff::avformat_free_context != nullptr)
            CloseOutputFile(&p);
    }
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* p) const {
        if (ff::avcodec_free_context != nullptr)
            ff::avcodec_free_context(&p);
    }
};
struct FrameDeleter {
    void operator()(AVFrame* p) const {
        if (ff::av_frame_free != nullptr)
            ff::av_frame_free(&p);
    }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const {
        if (ff::av_packet_free != nullptr)
            ff::av_packet_free(&p);
    }
};
struct SwrDeleter {
    void operator()(SwrContext* p) const {
        if (ff::swr_free != nullptr)
            ff::swr_free(&p);
    }
};
struct SwsDeleter {
    void operator()(SwsContext* p) const {
        if (ff::sws_freeContext != nullptr)
            ff::sws_freeContext(p);
    }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* p) const {
        if (ff::av_audio_fifo_free != nullptr)
            ff::av_audio_fifo_free(p);
    }
};
struct DictionaryDeleter {
    void operator()(AVDictionary* p) const {
        if (ff::av_dict_free != nullptr)
            ff::av_dict_free(&p);
    }
};
// For I/O contexts made with avio_alloc_context (ours included); one from avio_open is closed
// with CloseIOContext instead, which also handles this case.
struct IOContextDeleter {
    void operator()(AVIOContext* p) const {
        if (ff::avio_context_free != nullptr)
            FreeIOContext(&p);
    }
};
struct FilterGraphDeleter {
    void operator()(AVFilterGraph* p) const {
        if (ff::avfilter_graph_free != nullptr)
            ff::avfilter_graph_free(&p);
    }
};
struct FilterInOutDeleter {
    void operator()(AVFilterInOut* p) const {
        if (ff::avfilter_inout_free != nullptr)
            ff::avfilter_inout_free(&p);
    }
};
} // namespace avptr

using AVInputContextPtr = std::unique_ptr<AVFormatContext, avptr::InputContextDeleter>;
using AVOutputContextPtr = std::unique_ptr<AVFormatContext, avptr::OutputContextDeleter>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, avptr::CodecContextDeleter>;
using AVFramePtr = std::unique_ptr<AVFrame, avptr::FrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, avptr::PacketDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, avptr::SwrDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, avptr::SwsDeleter>;
using AVAudioFifoPtr = std::unique_ptr<AVAudioFifo, avptr::AudioFifoDeleter>;
using AVDictionaryPtr = std::unique_ptr<AVDictionary, avptr::DictionaryDeleter>;
using AVIOContextPtr = std::unique_ptr<AVIOContext, avptr::IOContextDeleter>;
using AVFilterGraphPtr = std::unique_ptr<AVFilterGraph, avptr::FilterGraphDeleter>;
using AVFilterInOutPtr = std::unique_ptr<AVFilterInOut, avptr::FilterInOutDeleter>;

namespace avptr {
// Hands a handle's object to a function taking T** and adopts what the function leaves there,
// also when the function freed it (nullptr) or replaced it.
template <class Ptr> class TInOut {
public:
    explicit TInOut(Ptr& owner) : FOwner(owner), FRaw(owner.release()) {}
    ~TInOut() { FOwner.reset(FRaw); }
    TInOut(const TInOut&) = delete;
    TInOut& operator=(const TInOut&) = delete;
    operator typename Ptr::pointer *() { return &FRaw; }

private:
    Ptr& FOwner;
    typename Ptr::pointer FRaw;
};
} // namespace avptr

template <class Ptr> avptr::TInOut<Ptr> InOut(Ptr& owner) {
    return avptr::TInOut<Ptr>(owner);
}

inline AVFramePtr MakeFrame() {
    return AVFramePtr(ff::av_frame_alloc());
}
inline AVPacketPtr MakePacket() {
    return AVPacketPtr(ff::av_packet_alloc());
}
