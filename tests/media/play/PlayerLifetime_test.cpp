// Stops, destruction and broken inputs: whatever happens, every call returns, nothing crashes and
// no handler runs once the owner has detached it.
#include "PlayerTestSupport.h"
#include "common/Mp3Variants.h"
#include "common/TestPaths.h"
#include "media/MyUtils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace playtest;

namespace {

class PlayerLifetimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadPlayerLibraries();
        ASSERT_TRUE(FDir.isValid());
        UseDiskAudio(FDir.filePath("a.raw"), 0);
    }
    QTemporaryDir FDir;
};

} // namespace

TEST_F(PlayerLifetimeTest, OperationsWithNothingOpenDoNothing) {
    TRecorder recorder;
    TFFPlayer player;
    recorder.Attach(player);
    EXPECT_EQ(player.Version(), QStringLiteral("2.6a"));
    player.Stop(false);
    player.Pause();
    player.Resume();
    player.Seek(0, true, 1000000);
    player.Stop(true);
    WaitUntil([] { return false; }, 50);
    EXPECT_TRUE(recorder.States.empty());
    EXPECT_FALSE(player.IsOpen());
}

TEST_F(PlayerLifetimeTest, BrokenAndNonAudioInputsEndOrFailWithAMessage) {
    for (const char* name :
         {"notmp3.mp3", "garbage.mp3", "truncated.mp3", "cover.png", "does-not-exist.mp3"}) {
        SCOPED_TRACE(name);
        TRecorder recorder;
        TFFPlayer player;
        recorder.Attach(player);
        player.DisableDisplay = true;
        player.SetOnState([&](QObject*, TPlayState s) {
            recorder.States.push_back(s);
            if (s == psEnd)
                player.Stop(false);
        });
        if (!player.OpenMedia(testpaths::fixture(name), nullptr, false)) {
            EXPECT_FALSE(player.LastErrorText().isEmpty());
            EXPECT_FALSE(player.IsOpen());
            continue;
        }
        EXPECT_TRUE(WaitUntil([&] { return recorder.Stopped(); }, 20000));
        QElapsedTimer t;
        t.start();
        player.Stop(true);
        EXPECT_LT(t.elapsed(), 3000);
    }
    // The one with no stream at all names the file.
    TFFPlayer player;
    player.DisableDisplay = true;
    EXPECT_FALSE(player.OpenMedia(testpaths::fixture("cover.png"), nullptr, false));
    EXPECT_TRUE(player.LastErrorText().endsWith(": could not open codecs, no stream to play."))
        << player.LastErrorText().toStdString();
}

TEST_F(PlayerLifetimeTest, StopFromAHandlerAndFromTwoThreadsAtOnceReturns) {
    UseDummyAudio();
    {
        TRecorder recorder;
        TFFPlayer player;
        player.DisableDisplay = true;
        recorder.Attach(player);
        bool stopped = false;
        player.SetOnPosition([&](QObject*, int64_t) {
            if (!stopped) {
                stopped = true;
                player.Stop(true); // waits for the play thread from inside a delivery
            }
        });
        ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
        EXPECT_TRUE(WaitUntil([&] { return stopped && !player.IsOpen(); }, 10000));
    }
    for (const bool mainThreadEvents : {true, false}) {
        TFFPlayer player;
        player.DisableDisplay = true;
        player.SetTriggerEventInMainThread(mainThreadEvents);
        std::atomic<int> positions{0};
        player.SetOnPosition([&](QObject*, int64_t) { ++positions; });
        ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
        WaitUntil([&] { return positions > 2; }, 5000);
        std::thread other([&] { player.Stop(true); });
        player.Stop(true);
        other.join();
        EXPECT_FALSE(player.IsOpen());
    }
}

TEST_F(PlayerLifetimeTest, NoHandlerRunsOnceDestructionHasBegun) {
    UseDummyAudio();
    for (const bool mainThreadEvents : {true, false}) {
        SCOPED_TRACE(mainThreadEvents);
        std::atomic<bool> destroying{false};
        std::atomic<int> late{0}, calls{0};
        // Destruction begins with this destructor, which runs before the player's own.
        struct TWatchedPlayer : TFFPlayer {
            std::atomic<bool>& Destroying;
            explicit TWatchedPlayer(std::atomic<bool>& destroying) : Destroying(destroying) {}
            ~TWatchedPlayer() override { Destroying = true; }
        };
        std::unique_ptr<TFFPlayer> player = std::make_unique<TWatchedPlayer>(destroying);
        player->DisableDisplay = true;
        player->SetTriggerEventInMainThread(mainThreadEvents);
        player->SetOnPosition([&](QObject*, int64_t) {
            ++calls;
            if (destroying)
                ++late;
            std::this_thread::sleep_for(std::chrono::milliseconds(3)); // a slow owner
        });
        player->SetOnState([&](QObject*, TPlayState) {
            if (destroying)
                ++late;
        });
        player->SetAudioHook(true);
        player->SetOnAudioHook([&](QObject*, int64_t, uint8_t*, int, int, int) {
            if (destroying)
                ++late;
        });
        ASSERT_TRUE(player->OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
        WaitUntil([&] { return calls > 3; }, 5000);
        player.reset();
        WaitUntil([] { return false; }, 100);
        EXPECT_EQ(late, 0);
    }
}

TEST_F(PlayerLifetimeTest, OpeningAnotherFileReplacesThePlaybackAndDropsItsLateEvents) {
    UseDummyAudio();
    TRecorder recorder;
    TFFPlayer player;
    player.DisableDisplay = true;
    recorder.Attach(player);
    player.StartTime = 100000000;
    ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
    ASSERT_TRUE(WaitUntil([&] { return !recorder.Positions.empty(); }, 5000));
    player.StartTime = 10000000;
    ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
    const size_t before = recorder.Positions.size();
    ASSERT_TRUE(WaitUntil([&] { return recorder.Positions.size() > before + 3; }, 5000));
    for (size_t i = before; i < recorder.Positions.size(); ++i)
        EXPECT_LT(recorder.Positions[i], 20000000) << i;
    player.Stop(true);
    // The last event of the playback follows the end of its play thread.
    EXPECT_TRUE(WaitUntil([&] { return recorder.Stopped(); }, 2000));
}

TEST_F(PlayerLifetimeTest, TheAudioHookSeesEveryChunkAndWhatItWritesIsPlayed) {
    const QString capture = FDir.filePath("hook.raw");
    UseDiskAudio(capture, 0);
    std::vector<int64_t> pts;
    {
        TRecorder recorder;
        TFFPlayer player;
        player.DisableDisplay = true;
        recorder.Attach(player);
        player.StartTime = 20000000;
        player.PlayDuration = 2000000;
        player.SetAudioHook(true);
        player.SetOnAudioHook(
            [&](QObject*, int64_t at, uint8_t* sample, int size, int rate, int channels) {
                EXPECT_EQ(rate, 44100);
                EXPECT_EQ(channels, 2);
                pts.push_back(at);
                std::memset(sample, 0, size_t(size));
            });
        ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
        ASSERT_TRUE(WaitUntil([&] { return recorder.Stopped(); }, 20000));
        player.Stop(true);
    }
    ASSERT_GT(pts.size(), size_t(50));
    EXPECT_NEAR(double(pts.front()), 20000000.0, 27000.0);
    for (size_t i = 1; i < pts.size(); ++i)
        EXPECT_GT(pts[i], pts[i - 1]);
    const std::vector<double> out = Channel(ReadS16(capture), 0);
    EXPECT_GT(out.size(), size_t(44100));
    EXPECT_EQ(FirstAbove(out, 0), -1);
}

TEST_F(PlayerLifetimeTest, AHandlerMayOpenTheNextFileWhenAPlaybackStops) {
    TFFPlayer player;
    player.DisableDisplay = true;
    std::vector<TPlayState> states;
    int opened = 1;
    player.SetOnState([&](QObject*, TPlayState s) {
        states.push_back(s);
        if (s == psEnd)
            player.Stop(false);
        // Replaces the event thread that is delivering this very event.
        if (s == psStop && opened < 3) {
            ++opened;
            EXPECT_TRUE(player.OpenMedia(testpaths::fixture("short.mp3"), nullptr, false));
        }
    });
    ASSERT_TRUE(player.OpenMedia(testpaths::fixture("short.mp3"), nullptr, false));
    EXPECT_TRUE(
        WaitUntil([&] { return std::count(states.begin(), states.end(), psStop) == 3; }, 20000));
    player.Stop(true);
    player.SetOnState(nullptr);
}

TEST_F(PlayerLifetimeTest, InputsThatDecodeToNothingOrAlmostNothingEndByThemselves) {
    const QString tone = testpaths::fixture("tone200.mp3");
    struct TCase {
        QString File;
        bool Nothing; // no sample of it decodes
    };
    std::vector<TCase> cases = {{mp3variants::WithGarbagePayload(tone, FDir.path()), true}};
    for (int frames = 1; frames <= 4; ++frames)
        cases.push_back({mp3variants::WithFirstFramesOnly(tone, FDir.path(), frames), false});
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.File.toStdString());
        ASSERT_FALSE(c.File.isEmpty());
        TRecorder recorder;
        TFFPlayer player;
        player.DisableDisplay = true;
        // As the command line does: the end of the file ends the play.
        player.SetOnState([&](QObject*, TPlayState s) {
            recorder.States.push_back(s);
            if (s == psEnd)
                player.Stop(false);
        });
        QElapsedTimer t;
        t.start();
        if (!player.OpenMedia(c.File, nullptr, false)) {
            // Too little for the demuxer to take it as MP3: a failed open says so.
            EXPECT_FALSE(c.Nothing);
            EXPECT_FALSE(player.LastErrorText().isEmpty());
            continue;
        }
        EXPECT_TRUE(WaitUntil([&] { return recorder.Stopped(); }, 5000));
        EXPECT_LT(t.elapsed(), 5000);
        EXPECT_EQ(player.PlayedNothing(), c.Nothing);
        player.Stop(true);
    }
}

TEST_F(PlayerLifetimeTest, CallsArrivingInsideAnOpensWaitNeverNestAWaitOfTheirOwn) {
    UseDummyAudio();
    const QString tone = testpaths::fixture("tone200.mp3");
    TRecorder recorder;
    TFFPlayer player;
    player.DisableDisplay = true;
    recorder.Attach(player);
    // A call queued now runs from the first pump of the open below; rarely the file opens
    // before the open ever pumps, and the round is tried again.
    auto insideOpen = [&](const std::function<void()>& call) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            bool outer = true, ranInside = false;
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    ranInside = outer;
                    call();
                },
                Qt::QueuedConnection);
            EXPECT_TRUE(player.OpenMedia(tone, nullptr, false));
            outer = false;
            WaitUntil([] { return false; }, 20); // the call has run by now, wherever
            if (ranInside)
                return true;
        }
        return false;
    };

    // A second open is refused and the first plays on.
    QString innerError;
    bool innerOpened = true;
    ASSERT_TRUE(insideOpen([&] {
        innerOpened = player.OpenMedia(tone, nullptr, false);
        innerError = player.LastErrorText();
    }));
    EXPECT_FALSE(innerOpened);
    EXPECT_TRUE(innerError.contains("busy")) << innerError.toStdString();
    const size_t before = recorder.Positions.size();
    EXPECT_TRUE(WaitUntil([&] { return recorder.Positions.size() > before + 2; }, 5000));
    EXPECT_TRUE(player.IsOpen());

    // A stop, waiting or not, ends the playback being opened as soon as it is open.
    for (const bool wait : {true, false}) {
        ASSERT_TRUE(insideOpen([&] { player.Stop(wait); }));
        EXPECT_TRUE(WaitUntil([&] { return !player.IsOpen(); }, 5000)) << wait;
    }
    player.Stop(true);
}

TEST_F(PlayerLifetimeTest, PerPlaybackSettingsAreResetWhenItClosesSoAStopHandlerCanSetTheNext) {
    TFFPlayer player;
    player.DisableDisplay = true;
    std::vector<int64_t> positions;
    int stops = 0;
    player.SetOnPosition([&](QObject*, int64_t pts) { positions.push_back(pts); });
    player.SetOnState([&](QObject*, TPlayState s) {
        if (s == psStop && ++stops == 1) {
            EXPECT_EQ(player.PlayDuration.load(), PlayTimeUnset);
            player.StartTime = 30000000;
        }
    });
    player.StartTime = 10000000;
    player.PlayDuration = 500000; // the playback closes by itself at the end of the range
    ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
    ASSERT_TRUE(WaitUntil([&] { return stops == 1; }, 10000));
    EXPECT_EQ(player.StartTime.load(), 30000000);
    positions.clear();
    ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
    ASSERT_TRUE(WaitUntil([&] { return !positions.empty(); }, 5000));
    EXPECT_GE(positions.front(), 29000000);
    player.Stop(true);
}

TEST_F(PlayerLifetimeTest, AHookThatWaitsForTheMainThreadCanBeDetachedFromIt) {
    UseDummyAudio();
    TFFPlayer player;
    player.DisableDisplay = true;
    player.SetAudioHook(true);
    std::atomic<int> calls{0};
    player.SetOnAudioHook([&](QObject*, int64_t, uint8_t*, int, int, int) {
        CallInMainThread([] {});
        ++calls;
    });
    ASSERT_TRUE(player.OpenMedia(testpaths::fixture("tone200.mp3"), nullptr, false));
    ASSERT_TRUE(WaitUntil([&] { return calls > 3; }, 5000));
    player.SetOnAudioHook(nullptr); // returns while a call of the hook may wait for this thread
    const int after = calls;
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(calls, after);
    player.Stop(true);
}
