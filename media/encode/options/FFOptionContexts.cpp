#include "media/encode/options/FFOptionContexts.h"

#include "media/encode/FFmpegException.h"

#include <algorithm>

namespace {
// The option flag a media type's context accepts. Data and attachment contexts take every
// codec option, as they have no flag of their own.
constexpr int TypeFlags[TFFOptionContexts::CodecTypeCount] = {
    AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};

const AVOption* FindOption(void* obj, const std::string& name, int flags = 0) {
    return obj == nullptr ? nullptr : ff::av_opt_find(obj, name.c_str(), nullptr, flags, 0);
}

// An option of a private class, found without an object of that class.
bool ClassHasOption(const AVClass* const* cls, const std::string& name) {
    return cls != nullptr && *cls != nullptr &&
           ff::av_opt_find(const_cast<const AVClass**>(cls), name.c_str(), nullptr, 0,
                           AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}
} // namespace

void TFFOptionContexts::Clear() {
    for (auto& c : FCodec)
        c.reset();
    FFormat.reset();
    FScaler.reset();
    for (auto& d : FCodecPrivate)
        d.reset();
    FFormatPrivate.reset();
    FSetNames.clear();
    FNameList.clear();
}

void TFFOptionContexts::Reset(int swsFlags) {
    Clear();
    for (int t = 0; t < CodecTypeCount; ++t) {
        FCodec[t].reset(ff::avcodec_alloc_context3(nullptr));
        if (!FCodec[t])
            throw FFmpegException("avcodec_alloc_context3 failed");
        FCodec[t]->codec_type = AVMediaType(t);
    }
    FScaler.reset(ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                     swsFlags, nullptr, nullptr, nullptr));
    FFormat.reset(ff::avformat_alloc_context());
    if (!FFormat)
        throw FFmpegException("avformat_alloc_context failed");
}

AVCodecContext* TFFOptionContexts::Codec(AVMediaType type) const {
    return type >= 0 && type < CodecTypeCount ? FCodec[type].get() : nullptr;
}

TFFOptionContexts::TSetResult TFFOptionContexts::Set(const std::string& name,
                                                     const std::string& value) {
    if (!Ready())
        return srUnknown;
    bool found = false;
    int ret = 0;
    for (int t = 0; t < CodecTypeCount && ret >= 0; ++t) {
        if (FindOption(FCodec[t].get(), name, TypeFlags[t]) != nullptr) {
            found = true;
            ret = ff::av_opt_set(FCodec[t].get(), name.c_str(), value.c_str(), 0);
        }
    }
    for (void* obj : {static_cast<void*>(FFormat.get()), static_cast<void*>(FScaler.get())}) {
        if (!found && FindOption(obj, name) != nullptr) {
            found = true;
            ret = ff::av_opt_set(obj, name.c_str(), value.c_str(), 0);
        }
    }
    // "ab", "vb", "sfoo": the name of a codec option with its stream kind in front.
    if (!found && name.size() > 1 && (name[0] == 'a' || name[0] == 'v' || name[0] == 's')) {
        AVCodecContext* ctx = Codec(name[0] == 'a'   ? AVMEDIA_TYPE_AUDIO
                                    : name[0] == 'v' ? AVMEDIA_TYPE_VIDEO
                                                     : AVMEDIA_TYPE_SUBTITLE);
        const std::string rest = name.substr(1);
        if (FindOption(ctx, rest) != nullptr) {
            found = true;
            ret = ff::av_opt_set(ctx, rest.c_str(), value.c_str(), 0);
        }
    }
    if (!found) {
        const TSetResult codec = SetCodecPrivate(name, value);
        const TSetResult format = SetFormatPrivate(name, value);
        if (codec == srUnknown && format == srUnknown)
            return srUnknown;
        // Some codec or container knows the name; the value must suit at least one of them.
        ret = codec == srSet || format == srSet ? 0 : AVERROR(EINVAL);
    }
    if (ret < 0)
        return srInvalidValue;
    Remember(name);
    return srSet;
}

void TFFOptionContexts::Remember(const std::string& name) {
    if (std::find(FSetNames.begin(), FSetNames.end(), name) == FSetNames.end()) {
        FSetNames.push_back(name);
        FNameList.append(QString::fromStdString(name));
    }
}

TFFOptionContexts::TSetResult TFFOptionContexts::SetCodecPrivate(const std::string& name,
                                                                 const std::string& value) {
    std::array<bool, CodecTypeCount> done{};
    bool known = false;
    void* it = nullptr;
    while (const AVCodec* codec = ff::av_codec_iterate(&it)) {
        const int t = codec->type;
        if (t < 0 || t >= CodecTypeCount || done[t] || !ClassHasOption(&codec->priv_class, name))
            continue;
        known = true;
        // Check the value against a context of that codec, so that a bad one is reported now
        // and not when the stream is opened.
        AVCodecContextPtr probe(ff::avcodec_alloc_context3(codec));
        if (!probe || probe->priv_data == nullptr ||
            ff::av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) < 0)
            continue;
        ff::av_dict_set(InOut(FCodecPrivate[t]), name.c_str(), value.c_str(), 0);
        done[t] = true;
    }
    if (std::any_of(done.begin(), done.end(), [](bool d) { return d; }))
        return srSet;
    return known ? srInvalidValue : srUnknown;
}

TFFOptionContexts::TSetResult TFFOptionContexts::SetFormatPrivate(const std::string& name,
                                                                  const std::string& value) {
    bool known = false;
    void* it = nullptr;
    while (const AVOutputFormat* muxer = ff::av_muxer_iterate(&it)) {
        if (!ClassHasOption(&muxer->priv_class, name))
            continue;
        known = true;
        AVFormatContext* raw = nullptr;
        if (ff::avformat_alloc_output_context2(&raw, muxer, nullptr, nullptr) < 0)
            continue;
        AVFormatOptionsPtr probe(raw);
        if (probe->priv_data == nullptr ||
            ff::av_opt_set(probe->priv_data, name.c_str(), value.c_str(), 0) < 0)
            continue;
        ff::av_dict_set(InOut(FFormatPrivate), name.c_str(), value.c_str(), 0);
        return srSet;
    }
    if (known)
        return srInvalidValue;
    // A demuxer's private options cannot be checked before a file is opened with it.
    it = nullptr;
    while (const AVInputFormat* demuxer = ff::av_demuxer_iterate(&it)) {
        if (ClassHasOption(&demuxer->priv_class, name)) {
            ff::av_dict_set(InOut(FFormatPrivate), name.c_str(), value.c_str(), 0);
            return srSet;
        }
    }
    return srUnknown;
}

void TFFOptionContexts::CopyTo(void* source, void* target, int flags) const {
    if (source == nullptr || target == nullptr)
        return;
    for (const std::string& name : FSetNames) {
        if (FindOption(source, name, flags) == nullptr || FindOption(target, name) == nullptr)
            continue;
        uint8_t* text = nullptr;
        if (ff::av_opt_get(source, name.c_str(), 0, &text) >= 0 && text != nullptr)
            ff::av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(text), 0);
        ff::av_free(text);
    }
}

AVDictionaryPtr TFFOptionContexts::CodecPrivateOptions(AVMediaType type) const {
    AVDictionaryPtr copy;
    if (type >= 0 && type < CodecTypeCount && FCodecPrivate[type])
        ff::av_dict_copy(InOut(copy), FCodecPrivate[type].get(), 0);
    return copy;
}

AVDictionaryPtr TFFOptionContexts::FormatPrivateOptions() const {
    AVDictionaryPtr copy;
    if (FFormatPrivate)
        ff::av_dict_copy(InOut(copy), FFormatPrivate.get(), 0);
    return copy;
}
