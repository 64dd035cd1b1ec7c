#include "media/play/TVideoFilterGraph.h"

#include "media/FFUtils.h"

#include <algorithm>
#include <cerrno>

bool TVideoFilterGraph::Build(const QString& description, int scalerFlags, const TInput& input,
                              QString& error) {
    Reset();
    AVFilterGraphPtr graph(ff::avfilter_graph_alloc());
    if (!graph) {
        error = QStringLiteral("av_mallocz() failed.");
        return false;
    }
    graph->scale_sws_opts =
        ff::av_strdup(QByteArray("flags=").append(QByteArray::number(scalerFlags)).constData());
    // One filter thread: the player's threads are enough for a preview.
    graph->nb_threads = 1;
    const AVRational sar =
        input.SampleAspect.num > 0 && input.SampleAspect.den > 0 ? input.SampleAspect
                                                                  : AVRational{0, 1};
    const QByteArray args = QStringLiteral("video_size=%1x%2:pix_fmt=%3:time_base=%4/%5:"
                                           "pixel_aspect=%6/%7")
                                .arg(input.Width)
                                .arg(input.Height)
                                .arg(input.Format)
                                .arg(input.TimeBase.num)
                                .arg(input.TimeBase.den)
                                .arg(sar.num)
                                .arg(std::max(1, sar.den))
                                .toUtf8();
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    int ret = ff::avfilter_graph_create_filter(&source, ff::avfilter_get_by_name("buffer"), "src",
                                               args.constData(), nullptr, graph.get());
    if (ret >= 0)
        ret = ff::avfilter_graph_create_filter(&sink, ff::avfilter_get_by_name("buffersink"),
                                               "out", nullptr, nullptr, graph.get());
    if (ret >= 0) {
        const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P};
        ret = ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                                 int(sizeof formats), AV_OPT_SEARCH_CHILDREN);
    }
    if (ret >= 0 && description.trimmed().isEmpty()) {
        ret = ff::avfilter_link(source, 0, sink, 0);
    } else if (ret >= 0) {
        AVFilterInOutPtr outputs(ff::avfilter_inout_alloc());
        AVFilterInOutPtr inputs(ff::avfilter_inout_alloc());
        if (!outputs || !inputs) {
            ret = AVERROR(ENOMEM);
        } else {
            outputs->name = ff::av_strdup("in");
            outputs->filter_ctx = source;
            inputs->name = ff::av_strdup("out");
            inputs->filter_ctx = sink;
            AVFilterInOut* in = inputs.release();
            AVFilterInOut* out = outputs.release();
            ret = ff::avfilter_graph_parse_ptr(graph.get(), description.toUtf8().constData(), &in,
                                               &out, nullptr);
            inputs.reset(in);
            outputs.reset(out);
        }
    }
    if (ret >= 0)
        ret = ff::avfilter_graph_config(graph.get(), nullptr);
    if (ret < 0) {
        error = QStringLiteral("Video filters ") +
                LibErrorText(QStringLiteral("\"%1\"").arg(description), ret);
        return false;
    }
    FGraph = std::move(graph);
    FSource = source;
    FSink = sink;
    FInput = input;
    return true;
}

bool TVideoFilterGraph::Accepts(const AVFrame* frame) const {
    return FGraph && frame->width == FInput.Width && frame->height == FInput.Height &&
           frame->format == FInput.Format;
}

int TVideoFilterGraph::Push(AVFrame* frame) {
    return ff::av_buffersrc_add_frame_flags(FSource, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
}

int TVideoFilterGraph::Pull(AVFrame* out) {
    return ff::av_buffersink_get_frame(FSink, out);
}

AVRational TVideoFilterGraph::OutputTimeBase() const {
    return ff::av_buffersink_get_time_base(FSink);
}

void TVideoFilterGraph::Reset() {
    FGraph.reset();
    FSource = FSink = nullptr;
}
