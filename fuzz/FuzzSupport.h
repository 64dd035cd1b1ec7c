#pragma once
// What the fuzz targets share: the media libraries bound once per process, and a scratch file
// in memory-backed storage that holds one input at a time.

#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzsupport {

// Binds the encoder's libraries (a superset of the probe's); aborts when they cannot be loaded,
// since every input would then test nothing.
void LoadMediaLibraries();

// A file of this process under /dev/shm (or the temporary folder) whose name is
// "<stem>-<pid><suffix>"; Write replaces its contents.
class TScratchFile {
public:
    TScratchFile(const char* stem, const char* suffix);
    ~TScratchFile();
    bool Write(const uint8_t* data, size_t size) const;
    const QString& Name() const { return FName; }

private:
    QString FName;
};

} // namespace fuzzsupport
