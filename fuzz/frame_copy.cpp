// The frame copier (the smart cut) on any bytes: the source is opened and ranges the input
// chooses are planned and written. Whatever the file holds, a plan stays inside its frames with
// a delay and padding the LAME tag can carry, and a written file begins with the Info frame.
#include "fuzz/FuzzSupport.h"
#include "media/mp3/TMP3FrameCopier.h"

#include <fcntl.h>
#include <unistd.h>

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzsupport::TScratchFile file("snipwave-fuzz-copy", ".mp3");
    static const fuzzsupport::TScratchFile out("snipwave-fuzz-copy-out", ".mp3");
    if (size < 2 || !file.Write(data, size))
        return 0;
    TMP3FrameCopier copier;
    QString why;
    if (!copier.Open(file.Name(), why)) {
        if (why.isEmpty())
            __builtin_trap(); // a refusal always says why
        return 0;
    }
    const int64_t total = copier.DecodedSamples();
    if (total <= 0 || copier.SampleRate() <= 0)
        __builtin_trap();
    const int64_t starts[] = {0, total * data[0] / 256, total - 1};
    const int64_t ends[] = {total, total * data[1] / 256 + 1, 1};
    for (const int64_t start : starts)
        for (const int64_t end : ends) {
            TMP3FrameCopier::TPlan plan;
            QString error;
            const bool ok = copier.Plan(start, end, plan, error);
            if (!ok && error.isEmpty())
                __builtin_trap();
            if (!ok)
                continue;
            if (start >= end || plan.Delay < 0 || plan.Delay > 4095 || plan.Padding < 0 ||
                plan.Padding > 4095 || plan.FirstFrame < 0 || plan.LastFrame < plan.FirstFrame)
                __builtin_trap();
            const int fd = ::open(out.Name().toLocal8Bit().constData(),
                                  O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0)
                continue;
            if (copier.Write(fd, start, end, false, error)) {
                unsigned char head[4] = {0, 0, 0, 0};
                if (::pread(fd, head, 4, 0) != 4 || !TMP3Header::FromBytes(head).Valid())
                    __builtin_trap();
            }
            ::close(fd);
        }
    return 0;
}
