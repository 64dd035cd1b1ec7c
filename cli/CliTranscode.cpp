#include "cli/CliTranscode.h"

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliProgress.h"
#include "cli/CliSplit.h"
#include "job/CutJob.h"
#include "job/VelLog.h"
#include "media/FFLog.h"
#include "media/FileNameBytes.h"
#include "media/MyUtils.h"
#include "media/TAtomicFile.h"
#include "media/encode/component/TFFEncoder.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <cstdio>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Which file is under name (device and inode), or nothing: an output the run wrote is a new file
// under its name, put there by the final rename.
std::optional<std::pair<dev_t, ino_t>> FileUnder(const QString& name) {
    struct stat st {};
    if (::stat(EncodeFileName(name).constData(), &st) != 0)
        return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

// Options of the vocabulary that take no value on the command line, as in the ffmpeg tool: the
// switches, the new-stream options, and the informational ones (which do nothing here).
const std::set<std::string>& FlagOptions() {
    static const std::set<std::string> flags = {
        "an",        "vn",          "sn",        "intra",      "deinterlace", "psnr",    "sameq",
        "copyts",    "shortest",    "isync",     "xerror",     "dump",        "hex",     "re",
        "benchmark", "qphist",      "force_fps", "loop_input", "y",           "vstats",  "newvideo",
        "newaudio",  "newsubtitle", "copyinkf",  "L",          "version",     "formats", "codecs",
        "bsfs",      "protocols",   "filters"};
    return flags;
}

std::string OptionText(const std::vector<std::pair<std::string, std::string>>& options) {
    std::string text;
    for (const auto& [name, value] : options) {
        if (!text.empty())
            text += "<CRLF>";
        text += name + "=" + value;
    }
    return text;
}

void PrintError(const QString& text) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

std::optional<TTranscodeRequest> ParseTranscodeArguments(const QStringList& arguments,
                                                         QString& error) {
    TTranscodeRequest request;
    std::vector<std::pair<std::string, std::string>> pending;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString arg = arguments[i];
        if (arg == QLatin1String("--force") || arg == QLatin1String("-y")) {
            request.Force = true;
            continue;
        }
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            request.Help = true;
            return request;
        }
        if (arg.size() > 1 && arg.startsWith('-')) {
            const std::string name = arg.mid(1).toLocal8Bit().toStdString();
            if (FlagOptions().count(name)) {
                pending.emplace_back(name, "1");
                continue;
            }
            if (i + 1 >= arguments.size()) {
                error = QStringLiteral("option %1 needs a value").arg(arg);
                return std::nullopt;
            }
            const QString value = arguments[++i];
            if (name == "i") {
                request.Inputs.push_back({value, std::move(pending)});
                pending.clear();
            } else {
                pending.emplace_back(name, value.toLocal8Bit().toStdString());
            }
            continue;
        }
        request.Outputs.push_back({arg, std::move(pending)});
        pending.clear();
    }
    if (request.Inputs.empty()) {
        error = QStringLiteral("transcode needs an input file (-i INPUT)");
        return std::nullopt;
    }
    if (request.Outputs.empty()) {
        error = QStringLiteral("transcode needs an output file");
        return std::nullopt;
    }
    if (!pending.empty()) {
        error = QStringLiteral("options after the last output file apply to nothing");
        return std::nullopt;
    }
    return request;
}

QString TranscodeUsageText() {
    return QStringLiteral(
        "  snipwave-cli transcode [INPUT OPTIONS] -i INPUT ... [OUTPUT OPTIONS] OUTPUT ...\n"
        "               [--force]\n"
        "\n"
        "transcode  runs the transcoder with its option vocabulary in the order of FFmpeg's\n"
        "       own tool: each input's options before its -i, each output's options before\n"
        "       its name (for example -s 320x240 -vcodec mpeg4 out.avi). Existing outputs\n"
        "       are replaced only with --force (or -y); an output may not be an input.\n"
        "       Switches take no value (-an, -vn, -sn, -sameq, -newvideo, -vstats ...);\n"
        "       -vsync takes auto, passthrough, cfr, vfr, drop or -1..2, -v a log level's\n"
        "       name or a number. -vf filters go first, then -s scales to the size asked.\n"
        "       Progress, Ctrl-C and the exit status are those of cut; a stopped transcode\n"
        "       keeps a valid, shorter file and says so.\n");
}

int RunTranscode(const QStringList& arguments) {
    QString error;
    const std::optional<TTranscodeRequest> request = ParseTranscodeArguments(arguments, error);
    if (!request) {
        std::fprintf(stderr, "snipwave-cli: %s\nTry 'snipwave-cli --help' for more information.\n",
                     qPrintable(error));
        return ExitUsage;
    }
    if (request->Help) {
        std::fputs(qPrintable(UsageText() + QLatin1Char('\n') + SplitUsageText() +
                              QLatin1Char('\n') + TranscodeUsageText()),
                   stdout);
        return ExitOk;
    }
    std::vector<QString> inputs;
    for (const TTranscodeFile& in : request->Inputs)
        inputs.push_back(ExpandFileNameW(in.Name));
    std::vector<QString> outputs;
    for (const TTranscodeFile& out : request->Outputs) {
        const QString name = ExpandFileNameW(out.Name);
        for (const QString& in : inputs)
            if (IsSameFile(in, name)) {
                PrintError(
                    QStringLiteral("The output file is the source file itself: %1").arg(name));
                return ExitFailed;
            }
        if (QFileInfo::exists(name) && !request->Force) {
            PrintError(
                QStringLiteral("The output file exists: %1\nUse --force to replace it.").arg(name));
            return ExitFailed;
        }
        outputs.push_back(name);
    }

    std::vector<std::optional<std::pair<dev_t, ino_t>>> before;
    for (const QString& name : outputs)
        before.push_back(FileUnder(name));

    TFFEncoder encoder;
    if (!encoder.LibrariesLoaded() &&
        !encoder.LoadLibraries(IncludeTrailingBackslashW(QCoreApplication::applicationDirPath()))) {
        PrintError(encoder.LastErrorText());
        return ExitFailed;
    }
    // The engine's own lines (warnings, failures, the final statistics) as it writes them.
    ActiveLogger()->SetOnLog([](QObject*, uint32_t, TLogLevel level, const QString& msg) {
        if (level <= llWarning)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    struct TDetachLog {
        ~TDetachLog() { ActiveLogger()->SetOnLog(nullptr); }
    } detachLog;

    TInputOptions in;
    InitInputOptions(in);
    in.ExtOptions = OptionText(request->Inputs[0].Options);
    const int task = encoder.AddTask(inputs[0], &in);
    if (task < 0) {
        PrintError(encoder.LastErrorText());
        return ExitFailed;
    }
    for (size_t i = 1; i < inputs.size(); ++i) {
        TInputOptions more;
        InitInputOptions(more);
        more.ExtOptions = OptionText(request->Inputs[i].Options);
        if (!encoder.AddTaskInput(task, inputs[i], &more)) {
            PrintError(encoder.LastErrorText());
            return ExitFailed;
        }
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        TOutputOptions out;
        InitOutputOptions(out);
        out.ExtOptions = OptionText(request->Outputs[i].Options);
        out.NoReplace = !request->Force;
        if (!encoder.SetOutputFile(task, outputs[i], &out)) {
            PrintError(encoder.LastErrorText());
            return ExitFailed;
        }
    }

    TCliProgress progress(stderr, ::isatty(STDERR_FILENO) == 1);
    QEventLoop loop;
    TTerminateInfo result;
    encoder.SetProgressInterval(100);
    encoder.SetOnProgress([&progress](QObject*, const TProgressInfo* info) {
        if (info->TotalDuration > 0)
            progress.Update(int(info->CurrentDuration * 100 / info->TotalDuration));
    });
    encoder.SetOnTerminate([&](QObject*, const TTerminateInfo& info) {
        if (info.TaskIndex >= 0)
            result = info;
        else
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    encoder.StartTask(1);
    bool interrupted = false;
    {
        TInterruptWatch watch([&] { encoder.StopTasks(false); });
        loop.exec();
        interrupted = watch.Interrupted();
    }
    encoder.SetOnProgress(nullptr);
    encoder.SetOnTerminate(nullptr);
    if (result.Finished && !result.Failed)
        progress.Update(100);
    progress.Finish();
    if (result.Failed) {
        PrintError(QString::fromLocal8Bit(result.ErrorText.c_str()));
        return ExitFailed;
    }
    if (interrupted || !result.Finished) {
        // As cut and split do: that it stopped, and what of the outputs was kept.
        for (size_t i = 0; i < outputs.size(); ++i) {
            const auto now = FileUnder(outputs[i]);
            if (now && (now != before[i] || !TAtomicFile::Applies(outputs[i])))
                PrintError(QStringLiteral("Stopped; %1 holds the part transcoded so far.")
                               .arg(outputs[i]));
            else
                PrintError(QStringLiteral("Stopped before anything was written to %1.%2")
                               .arg(outputs[i],
                                    now ? QStringLiteral(" The file there was kept.") : QString()));
        }
        return InterruptedExitStatus();
    }
    // The engine keeps no output that got no media (a start past the end of the input, say) and
    // calls that a success, as the ffmpeg tool does with its empty file; telling the user the
    // output is there would send them looking for a file that is not, or one that is older.
    int status = ExitOk;
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (TAtomicFile::Applies(outputs[i])) {
            const auto now = FileUnder(outputs[i]);
            if (!now || now == before[i]) {
                PrintError(QStringLiteral("Nothing was encoded into %1: check the start, duration "
                                          "and frame count options.%2")
                               .arg(outputs[i], now ? QStringLiteral(" The file there was kept.")
                                                    : QString()));
                status = ExitFailed;
                continue;
            }
        }
        std::printf("Output: %s\n", qPrintable(outputs[i]));
    }
    return status;
}
