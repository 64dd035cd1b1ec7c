// The ring between the play thread and the event thread: what a slow owner receives.
#include "media/play/TPlayerEventRing.h"

#include <gtest/gtest.h>

namespace {

TRingEvent Position(int64_t us) {
    return {rekPosition, psPlay, us, 1};
}
TRingEvent State(TPlayState s) {
    return {rekState, s, 0, 1};
}

} // namespace

TEST(PlayerEventRing, UnreadEventsOfTheNewestKindCollapseIntoTheLatest) {
    TPlayerEventRing ring;
    EXPECT_EQ(ring.Read().Kind, rekNone);
    // position, state, position stay three events ...
    ring.Post(Position(1));
    ring.Post(State(psPause));
    ring.Post(Position(2));
    EXPECT_EQ(ring.Read().Position, 1);
    EXPECT_EQ(ring.Read().State, psPause);
    EXPECT_EQ(ring.Read().Position, 2);
    EXPECT_EQ(ring.Read().Kind, rekNone);
    // ... position, position is one: the later value.
    ring.Post(Position(3));
    ring.Post(Position(4));
    const TRingEvent e = ring.Read();
    EXPECT_EQ(e.Kind, rekPosition);
    EXPECT_EQ(e.Position, 4);
    EXPECT_EQ(ring.Read().Kind, rekNone);
    EXPECT_FALSE(ring.WaitReady(0));
}

TEST(PlayerEventRing, HoldsNineUnreadEventsAndDropsTheOldestForATenth) {
    TPlayerEventRing ring;
    for (int i = 0; i < 10; ++i)
        ring.Post(i % 2 == 0 ? Position(i) : State(psPlay));
    EXPECT_TRUE(ring.WaitReady(0));
    // The first position (0) went; the state after it is the oldest now.
    int count = 0;
    TRingEvent first = ring.Read();
    EXPECT_EQ(first.Kind, rekState);
    for (++count; ring.Read().Kind != rekNone;)
        ++count;
    EXPECT_EQ(count, 9);
}
