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
    const size_t groups = size_t((bins + GroupBins - 1) / GroupBins);
    FGroupMin.assign(groups, 0.0f);
    FGroupMax.assign(groups, 0.0f);
    FGroupKnown.assign(groups, 0);
    FGroupExact.assign(groups, 0);
}

int64_t TWavePeaks::DurationUs() const {
    return FRate > 0 ? FTotal * 1000000 / FRate : 0;
}

void TWavePeaks::Store(int64_t first, const std::vector<float>& mins,
                       const std::vector<float>& maxs, bool exact) {
    const int64_t count = int64_t(std::min(mins.size(), maxs.size()));
    const uint8_t state = exact ? 2 : 1;
    std::vector<size_t> dirty; // groups with a replaced bin, ascending
    for (int64_t i = std::max<int64_t>(0, -first); i < count && first + i < BinCount(); ++i) {
        const size_t b = size_t(first + i);
        if (FState[b] == 2 && !exact)
            continue;
        const size_t g = b / GroupBins;
        if (FState[b] != 2 && exact) {
            ++FExactCount;
            ++FGroupExact[g];
        }
        if (FState[b] == 0) {
            ++FKnownCount;
            ++FGroupKnown[g];
        }
        const bool replaces = FState[b] != 0;
        FMin[b] = mins[size_t(i)];
        FMax[b] = maxs[size_t(i)];
        FState[b] = state;
        if (replaces) {
            if (dirty.empty() || dirty.back() != g)
                dirty.push_back(g);
        } else if (FGroupKnown[g] == 1) {
            FGroupMin[g] = FMin[b];
            FGroupMax[g] = FMax[b];
        } else {
            FGroupMin[g] = std::min(FGroupMin[g], FMin[b]);
            FGroupMax[g] = std::max(FGroupMax[g], FMax[b]);
        }
    }
    // A replaced value may have been a group's extreme: those groups are summed up again.
    for (size_t g : dirty) {
        bool any = false;
        const size_t end = std::min(FState.size(), (g + 1) * size_t(GroupBins));
        for (size_t k = g * GroupBins; k < end; ++k) {
            if (FState[k] == 0)
                continue;
            FGroupMin[g] = any ? std::min(FGroupMin[g], FMin[k]) : FMin[k];
            FGroupMax[g] = any ? std::max(FGroupMax[g], FMax[k]) : FMax[k];
            any = true;
        }
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
        if (b % GroupBins == 0 && b + GroupBins - 1 <= last) {
            // A whole group at once.
            const size_t g = size_t(b / GroupBins);
            if (FGroupExact[g] != GroupBins)
                r.Exact = false;
            if (FGroupKnown[g] > 0) {
                r.Min = any ? std::min(r.Min, FGroupMin[g]) : FGroupMin[g];
                r.Max = any ? std::max(r.Max, FGroupMax[g]) : FGroupMax[g];
                any = true;
            }
            b += GroupBins - 1;
            continue;
        }
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
