#pragma once
// The command line of snipwave-cli, parsed into one request. Parsing touches no file and no
// library: every check that needs the source (its duration, its name) is the command's.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

enum class TCliCommand { Help, Version, Info, Cut, Play };

struct TCliRequest {
    TCliCommand Command = TCliCommand::Help;
    QString Source;           // the MP3 to read, as given
    int64_t StartSeconds = 0; // whole seconds from the source's start; clamped later
    int64_t EndSeconds = 0;
    QString StartText, EndText; // the times as typed, for messages that quote them
    QString Output;       // "" = the default folder and name next to the source
    int Volume = 100;     // slider position 0-100
    bool Force = false;   // replace an existing output
    bool KeepTags = true; // cut: keep the source's tags and cover; off with --no-tags
    bool Smart = false;   // cut: copy the frames instead of re-encoding where that can be done
    int64_t FadeUs = 3000000; // cut: --fade, µs; 0 = none
    // play: whether --start / --end were given (the range defaults to the whole file).
    bool HasStart = false, HasEnd = false;
};

// The request, or nullopt with error set to a one-line usage message.
std::optional<TCliRequest> ParseCommandLine(const QStringList& arguments, QString& error);

// Whole seconds of "S", "M:SS" or "H:MM:SS" (minutes and seconds below 60 after the first
// field); nullopt for anything else, a sign, a fraction or a value that does not fit.
std::optional<int64_t> ParseTimeText(const QString& text);

QString UsageText();
