#pragma once
// A fixture for tests that take the real window through its steps with real media: a folder of
// the test's own that holds the program folder, the log, the settings and copies of the
// fixtures, the dialog seam, and independent checks of what a cut wrote (ffprobe, sox).

#include "WindowTestSupport.h"
#include "app/TCorvaneForm.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

class TWindowFlowTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TCorvaneForm& Show();
    QString Copy(const QString& fixtureName); // a copy in the test's folder; the full name
    QString Path(const QString& name) const { return folder.filePath(name); }
    // Confirms fileName in the open dialog that the browse button shows.
    void OpenThroughDialog(const QString& fileName);
    // The lines of this run's log, without their timestamps and gaps.
    QStringList LogMessages() const;
    // Waits until the cut has ended and its outcome has been handled.
    bool WaitForCutEnd(int timeoutMs = 120000);

    QTemporaryDir folder;
    TFakeDialogs dialogs;
    std::unique_ptr<TCorvaneForm> form;

private:
    std::unique_ptr<TEnvOverride> m_config;
};

namespace flowcheck {
// ffprobe's duration of the audio (the encoder delay not counted), s; -1 when unreadable.
double Duration(const QString& file);
// sox's peak level of `length` s from `start` s, dBFS; -200 for silence or on failure.
double PeakDb(const QString& file, double start, double length);
QByteArray Checksum(const QString& file);
} // namespace flowcheck
