#include "media/decode/TWavePeaks.h"

#include <algorithm>

void TWavePeaks::Reset(int rate, int64_t totalSamples) {
    FRate = std::max(0, rate);
    FTotal = std::max<int64_t>(0, totalSamples);
    const int64_t bins = (FTotal + BinSamples - 1) / BinSamples;
    FMin.assign(size_t(bins), 0.0f);
    FMax.assign(size_t(bins), 0.0f);
    FState.assign(size_t(bins), 0);
    FExactCount = FKnownCount = 0;
}

int64_t TWavePeaks::DurationUs() const {
    return FRate > 0 ? FTotal * 1000000 / FRate : 0;
}

void TWavePeaks::Store(int64_t first, const std::vector<float>& mins,
                       const std::vector<float>& maxs, bool exact) {
    const int64_t count = int64_t(std::min(mins.size(), maxs.size()));
    const uint8_t state = exact ? 2 : 1;
    for (int64_t i = std::max<int64_t>(0, -first); i < count && first + i < BinCount(); ++i) {
        const size_t b = size_t(first + i);
        if (FState[b] == 2 && !exact)
            continue;
        if (FState[b] != 2 && exact)
            ++FExactCount;
        if (FState[b] == 0)
            ++FKnownCount;
        FMin[b] = mins[size_t(i)];
        FMax[b] = maxs[size_t(i)];
        FState[b] = state;
    }
}

TPeakRange TWavePeaks::Range(int64_t from, int64_t to) const {
    TPeakRange r;
    from = std::max<int64_t>(0, from);
    to = std::min(to, FTotal);
    if (from >= to)
        return r;
    const int64_t last = (to - 1) / BinSamples;
    r.Exact = true;
    bool any = false;
    for (int64_t b = from / BinSamples; b <= last; ++b) {
        const uint8_t s = FState[size_t(b)];
        if (s != 2)
            r.Exact = false;
        if (s == 0)
            continue;
        if (!any) {
            r.Min = FMin[size_t(b)];
            r.Max = FMax[size_t(b)];
            any = true;
        } else {
            r.Min = std::min(r.Min, FMin[size_t(b)]);
            r.Max = std::max(r.Max, FMax[size_t(b)]);
        }
    }
    r.Known = any;
    return r;
}
