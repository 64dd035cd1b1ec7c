#pragma once

// A trackbar set up the way the main window uses it (244 x 25, 16-pixel markers, a 300-pixel
// track picture scaled to 212 pixels, offsets 5, ShowCut off, Max 100, segment 10..90), placed
// inside a larger parent so drags can leave the control's bounds. Every picture is a flat colour
// so that a sampled pixel tells which layer is on top.

#include "controls/TVelTrackbar.h"

#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace trackbartest {

inline const QRgb TrackRgb = qRgb(0x80, 0x80, 0x80);
inline const QRgb SegStartRgb = qRgb(0x00, 0xC0, 0x00);
inline const QRgb SegEndRgb = qRgb(0xC0, 0x00, 0xC0);
inline const QRgb TickUpRgb = qRgb(0x00, 0x00, 0xFF);
inline const QRgb TickDownRgb = qRgb(0xFF, 0x00, 0x00);
inline const QRgb TickHotRgb = qRgb(0xFF, 0xFF, 0x00);
inline const QRgb TickDisableRgb = qRgb(0x40, 0x40, 0x40);
inline const QRgb AppBackgroundRgb = qRgb(0xEC, 0xEA, 0xDB); // TColor 0xDBEAEC

inline QImage Solid(int w, int h, QRgb rgb) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(rgb);
    return img;
}

// A tick picture whose first column is black, the key colour, so it must show what lies below.
inline QImage TickPicture(QRgb rgb) {
    QImage img = Solid(9, 17, rgb);
    for (int y = 0; y < img.height(); ++y)
        img.setPixel(0, y, qRgb(0, 0, 0));
    return img;
}

// The colour of `top` drawn at 80 % over `below`.
inline QRgb Faded(QRgb top, QRgb below) {
    auto mix = [](int a, int b) { return (a * 8 + b * 2 + 5) / 10; };
    return qRgb(mix(qRed(top), qRed(below)), mix(qGreen(top), qGreen(below)),
                mix(qBlue(top), qBlue(below)));
}

// Equal within rounding of the 80 % and brush blends.
inline bool Near(QRgb a, QRgb b) {
    constexpr int tolerance = 3;
    return std::abs(qRed(a) - qRed(b)) <= tolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

inline std::string Hex(QRgb c) {
    return QString::asprintf("#%06x", c & 0xFFFFFF).toStdString();
}

class TrackbarTest : public ::testing::Test {
protected:
    void SetUp() override {
        parent = std::make_unique<QWidget>();
        parent->resize(400, 100);
        tb = new TVelTrackbar(parent.get());
        tb->setGeometry(63, 17, 244, 25);
        tb->SetBGColor(0xDBEAEC);
        tb->SetShowCut(false);
        tb->SetTickOffsetY(5);
        tb->SetTrackOffsetY(5);
        tb->SetSegOffsetY(5);
        tb->SetSegStartTransparency(0);
        tb->SetSegEndTransparency(0);
        tb->SetTickTransparency(0);
        tb->SetTrack(Solid(300, 16, TrackRgb));
        tb->SetSegmentStart(Solid(16, 16, SegStartRgb));
        tb->SetSegmentEnd(Solid(16, 16, SegEndRgb));
        tb->SetTickUp(TickPicture(TickUpRgb));
        tb->SetTickDown(TickPicture(TickDownRgb));
        tb->SetTickHot(TickPicture(TickHotRgb));
        tb->SetTickDisable(TickPicture(TickDisableRgb));
        tb->SetMax(100);
        tb->SetSegEndPos(90);
        tb->SetSegStartPos(10);
        tb->SetPosition(10);
        parent->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(parent.get()));
        log.clear();
    }

    void TearDown() override { parent.reset(); }

    // Records the control's events in the order they are raised.
    void RecordEvents() {
        tb->OnChange = [this](TVelTrackbar*) { log.push_back("Change"); };
        tb->OnTickChange = [this](TVelTrackbar*) { log.push_back("TickChange"); };
        tb->OnStartChange = [this](TVelTrackbar*) { log.push_back("StartChange"); };
        tb->OnEndChange = [this](TVelTrackbar*) { log.push_back("EndChange"); };
        auto mouse = [this](const char* name) {
            return [this, name](TVelTrackbar*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
                log.push_back(name);
            };
        };
        tb->OnTickMouseDown = mouse("TickMouseDown");
        tb->OnTickMouseUp = mouse("TickMouseUp");
        tb->OnSegStartMouseDown = mouse("SegStartMouseDown");
        tb->OnSegStartMouseUp = mouse("SegStartMouseUp");
        tb->OnSegendMouseDown = mouse("SegEndMouseDown");
        tb->OnSegEndMouseUp = mouse("SegEndMouseUp");
    }

    void Press(int x, int y = 12, Qt::MouseButton b = Qt::LeftButton) {
        QTest::mousePress(tb, b, Qt::NoModifier, QPoint(x, y));
    }
    void Move(int x, int y = 12) { QTest::mouseMove(tb, QPoint(x, y)); }
    void Release(int x, int y = 12, Qt::MouseButton b = Qt::LeftButton) {
        QTest::mouseRelease(tb, b, Qt::NoModifier, QPoint(x, y));
    }
    QImage Shot() { return tb->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    std::unique_ptr<QWidget> parent;
    TVelTrackbar* tb = nullptr; // owned by parent
    std::vector<std::string> log;
};

} // namespace trackbartest
