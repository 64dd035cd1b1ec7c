#pragma once
// The library option objects behind the generic options: names outside the engine's own
// vocabulary are handed to FFmpeg's option tables. One codec context per media type, one format
// context and one scaler context hold the values; the output and input stages later copy the
// values of every name that was set into the contexts they create.
//
// Options private to one codec or one container (libmp3lame's "reservoir", the MPEG muxers'
// "muxrate" ...) have no home in a context that is not bound to that codec or container. They
// are kept as name=value pairs of the media type or of the format and handed to the library when
// the codec is opened or the header written, which ignores them for a codec or container that
// does not know them.
//
// Used by one engine on the thread that applies its options; not shared.

#include "media/AVPtr.h"

#include <QStringList>

#include <array>
#include <string>
#include <vector>

namespace ffopt {
struct FormatContextDeleter {
    void operator()(AVFormatContext* p) const {
        if (ff::avformat_free_context != nullptr)
            ff::avformat_free_context(p);
    }
};
} // namespace ffopt
using AVFormatOptionsPtr = std::unique_ptr<AVFormatContext, ffopt::FormatContextDeleter>;

class TFFOptionContexts {
public:
    static constexpr int CodecTypeCount = 5; // video, audio, data, subtitle, attachment

    // Frees everything; Reset() must run before the first Set().
    void Clear();
    // Fresh contexts with the libraries' defaults; the scaler is made for a 16x16 picture with
    // swsFlags. Throws FFmpegException when the libraries cannot allocate them.
    void Reset(int swsFlags);
    bool Ready() const { return FFormat != nullptr; }

    enum TSetResult { srSet, srInvalidValue, srUnknown };
    // The generic fallback without its logging: media-type contexts, format, scaler, then the
    // "a"/"v"/"s" prefix retry, then the private tables. Records the name on success.
    TSetResult Set(const std::string& name, const std::string& value);

    AVCodecContext* Codec(AVMediaType type) const;
    AVFormatContext* Format() const { return FFormat.get(); }
    SwsContext* Scaler() const { return FScaler.get(); }
    // Names set successfully, in the order they were first set.
    const std::vector<std::string>& SetNames() const { return FSetNames; }
    // The same names as a list of wide strings, for stages that keep names that way.
    const QStringList& NameList() const { return FNameList; }

    // Copies the value of every set name that target's class has with all bits of flags (e.g.
    // AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_AUDIO_PARAM) from source into target.
    void CopyTo(void* source, void* target, int flags) const;
    // The private codec options of a media type / the private format options, for
    // avcodec_open2 / avformat_write_header / avformat_open_input. The caller owns the copy.
    AVDictionaryPtr CodecPrivateOptions(AVMediaType type) const;
    AVDictionaryPtr FormatPrivateOptions() const;

private:
    void Remember(const std::string& name);
    // A private option of some codec accepted by that media type / of some container.
    TSetResult SetCodecPrivate(const std::string& name, const std::string& value);
    TSetResult SetFormatPrivate(const std::string& name, const std::string& value);

    std::array<AVCodecContextPtr, CodecTypeCount> FCodec;
    AVFormatOptionsPtr FFormat;
    SwsContextPtr FScaler;
    std::array<AVDictionaryPtr, CodecTypeCount> FCodecPrivate;
    AVDictionaryPtr FFormatPrivate;
    std::vector<std::string> FSetNames;
    QStringList FNameList;
};
