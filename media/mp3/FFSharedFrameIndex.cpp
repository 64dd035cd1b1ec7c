#include "media/mp3/FFSharedFrameIndex.h"

std::shared_ptr<const TMP3FrameIndex> TSharedFrameIndex::Get(const QString& fileName,
                                                             int64_t firstFrame) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FBuilt && FFileName == fileName && FFirstFrame == firstFrame)
        return FIndex;
    auto index = std::make_shared<TMP3FrameIndex>();
    FIndex = index->Build(fileName, firstFrame) ? std::move(index) : nullptr;
    FFileName = fileName;
    FFirstFrame = firstFrame;
    FBuilt = true;
    return FIndex;
}
