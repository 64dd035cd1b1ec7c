#pragma once
// An output file that appears under its name only when it is complete.
//
// The data goes to a hidden temporary file beside the target (same folder, so the final rename
// stays on one file system and is atomic): ".snipwave-<pid>-<random>-<name>.part". Commit makes
// it durable (the writer has synced its data; the folder is synced after the rename) and renames
// it over the target, keeping an existing target's permission bits; Discard removes it. A run
// that dies before either leaves the target as it was and a temporary that the next writer into
// that folder removes, once the process named in it has gone.
//
// Threads: one object is used by one thread at a time. Nothing here locks; the file system is
// the arbiter between processes (O_EXCL for the temporary, RENAME_NOREPLACE for the commit).

#include <QByteArray>
#include <QString>

#include <string>

class TAtomicFile {
public:
    TAtomicFile() = default;
    ~TAtomicFile(); // discards a temporary never committed
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;
    TAtomicFile(TAtomicFile&& other) noexcept;
    TAtomicFile& operator=(TAtomicFile&& other) noexcept;

    // Whether fileName should be written through a temporary: a local name that is free or
    // holds a regular file (through links). Devices, FIFOs and protocol URLs are written in place.
    static bool Applies(const QString& fileName);

    // Creates the temporary for target, sweeping stale ones of dead processes from its folder
    // first. Returns an open descriptor (the caller owns it) or -1 with errno set; a name too
    // long for the file system and an existing target we may not write are refused here.
    int Create(const QString& target);
    // Renames the (closed, synced) temporary over the target. With replace false an existing
    // target is never replaced, even one that appeared after Create: false with errno EEXIST.
    // False with errno set on any failure; the temporary is removed then too.
    bool Commit(bool replace);
    // Removes the temporary; harmless when there is none.
    void Discard();

    bool Active() const { return !FTemp.isEmpty(); }
    // The file the temporary will become (links resolved), in the file system's bytes.
    const QByteArray& TargetPath() const { return FTarget; }
    const QByteArray& TempPath() const { return FTemp; }

    // Removes ".snipwave-<pid>-*.part" files in folder whose process no longer exists.
    static void SweepStale(const QByteArray& folder);

private:
    QByteArray FTarget; // bytes of the final path; empty before Create
    QByteArray FTemp;   // bytes of the temporary's path; empty when there is none
};
