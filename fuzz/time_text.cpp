// The command line's time texts and the whole command-line parser: the input is split at NUL
// bytes into arguments, and its first line is also given to the time parser on its own.
#include "cli/CliOptions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<int64_t> seconds = ParseTimeText(QString::fromUtf8(bytes));
    if (seconds && *seconds < 0)
        __builtin_trap(); // a sign is never accepted
    QStringList arguments;
    for (const QByteArray& part : bytes.split('\0'))
        arguments << QString::fromUtf8(part);
    QString error;
    const std::optional<TCliRequest> request = ParseCommandLine(arguments, error);
    if (!request && error.isEmpty())
        __builtin_trap(); // a refusal always says why
    return 0;
}
