// What reaches the program entry: an exception escaping start-up or the message loop is logged
// with "Error:" in front of its message and thrown on; a normal run returns its exit code.
#include "app/TSnipwaveApplication.h"
#include "app/VelLog.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <stdexcept>

TEST(Entry, EscapingExceptionIsLoggedAndRethrown) {
    QTemporaryDir dir;
    TVelLog& log = StartAppLog(dir.path(), dir.filePath("fallback"));
    const QString file = log.FileName();

    EXPECT_EQ(TSnipwaveApplication::RunGuarded([] { return 3; }), 3);
    EXPECT_THROW(TSnipwaveApplication::RunGuarded(
                     []() -> int { throw std::runtime_error("window could not be built"); }),
                 std::runtime_error);
    StopAppLog();

    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.endsWith("          Error:window could not be built\r\n")) << text.data();
    EXPECT_EQ(text.count('\n'), 1) << "a normal run logs nothing here";
}
