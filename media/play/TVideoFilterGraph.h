#pragma once
// The player's video filter chain (`VideoFilters`, a libavfilter graph description) between the
// decoder and the picture queue: decoded pictures go into its source "src" and come out of its
// sink "out" as planar YUV 4:2:0. The description sees the source's output as "in" and the
// sink's input as "out". The scaler the graph inserts for format changes gets the player's
// scaler flags.
//
// Owner and thread: the video decoder, which builds it for the decoder's first pictures (and
// again when their size or format changes) and feeds it on the video thread; Check builds a
// throw-away one on the read thread while the stream opens, so a description that cannot work
// is refused before anything plays.

#include "media/AVPtr.h"

#include <QString>

class TVideoFilterGraph {
public:
    struct TInput {
        int Width = 0, Height = 0;
        int Format = -1;
        AVRational TimeBase{1, 1};
        AVRational SampleAspect{0, 1};
    };

    // Builds src -> description -> out for pictures like input. False with error set.
    bool Build(const QString& description, int scalerFlags, const TInput& input, QString& error);
    bool Built() const { return FGraph != nullptr; }
    // True when frame has the size and format the graph was built for.
    bool Accepts(const AVFrame* frame) const;
    // Hands a picture to the graph (it keeps its own reference); < 0 on failure.
    int Push(AVFrame* frame);
    // Takes the next filtered picture; AVERROR(EAGAIN) when the graph wants more input.
    int Pull(AVFrame* out);
    // Seconds per unit of the pulled pictures' time stamps.
    AVRational OutputTimeBase() const;
    void Reset();

private:
    AVFilterGraphPtr FGraph;
    AVFilterContext* FSource = nullptr; // owned by the graph
    AVFilterContext* FSink = nullptr;
    TInput FInput;
};
