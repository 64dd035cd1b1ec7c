// Inputs the fuzz targets found to break a run, kept as they were found (fuzz/regressions/).
// Each must end as a finished or failed run with a valid file or none, never take the process
// down.

#include "EngineTestSupport.h"
#include "common/TestPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace enginetest;

namespace {

QString Finding(const QString& name) {
    return testpaths::sourceDir() + QStringLiteral("/fuzz/regressions/") + name;
}

// A damaged frame decodes to floats of some 180000 times full scale; LAME asserted on them and
// aborted the process.
TEST(FuzzFindings, HugeDecodedSamplesAreEncodedInsteadOfAbortingInLame) {
    LoadEngineLibraries();
    QTemporaryDir dir;
    const QString out = dir.filePath("out.mp3");
    TTestEngine engine;
    ASSERT_TRUE(
        SetUpCut(engine, Finding("probe_cut-lame-assert-huge-floats.mp3"), out, 0, 1000000));
    engine.Start(false, 0);
    EXPECT_TRUE(engine.Finished()) << engine.ErrorText();
    EXPECT_TRUE(DecodesCleanly(out));
    // Clipped to full scale, not wrapped or silenced.
    EXPECT_GE(PeakLevel(out), 30000);
}

} // namespace
