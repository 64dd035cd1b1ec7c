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

TEST(AboutWindow, LayoutFitsAndLinksCarryAddresses) {
    TAboutForm about;
    EXPECT_EQ(about.size(), QSize(347, 178));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_TRUE(about.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(about.gbAbout->geometry(), QRect(11, 10, 310, 152));
    EXPECT_EQ(about.lblVersion->pos(), QPoint(63, 14));
    EXPECT_TRUE(about.lblMail->text().contains(SupportMailAddress));
    EXPECT_TRUE(about.lblHomePage->text().contains(HomePageAddress));
    // Whatever the desktop's font, the texts stay inside the group and do not overlap.
    const QList<QLabel*> rows = {about.lblQuestion, about.lblMail, about.lblHomePage,
                                 about.lblNotice};
    for (QLabel* label : rows)
        EXPECT_TRUE(about.gbAbout->rect().contains(label->geometry()))
            << label->text().toStdString();
    for (int i = 1; i < rows.size(); ++i)
        EXPECT_GT(rows[i]->y(), rows[i - 1]->geometry().bottom());
    EXPECT_GT(about.lblOrVisit->x(), about.lblMail->geometry().right());
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
