#pragma once
// Shared set-up of the option, preset and target tests: the encoder libraries, a fresh engine
// with its option contexts, and the log lines the engine wrote.

#include "media/FFLoad.h"
#include "media/FFLog.h"
#include "media/encode/TFFmpeg.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

// Opens the engine's protected tables to the tests.
class TTestEngine : public TFFmpeg {
public:
    using TCustomFFmpeg::FInputFiles;
    using TCustomFFmpeg::FNewStreamHandler;
    using TCustomFFmpeg::FOutputFiles;
};

struct TLogLine {
    TLogLevel Level;
    std::string Text;
};

class EngineOptionTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibraries)) << FFLoader().LastError();
        FSavedLevel = ActiveLogger()->LogLevel();
        ActiveLogger()->SetTriggerEventInMainThread(false);
        ActiveLogger()->SetOnLog([this](QObject*, uint32_t, TLogLevel level, const QString& msg) {
            Lines.push_back({level, msg.toStdString()});
        });
        Engine.InitOptions();
    }
    void TearDown() override {
        ActiveLogger()->SetOnLog(nullptr);
        ActiveLogger()->SetLogLevel(FSavedLevel);
    }

    bool Logged(TLogLevel level, const std::string& text) const {
        for (const TLogLine& line : Lines)
            if (line.Level == level && line.Text == text)
                return true;
        return false;
    }
    // The engine's own lines only; the libraries may add theirs at any level.
    size_t CountLogged(const std::string& text) const {
        size_t n = 0;
        for (const TLogLine& line : Lines)
            n += line.Text == text;
        return n;
    }

    // The message of the FFmpegException that option name=value raises ("" when none).
    std::string Rejection(const std::string& name, const std::string& value) {
        try {
            Engine.SetOption(name, value);
        } catch (const FFmpegException& e) {
            return e.what();
        }
        return "";
    }

    TTestEngine Engine;
    const TFFOptionState& Opt = Engine.Options();
    std::vector<TLogLine> Lines;

private:
    TLogLevel FSavedLevel = llInfo;
};
