// Mouse and keyboard behaviour of the range trackbar, driven through synthesized events on the
// real widget. Geometry: track 16..228, segment 10..90 drawn at 37 and 207, 100 units.
#include "TrackbarFixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QShortcut>

using namespace trackbartest;
using Log = std::vector<std::string>;

TEST_F(TrackbarTest, StartMarkerDragCarriesTheTickAndStopsAtTheEnd) {
    RecordEvents();
    Press(30); // inside the start marker (21..37)
    EXPECT_EQ(tb->DragMode(), TVelTrackbar::TDragMode::SegStart);
    EXPECT_EQ(tb->SegStartPos(), 10);
    Move(60);
    EXPECT_EQ(tb->SegStartPos(), 21); // Round(44 * 100 / 212)
    EXPECT_EQ(tb->Position(), 21);
    EXPECT_EQ(tb->TickX(), 60);
    Move(300);
    EXPECT_EQ(tb->SegStartX(), 207);
    EXPECT_EQ(tb->SegStartPos(), 90);
    EXPECT_EQ(tb->Position(), 90);
    Release(300);
    EXPECT_EQ(log, (Log{"SegStartMouseDown", "StartChange", "StartChange", "SegStartMouseUp"}));
}

TEST_F(TrackbarTest, EndMarkerDragPullsTheTickBack) {
    tb->SetPosition(50);
    RecordEvents();
    Press(210); // inside the end marker (207..223)
    Move(100);
    EXPECT_EQ(tb->SegEndPos(), 40);
    EXPECT_EQ(tb->Position(), 40);
    Move(-50); // far past the start marker
    EXPECT_EQ(tb->SegEndX(), 37);
    EXPECT_EQ(tb->SegEndPos(), 10);
    EXPECT_EQ(tb->Position(), 10);
    Release(-50);
    EXPECT_EQ(log, (Log{"SegEndMouseDown", "EndChange", "EndChange", "SegEndMouseUp"}));
}

TEST_F(TrackbarTest, DraggedTickStaysInTheSegmentAndReportsEachMove) {
    tb->SetPosition(50); // tick 118..127
    RecordEvents();
    Press(122);
    EXPECT_EQ(tb->TickState(), TVelTrackbar::TTickState::Down);
    Move(150);
    EXPECT_EQ(tb->Position(), 63);
    Move(400);
    EXPECT_EQ(tb->TickX(), 207);
    EXPECT_EQ(tb->Position(), 90);
    Move(-100);
    EXPECT_EQ(tb->TickX(), 37);
    EXPECT_EQ(tb->Position(), 10);
    Release(-100);
    EXPECT_EQ(tb->TickState(), TVelTrackbar::TTickState::Normal);
    EXPECT_EQ(log, (Log{"TickMouseDown", "TickChange", "Change", "TickChange", "Change",
                        "TickChange", "Change", "TickMouseUp"}));
    EXPECT_EQ(tb->SegStartPos(), 10);
    EXPECT_EQ(tb->SegEndPos(), 90);
}

TEST_F(TrackbarTest, MarkersDraggedOffTheControlStopAtTheTrackEnds) {
    Press(30);
    Move(-100);
    Release(-100);
    EXPECT_EQ(tb->SegStartX(), 16);
    EXPECT_EQ(tb->SegStartPos(), 0);
    Press(210);
    Move(500);
    Release(500);
    EXPECT_EQ(tb->SegEndX(), 228);
    EXPECT_EQ(tb->SegEndPos(), 100);
}

TEST_F(TrackbarTest, PressOnTheBareTrackOnlyReportsChanges) {
    tb->SetPosition(50);
    RecordEvents();
    Press(170);
    EXPECT_EQ(tb->DragMode(), TVelTrackbar::TDragMode::Track);
    Move(180);
    Move(60);
    Release(60);
    EXPECT_EQ(log, (Log{"Change", "Change"}));
    EXPECT_EQ(tb->Position(), 50);
    EXPECT_EQ(tb->SegStartPos(), 10);
    EXPECT_EQ(tb->SegEndPos(), 90);
}

TEST_F(TrackbarTest, RightButtonNeverDrags) {
    tb->SetPosition(50);
    RecordEvents();
    for (int x : {30, 122, 210, 170}) {
        Press(x, 12, Qt::RightButton);
        EXPECT_EQ(tb->DragMode(), TVelTrackbar::TDragMode::None) << x;
        Move(x + 40);
        Release(x + 40, 12, Qt::RightButton);
    }
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(tb->Position(), 50);
    EXPECT_EQ(tb->SegStartPos(), 10);
    EXPECT_EQ(tb->SegEndPos(), 90);
}

TEST_F(TrackbarTest, TickThatCannotBeDraggedCountsAsTrack) {
    tb->SetPosition(50);
    tb->SetCanDragTick(false);
    RecordEvents();
    Press(122);
    EXPECT_EQ(tb->DragMode(), TVelTrackbar::TDragMode::Track);
    EXPECT_EQ(tb->TickState(), TVelTrackbar::TTickState::Normal);
    Move(150);
    Release(150);
    EXPECT_EQ(log, (Log{"Change"}));
    EXPECT_EQ(tb->Position(), 50);

    // The tick hangs one row below the track; a press there hits nothing.
    Press(122, 21);
    EXPECT_EQ(tb->DragMode(), TVelTrackbar::TDragMode::None);
    Move(150, 21);
    Release(150, 21);
    EXPECT_EQ(log, (Log{"Change"}));
}

TEST_F(TrackbarTest, PressWithoutMoveKeepsValuesButDrawsTheMarkerAtTheMouse) {
    RecordEvents();
    Press(25);
    Release(25);
    EXPECT_EQ(tb->SegStartPos(), 10);
    EXPECT_EQ(tb->SegStartRect().Right, 25);
    EXPECT_EQ(log, (Log{"SegStartMouseDown", "SegStartMouseUp"}));

    tb->SetSegStartPos(0); // at Min the marker stays at the margin
    Press(8);
    Release(8);
    EXPECT_EQ(tb->SegStartPos(), 0);
    EXPECT_EQ(tb->SegStartRect().Left, 0);
    EXPECT_EQ(tb->SegStartRect().Right, 16);
}

// A marker pressed without moving keeps a pixel away from its value; the other marker's drag
// and plain rounding must still never invert the range or leave the file.
TEST_F(TrackbarTest, DragsNeverInvertTheRange) {
    tb->SetSegEndPos(50); // drawn at 122..138
    Press(135);
    Release(135);
    Press(30);
    Move(300);
    Release(300);
    EXPECT_LE(tb->SegStartPos(), tb->SegEndPos());
    EXPECT_EQ(tb->SegEndPos(), 50);
    EXPECT_LE(tb->Position(), 50);

    tb->SetSegStartPos(10);
    tb->SetSegEndPos(50); // back on its value: 122..138
    tb->SetPosition(10);
    Press(22); // start marker (21..37) without a move
    Release(22);
    Press(125); // end marker
    Move(-100);
    Release(-100);
    EXPECT_EQ(tb->SegEndPos(), 10);
    EXPECT_GE(tb->SegEndPos(), tb->SegStartPos());

    // 1000 units on 212 pixels: the end's pixel maps back past the end's value.
    tb->SetMax(1000);
    tb->SetSegStartPos(0);
    tb->SetSegEndPos(8);
    tb->SetPosition(0);
    ASSERT_EQ(tb->PixelToValue(tb->SegEndX()), 9);
    Press(8);
    Move(300);
    Release(300);
    EXPECT_EQ(tb->SegStartPos(), 8);
    EXPECT_EQ(tb->Position(), 8);
}

TEST_F(TrackbarTest, OwnerHandlersSeeTheStateBeforeEachEvent) {
    tb->SetPosition(50);
    std::vector<qint64> seenPositions;
    TVelTrackbar::TDragMode modeAtPress = TVelTrackbar::TDragMode::Tick;
    TVelTrackbar::TTickState stateAtRelease = TVelTrackbar::TTickState::Normal;
    Log order;
    tb->OnMouseDown = [&](TVelTrackbar* s, Qt::MouseButton b, Qt::KeyboardModifiers, int x, int) {
        EXPECT_EQ(s, tb);
        EXPECT_EQ(b, Qt::LeftButton);
        EXPECT_EQ(x, 122);
        modeAtPress = s->DragMode();
        order.push_back("MouseDown");
    };
    tb->OnTickMouseDown = [&](TVelTrackbar*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        order.push_back("TickMouseDown");
    };
    tb->OnMouseMove = [&](TVelTrackbar* s, Qt::MouseButtons, Qt::KeyboardModifiers, int, int) {
        seenPositions.push_back(s->Position());
        order.push_back("MouseMove");
    };
    tb->OnTickChange = [&](TVelTrackbar*) { order.push_back("TickChange"); };
    tb->OnMouseUp = [&](TVelTrackbar* s, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
        stateAtRelease = s->TickState();
        order.push_back("MouseUp");
    };
    Press(122);
    Move(150);
    Move(170);
    Release(170);
    EXPECT_EQ(modeAtPress, TVelTrackbar::TDragMode::None);
    EXPECT_EQ(seenPositions, (std::vector<qint64>{50, 63}));
    EXPECT_EQ(stateAtRelease, TVelTrackbar::TTickState::Down);
    EXPECT_EQ(order, (Log{"MouseDown", "TickMouseDown", "MouseMove", "TickChange", "MouseMove",
                          "TickChange", "MouseUp"}));
}

namespace {
// Records the keys that reach the control's parent.
class KeyParent : public QWidget {
public:
    std::vector<int> keys;

protected:
    void keyPressEvent(QKeyEvent* e) override { keys.push_back(e->key()); }
};
} // namespace

TEST(TrackbarKeys, ArrowKeysReachTheOwnerButGoNoFurther) {
    KeyParent parent;
    parent.resize(300, 60);
    auto* tb = new TVelTrackbar(&parent);
    tb->setGeometry(10, 10, 244, 25);
    int shortcutHits = 0;
    auto* shortcut = new QShortcut(QKeySequence(Qt::Key_Left), &parent);
    QObject::connect(shortcut, &QShortcut::activated, [&] { ++shortcutHits; });
    std::vector<int> down, up;
    tb->OnKeyDown = [&](TVelTrackbar*, int key, Qt::KeyboardModifiers) { down.push_back(key); };
    tb->OnKeyUp = [&](TVelTrackbar*, int key, Qt::KeyboardModifiers) { up.push_back(key); };
    parent.show();
    parent.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&parent));

    QTest::mouseClick(tb, Qt::RightButton, Qt::NoModifier, QPoint(100, 2));
    ASSERT_TRUE(tb->hasFocus()); // any press takes the focus

    for (auto key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down})
        QTest::keyClick(tb, key);
    QTest::keyClick(tb, Qt::Key_A);
    const std::vector<int> all{Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_A};
    EXPECT_EQ(down, all);
    EXPECT_EQ(up, all);
    EXPECT_EQ(parent.keys, std::vector<int>{Qt::Key_A});
    EXPECT_EQ(shortcutHits, 0);
    EXPECT_TRUE(tb->hasFocus());
}
