#include "cli/CliOutput.h"

#include "media/FileNameBytes.h"

void WriteLine(FILE* stream, const QString& text) {
    const QByteArray bytes = EncodeFileName(text) + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}
