// The About window: frameless, fixed size, modal from the Help menu, closed by a click on it
// but not by a click on its links.
#include "WindowTestSupport.h"
#include "app/SysInfoUtils.h"
#include "app/TCorvaneForm.h"
#include "app/frmAbout.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
void ClickCentre(QWidget* w) {
    QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
}
} // namespace

TEST(AboutWindow, LayoutAndTexts) {
    TAboutForm about;
    EXPECT_EQ(about.size(), QSize(347, 178));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_TRUE(about.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About"));
    EXPECT_EQ(about.gbAbout->geometry(), QRect(11, 10, 310, 152));
    EXPECT_EQ(about.lblVersion->text(), QStringLiteral("Quillon Snipwave version 1.2.0"));
    EXPECT_EQ(about.lblVersion->pos(), QPoint(63, 14));
    EXPECT_EQ(about.lblOrVisit->text(), QStringLiteral("or visit our home page:"));
    EXPECT_TRUE(about.lblMail->text().contains(SupportMailAddress));
    EXPECT_TRUE(about.lblHomePage->text().contains(HomePageAddress));
    EXPECT_FALSE(about.lblNotice->text().isEmpty());
}

TEST(AboutWindow, MenuShowsItModallyAndAClickClosesIt) {
    QTemporaryDir dir;
    TFakeDialogs dialogs;
    TCorvaneForm form(dir.path(), &dialogs);
    TAboutForm about;
    form.SetAboutForm(&about);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    TUrlRecorder mail(QStringLiteral("mailto"));

    bool sawModal = false;
    bool openAfterLink = false;
    QTimer::singleShot(0, [&] {
        sawModal = QApplication::activeModalWidget() == &about;
        ClickCentre(about.lblMail); // a link opens mail and leaves the window up
        openAfterLink = about.isVisible();
        ClickCentre(about.lblNotice); // a plain label passes the click to the window
    });
    // Safety net: a failed close must not hang the test run.
    QTimer::singleShot(5000, &about, [&] { about.reject(); });
    form.About1->trigger();
    EXPECT_TRUE(sawModal);
    EXPECT_TRUE(openAfterLink);
    EXPECT_EQ(about.result(), QDialog::Accepted);
    EXPECT_EQ(mail.urls.size(), 1);

    // A click on the group box's own area closes it too.
    QTimer::singleShot(
        0, [&] { QTest::mouseClick(about.gbAbout, Qt::LeftButton, {}, QPoint(300, 140)); });
    QTimer::singleShot(5000, &about, [&] { about.reject(); });
    form.About1->trigger();
    EXPECT_EQ(about.result(), QDialog::Accepted);
}
