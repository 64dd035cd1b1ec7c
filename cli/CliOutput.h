#pragma once
// Text for the user on stdout and stderr. File names go out with the bytes they have on disk
// (see media/FileNameBytes.h), so a name printed can be pasted back into a command.

#include <QString>

#include <cstdio>

// text and a line break, then a flush. A failed write (a closed pipe) is ignored: what the user
// cannot read must not change what the command does.
void WriteLine(FILE* stream, const QString& text);
