#pragma once
// snipwave-cli transcode: the engine's option vocabulary on the command line, in the order of
// FFmpeg's own tool — input options, -i INPUT, output options, OUTPUT, repeated — run as one
// task of the encoder component.

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

struct TTranscodeFile {
    QString Name;
    // (name without the leading "-", value) in the order given; flags carry "1".
    std::vector<std::pair<std::string, std::string>> Options;
};

struct TTranscodeRequest {
    std::vector<TTranscodeFile> Inputs;
    std::vector<TTranscodeFile> Outputs;
    bool Force = false; // replace existing outputs ("--force" or "-y")
    bool Help = false;  // "--help" or "-h" where an option may stand: nothing else is checked
};

// The request, or nullopt with error set. Parsing touches no file.
std::optional<TTranscodeRequest> ParseTranscodeArguments(const QStringList& arguments,
                                                         QString& error);

// Runs the command; the process's exit status (that of cut).
int RunTranscode(const QStringList& arguments);

// The command's part of the help text.
QString TranscodeUsageText();
