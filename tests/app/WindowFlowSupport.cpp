#include "WindowFlowSupport.h"

#include "app/TStepGroupBox.h"
#include "common/TestPaths.h"
#include "job/CutJob.h"
#include "job/VelLog.h"

#include <QAction>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

void TWindowFlowTest::SetUp() {
    ASSERT_TRUE(folder.isValid());
    // Settings and log of the test's own, so runs neither share nor touch the user's.
    m_config = std::make_unique<TEnvOverride>("XDG_CONFIG_HOME", Path("config").toLocal8Bit());
    StartAppLog(folder.path(), Path("state"));
}

void TWindowFlowTest::TearDown() {
    form.reset();
    StopAppLog();
    m_config.reset();
}

TCorvaneForm& TWindowFlowTest::Show() {
    form = std::make_unique<TCorvaneForm>(folder.path(), &dialogs);
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    return *form;
}

QString TWindowFlowTest::Copy(const QString& fixtureName) {
    const QString target = Path(fixtureName);
    QFile::remove(target);
    EXPECT_TRUE(QFile::copy(testpaths::fixture(fixtureName), target)) << fixtureName.toStdString();
    return target;
}

void TWindowFlowTest::OpenThroughDialog(const QString& fileName) {
    dialogs.openAnswer = fileName;
    form->btnOpenFileButton->trigger();
}

QStringList TWindowFlowTest::LogMessages() const {
    QFile log(folder.filePath("Log/log1.txt"));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList messages;
    static const QRegularExpression stamp(QStringLiteral("^\\S+ \\S+ {2}( {8})?"));
    for (QString line : QString::fromLocal8Bit(log.readAll()).split(QStringLiteral("\r\n"))) {
        if (!line.isEmpty())
            messages << line.remove(stamp);
    }
    return messages;
}

bool TWindowFlowTest::WaitForCutEnd(int timeoutMs) {
    return QTest::qWaitFor(
        [this] { return !form->CutJob().Running() && form->gbStep1->StepEnabled(); }, timeoutMs);
}

namespace flowcheck {
namespace {
QString Run(const QString& program, const QStringList& args, bool errors = false) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(errors ? p.readAllStandardError() : p.readAllStandardOutput());
}
} // namespace

double Duration(const QString& file) {
    const QString out = Run(QStringLiteral("ffprobe"),
                            {"-v", "error", "-print_format", "json", "-show_format", file});
    const QJsonObject format = QJsonDocument::fromJson(out.toUtf8()).object()["format"].toObject();
    if (format.isEmpty())
        return -1;
    // LAME's encoder delay shows as the start time; what a gapless player plays is the rest.
    return format["duration"].toString().toDouble() - format["start_time"].toString().toDouble();
}

double PeakDb(const QString& file, double start, double length) {
    const QString err = Run(QStringLiteral("sox"),
                            {file, "-n", "trim", QString::number(start, 'f', 3),
                             QString::number(length, 'f', 3), "stats"},
                            true);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("Pk lev dB\\s+(-?inf|-?[0-9.]+)")).match(err);
    if (!m.hasMatch() || m.captured(1).endsWith(QLatin1String("inf")))
        return -200;
    return m.captured(1).toDouble();
}

QByteArray Checksum(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}
} // namespace flowcheck
