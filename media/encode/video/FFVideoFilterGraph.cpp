#include "media/encode/video/FFVideoFilterGraph.h"

#include "media/encode/loop/FFLoopSupport.h"

using namespace ffstage;

namespace {
constexpr AVRational MicroBase{1, 1000000};

[[noreturn]] void FilterError(int err) {
    const std::string text = err < 0 ? LibErrorText(err) : std::string();
    if (text.empty())
        Raise(std::string("Error opening filters!"));
    Raise("Error opening filters: " + text);
}

struct InOutDeleter {
    void operator()(AVFilterInOut* p) const {
        if (ff::avfilter_inout_free != nullptr)
            ff::avfilter_inout_free(&p);
    }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutDeleter>;

} // namespace

TFFVideoFilterGraph::~TFFVideoFilterGraph() {
    Free();
}

void TFFVideoFilterGraph::Free() {
    if (FGraph && ff::avfilter_graph_free != nullptr)
        ff::avfilter_graph_free(&FGraph);
    FGraph = nullptr;
    FSource = FSink = nullptr;
}

void TFFVideoFilterGraph::Build(const TFFFilterGraphSetup& setup) {
    Free();
    FSetup = setup;
    FGraph = ff::avfilter_graph_alloc();
    if (!FGraph)
        FilterError(AVERROR(ENOMEM));
    // Scalers the graph inserts by itself use the same flags as ours.
    FGraph->scale_sws_opts = ff::av_strdup(Fmt("flags=0x%X", unsigned(setup.SwsFlags)).c_str());

    const AVRational sar = setup.SampleAspect.num > 0 ? setup.SampleAspect : AVRational{0, 1};
    const std::string srcArgs = Fmt(
        "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", setup.Width, setup.Height,
        setup.PixelFormat, MicroBase.num, MicroBase.den, sar.num, sar.den > 0 ? sar.den : 1);
    int err = ff::avfilter_graph_create_filter(&FSource, ff::avfilter_get_by_name("buffer"), "in",
                                               srcArgs.c_str(), nullptr, FGraph);
    if (err < 0)
        FilterError(err);
    err = ff::avfilter_graph_create_filter(&FSink, ff::avfilter_get_by_name("buffersink"),
                                           "ffmpeg_output", nullptr, nullptr, FGraph);
    if (err < 0)
        FilterError(err);

    std::string chain;
    auto add = [&chain](const std::string& f) {
        if (!chain.empty())
            chain += ",";
        chain += f;
    };
    if (setup.Deinterlace)
        add("yadif");
    const int cw = setup.Width - setup.CropLeft - setup.CropRight;
    const int ch = setup.Height - setup.CropTop - setup.CropBottom;
    if (setup.CropTop || setup.CropBottom || setup.CropLeft || setup.CropRight)
        add(Fmt("crop=%d:%d:%d:%d", cw, ch, setup.CropLeft, setup.CropTop));
    if (!setup.UserChain.empty())
        add(setup.UserChain);
    // After the user's chain, as the ffmpeg tool puts "-s": whatever size the chain makes, the
    // encoder gets its own (the scaler passes pictures of that size through untouched).
    if (setup.OutWidth > 0 && setup.OutHeight > 0 &&
        (!setup.UserChain.empty() || setup.OutWidth != cw || setup.OutHeight != ch))
        add(Fmt("scale=%d:%d:sws_flags=%d", setup.OutWidth, setup.OutHeight, setup.SwsFlags));
    if (setup.OutPixelFormat >= 0)
        add(Fmt("format=pix_fmts=%s",
                ff::av_get_pix_fmt_name(AVPixelFormat(setup.OutPixelFormat))));
    if (chain.empty())
        add("null");

    InOutPtr outputs(ff::avfilter_inout_alloc());
    InOutPtr inputs(ff::avfilter_inout_alloc());
    if (!outputs || !inputs)
        FilterError(AVERROR(ENOMEM));
    outputs->name = ff::av_strdup("in");
    outputs->filter_ctx = FSource;
    outputs->pad_idx = 0;
    outputs->next = nullptr;
    inputs->name = ff::av_strdup("out");
    inputs->filter_ctx = FSink;
    inputs->pad_idx = 0;
    inputs->next = nullptr;
    {
        AVFilterInOut* in = inputs.release();
        AVFilterInOut* out = outputs.release();
        err = ff::avfilter_graph_parse_ptr(FGraph, chain.c_str(), &in, &out, nullptr);
        inputs.reset(in);
        outputs.reset(out);
    }
    if (err < 0)
        FilterError(err);
    err = ff::avfilter_graph_config(FGraph, nullptr);
    if (err < 0)
        FilterError(err);
}

// The sink's input link holds what the configured graph negotiated.
int TFFVideoFilterGraph::OutputWidth() const {
    return FSink && FSink->nb_inputs ? FSink->inputs[0]->w : 0;
}

int TFFVideoFilterGraph::OutputHeight() const {
    return FSink && FSink->nb_inputs ? FSink->inputs[0]->h : 0;
}

AVRational TFFVideoFilterGraph::OutputSampleAspect() const {
    return FSink && FSink->nb_inputs ? FSink->inputs[0]->sample_aspect_ratio : AVRational{0, 1};
}

int TFFVideoFilterGraph::OutputFormat() const {
    return FSink && FSink->nb_inputs ? FSink->inputs[0]->format : -1;
}

void TFFVideoFilterGraph::Push(AVFrame* picture) {
    const int err = ff::av_buffersrc_add_frame_flags(FSource, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
    if (err < 0 && err != AVERROR_EOF)
        FilterError(err);
}

bool TFFVideoFilterGraph::Pull(AVFrame* out) {
    const int err = ff::av_buffersink_get_frame(FSink, out);
    if (err < 0)
        return false;
    if (out->pts != AV_NOPTS_VALUE)
        out->pts = ff::av_rescale_q(out->pts, ff::av_buffersink_get_time_base(FSink), MicroBase);
    return true;
}
