#include "media/decode/TCustomDecoder.h"

#include "media/FFLog.h"
#include "media/FFUtils.h"
#include "media/MyUtils.h"
#include "media/UnicodeProtocol.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <stdexcept>

namespace {

// The value of the first metadata entry named key (any case), or "".
QString Tag(const AVDictionary* metadata, const char* key) {
    const AVDictionaryEntry* entry = ff::av_dict_get(metadata, key, nullptr, 0);
    return entry != nullptr && entry->value != nullptr ? QString::fromUtf8(entry->value)
                                                       : QString();
}

// The number a tag starts with: "2024-05-01" gives 2024, "7/12" gives 7; 0 when it starts with
// no digit. Saturates rather than overflowing on absurdly long digit runs.
int32_t LeadingNumber(const QString& text) {
    const QString t = text.trimmed();
    int64_t value = 0;
    for (const QChar c : t) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        value = value * 10 + (c.unicode() - '0');
        if (value > INT32_MAX)
            return INT32_MAX;
    }
    return int32_t(value);
}

int64_t CreationTimestamp(const AVDictionary* metadata) {
    const QByteArray text = Tag(metadata, "creation_time").toUtf8();
    if (text.isEmpty())
        return 0;
    int64_t us = 0;
    return ff::av_parse_time(&us, text.constData(), 0) < 0 ? 0 : us;
}

// The sum of the streams' own bit rates, bits per second. libavformat's format-level figure is
// the file size over the duration: tags and cover pictures inflate it, and a file cut short
// whose header still states the full duration reports a fraction of the real rate, which the
// cut would then hand to the encoder. The container's figure is used only when no stream knows
// its rate. Kept to 32 bits; no real stream comes near 2 Gbit/s, but a corrupt header might.
int32_t TotalBitRate(const AVFormatContext* ic) {
    int64_t total = 0;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (par != nullptr && par->bit_rate > 0)
            total += std::min<int64_t>(par->bit_rate, INT32_MAX);
    }
    if (total <= 0)
        total = ic->bit_rate;
    return int32_t(std::clamp<int64_t>(total, INT32_MIN, INT32_MAX));
}

} // namespace

TCustomDecoder::TCustomDecoder(QObject* parent) : TFFBaseComponent(DecoderLibraries, parent) {}

TCustomDecoder::~TCustomDecoder() {
    CloseMediaFile();
}

void TCustomDecoder::CheckLibraries() {
    static constexpr struct {
        TLibraryKind Kind;
        const char* Message;
    } Required[] = {{lkAVCodec, "LibAVCodec not loaded."},
                    {lkAVFormat, "LibAVFormat not loaded."},
                    {lkAVUtil, "LibAVUtil not loaded."},
                    {lkSwScale, "LibSwScale not loaded."}};
    for (const auto& library : Required)
        if (!FFLoader().LibLoaded(library.Kind))
            throw std::runtime_error(library.Message);
}

void TCustomDecoder::Fail(const QString& message) {
    SetLastErrorText(message);
    CloseMediaFile();
}

bool TCustomDecoder::OpenMediaFile(const QString& fileName, const QString& formatName) {
    CheckLibraries();
    CloseMediaFile();

    const AVInputFormat* format = nullptr;
    if (!formatName.isEmpty()) {
        format = ff::av_find_input_format(formatName.toUtf8().constData());
        if (format == nullptr) {
            SetLastErrorText(QStringLiteral("Unknown input format: %1").arg(formatName));
            return false;
        }
    }

    AVInputContextPtr context(ff::avformat_alloc_context());
    if (!context) {
        Fail(LibErrorText(fileName, AVERROR(ENOMEM)));
        return false;
    }
    // Probing must never wait on a slow source; a regular file is unaffected.
    context->flags |= AVFMT_FLAG_NONBLOCK;
    // The opener frees the context when it fails.
    const int ret = OpenInputFile(InOut(context), fileName, format, nullptr);
    if (ret < 0) {
        const QString message = LibErrorText(fileName, ret);
        ActiveLogger()->Log(this, llError, message);
        Fail(message);
        return false;
    }
    FFormatContext = context.get();
    FOwned = std::move(context);
    FOwnsContext = true;

    int found;
    {
        // Finding the stream parameters opens and closes decoders.
        const auto codecs = LockCodecs();
        found = ff::avformat_find_stream_info(FFormatContext, nullptr);
    }
    if (found < 0) {
        Fail(QStringLiteral("%1: could not find codec parameters").arg(fileName));
        return false;
    }
    RefreshFields();
    FFormatName = formatName;
    return true;
}

void TCustomDecoder::GetMediaInfo(TFileStreamInfo& info) {
    info = TFileStreamInfo();
    if (FFormatContext == nullptr) {
        const QString message = QStringLiteral("file not loaded.");
        ActiveLogger()->Log(this, llWarning, message);
        SetLastErrorText(message);
        return;
    }
    const AVFormatContext* ic = FFormatContext;
    const AVDictionary* tags = ic->metadata;
    info.StartTime = ic->start_time == AV_NOPTS_VALUE ? -1 : ic->start_time;
    info.Duration = ic->duration == AV_NOPTS_VALUE ? -1 : ic->duration;
    info.BitRate = TotalBitRate(ic);
    info.Timestamp = CreationTimestamp(tags);
    const QString year = Tag(tags, "year");
    info.Year = LeadingNumber(year.isEmpty() ? Tag(tags, "date") : year);
    info.Track = LeadingNumber(Tag(tags, "track"));
    info.Title = Tag(tags, "title");
    info.Author = Tag(tags, "artist");
    if (info.Author.isEmpty())
        info.Author = Tag(tags, "author");
    info.Copyright = Tag(tags, "copyright");
    info.Comment = Tag(tags, "comment");
    info.Album = Tag(tags, "album");
    info.Genre = Tag(tags, "genre");
}

TFileStreamInfo TCustomDecoder::GetMediaInfo() {
    TFileStreamInfo info;
    GetMediaInfo(info);
    return info;
}

void TCustomDecoder::CloseMediaFile() {
    FFormatName.clear();
    if (FOwned) {
        const auto codecs = LockCodecs();
        FOwned.reset();
    }
    FFormatContext = nullptr;
    FOwnsContext = false;
    RefreshFields();
}

void TCustomDecoder::AttachContext(AVFormatContext* context) {
    if (context == FFormatContext)
        return;
    CheckLibraries();
    CloseMediaFile();
    FOwnsContext = false;
    FFormatContext = context;
    RefreshFields();
}

QString TCustomDecoder::FormatLongName() const {
    if (FFormatContext == nullptr || FFormatContext->iformat == nullptr ||
        FFormatContext->iformat->long_name == nullptr)
        return QString();
    return QString::fromUtf8(FFormatContext->iformat->long_name);
}

void TCustomDecoder::RefreshFields() {
    FFileSize = -1;
    FStreamCount = FProgramCount = -1;
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStream = FFirstVideoStream = FFirstSubtitleStream = -1;
    const AVFormatContext* ic = FFormatContext;
    if (ic == nullptr)
        return;

    // The byte stream knows the size unless it is not seekable (or there is none).
    int64_t contextSize = 0;
    if (ic->pb != nullptr && !(ic->iformat != nullptr && (ic->iformat->flags & AVFMT_NOFILE)))
        contextSize = ff::avio_size(ic->pb);
    if (contextSize > 0) {
        FFileSize = contextSize;
    } else {
        const QString file = URLToFileName(ic->url);
        if (!file.isEmpty() && FileExistsW(file))
            FFileSize = GetFileSizeW(file);
        else
            FFileSize = contextSize < 0 ? -1 : contextSize;
    }

    FStreamCount = int(ic->nb_streams);
    FProgramCount = int(ic->nb_programs);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (par == nullptr)
            continue;
        switch (par->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            ++FVideoStreamCount;
            if (FFirstVideoStream < 0)
                FFirstVideoStream = int(i);
            break;
        case AVMEDIA_TYPE_AUDIO:
            ++FAudioStreamCount;
            if (FFirstAudioStream < 0)
                FFirstAudioStream = int(i);
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            ++FSubtitleStreamCount;
            if (FFirstSubtitleStream < 0)
                FFirstSubtitleStream = int(i);
            break;
        default:
            break;
        }
    }
}
