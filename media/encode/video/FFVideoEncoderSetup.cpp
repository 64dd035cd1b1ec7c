#include "media/encode/video/FFVideoEncoderSetup.h"

#include "media/encode/loop/FFLoopSupport.h"

#include <cstdlib>
#include <cstring>

using namespace ffstage;

std::vector<TRcOverrideEntry> ParseRcOverride(const std::string& text) {
    std::vector<TRcOverrideEntry> entries;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('/', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        TRcOverrideEntry e;
        int consumed = 0;
        if (std::sscanf(item.c_str(), "%d,%d,%d%n", &e.StartFrame, &e.EndFrame, &e.Q,
                        &consumed) != 3)
            Raise(std::string("error parsing rc_override"));
        entries.push_back(e);
    }
    return entries;
}

namespace {

// The matrices belong to the codec context, which frees them with av_free.
uint16_t* CopyMatrix(const std::vector<uint16_t>& m) {
    auto* p = static_cast<uint16_t*>(ff::av_malloc(sizeof(uint16_t) * 64));
    if (!p)
        Raise(std::string("Not enough memory"));
    std::memcpy(p, m.data(), sizeof(uint16_t) * 64);
    return p;
}

} // namespace

void ApplyVideoEncoderOptions(const TFFOptionState& s, const AVCodec* encoder, AVCodecContext* c) {
    AVRational rate = s.FrameRate.den && s.FrameRate.num ? s.FrameRate : AVRational{25, 1};
    if (encoder && encoder->supported_framerates && !s.ForceFps)
        rate = encoder->supported_framerates[ff::av_find_nearest_q_idx(
            rate, encoder->supported_framerates)];
    c->time_base = av_inv_q(rate);
    c->framerate = rate;
    // Only a size or aspect asked for is set here; without one the encoder takes what its
    // pictures come in at, decided when the run sets the stream up (after the filters).
    const bool sizeGiven = s.FrameWidth > 0 && s.FrameHeight > 0 &&
                           s.FrameWidth == s.FrameSizeGivenWidth &&
                           s.FrameHeight == s.FrameSizeGivenHeight;
    c->width = sizeGiven ? s.FrameWidth : 0;
    c->height = sizeGiven ? s.FrameHeight : 0;
    if (s.FrameAspectRatio > 0 && s.FrameAspectRatio == s.FrameAspectGiven && s.FrameWidth &&
        s.FrameHeight)
        c->sample_aspect_ratio = ff::av_d2q(s.FrameAspectRatio * s.FrameHeight / s.FrameWidth, 255);
    c->pix_fmt = AVPixelFormat(s.FramePixFmt);
    if (encoder && encoder->pix_fmts) {
        bool listed = false;
        for (const AVPixelFormat* f = encoder->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
            listed = listed || *f == c->pix_fmt;
        if (!listed)
            c->pix_fmt = encoder->pix_fmts[0];
    } else if (c->pix_fmt == AV_PIX_FMT_NONE) {
        c->pix_fmt = AV_PIX_FMT_YUV420P;
    }
    if (s.IntraOnly)
        c->gop_size = 0;
    if (s.VideoQScale > 0) {
        c->flags |= AV_CODEC_FLAG_QSCALE;
        c->global_quality = int(FF_QP2LAMBDA * s.VideoQScale);
    }
    // "sameq": each picture's own quantiser needs the fixed-quality mode.
    if (s.SameQuality)
        c->flags |= AV_CODEC_FLAG_QSCALE;
    if (s.IntraMatrix.size() == 64)
        c->intra_matrix = CopyMatrix(s.IntraMatrix);
    if (s.InterMatrix.size() == 64)
        c->inter_matrix = CopyMatrix(s.InterMatrix);

    if (!s.RcOverride.empty()) {
        const std::vector<TRcOverrideEntry> entries = ParseRcOverride(s.RcOverride);
        auto* rc = static_cast<RcOverride*>(ff::av_mallocz(sizeof(RcOverride) * entries.size()));
        if (!rc)
            Raise(std::string("Not enough memory"));
        for (size_t i = 0; i < entries.size(); ++i) {
            rc[i].start_frame = entries[i].StartFrame;
            rc[i].end_frame = entries[i].EndFrame;
            if (entries[i].Q > 0) {
                rc[i].qscale = entries[i].Q;
                rc[i].quality_factor = 1.0f;
            } else {
                rc[i].qscale = 0;
                rc[i].quality_factor = -float(entries[i].Q) / 100.0f;
            }
        }
        ff::av_freep(&c->rc_override);
        c->rc_override = rc;
        c->rc_override_count = int(entries.size());
    }
    // Without it the rate control starts from an empty buffer and starves the first frames.
    if (!c->rc_initial_buffer_occupancy)
        c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
    if (s.DoPSNR)
        c->flags |= AV_CODEC_FLAG_PSNR;
    if (s.DoPass == 1)
        c->flags |= AV_CODEC_FLAG_PASS1;
    else if (s.DoPass == 2)
        c->flags |= AV_CODEC_FLAG_PASS2;
    if (s.VideoGlobalHeader & 1)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (s.VideoGlobalHeader & 2)
        c->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
}
