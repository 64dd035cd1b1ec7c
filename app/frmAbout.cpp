#include "app/frmAbout.h"

#include "app/SysInfoUtils.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>

#include <algorithm>

namespace {
QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QLabel* MakeLink(QWidget* parent, const QString& target, const QString& shown, int left, int top) {
    auto* label = MakeLabel(
        parent,
        QStringLiteral("<a href=\"%1\">%2</a>").arg(target.toHtmlEscaped(), shown.toHtmlEscaped()),
        left, top);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    label->setCursor(Qt::PointingHandCursor);
    return label;
}
} // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(347, 178);
    setFont(QFont(QStringLiteral("Tahoma"), 8));

    gbAbout = new QGroupBox(this);
    gbAbout->setGeometry(11, 10, 310, 152);

    lblVersion = MakeLabel(gbAbout, QStringLiteral("Quillon Snipwave version 1.2.0"), 63, 14);
    QFont versionFont = lblVersion->font();
    versionFont.setPixelSize(13);
    lblVersion->setFont(versionFont);
    QPalette olive = lblVersion->palette();
    olive.setColor(QPalette::WindowText, QColor(0x80, 0x80, 0x00));
    lblVersion->setPalette(olive);
    lblVersion->adjustSize();

    lblQuestion = MakeLabel(
        gbAbout, QStringLiteral("If you have any question or suggestion, please contact us:"), 15,
        39);
    lblQuestion->setWordWrap(true);
    lblQuestion->setFixedWidth(290);
    lblQuestion->adjustSize();

    // Without Tahoma the question may need a second line; the rows below then move down by
    // what it took so nothing overlaps.
    const int dy = std::max(0, lblQuestion->geometry().bottom() + 3 - 58);
    const QString mail = QString::fromLatin1(SupportMailAddress);
    const QString home = QString::fromLatin1(HomePageAddress);
    lblMail = MakeLink(gbAbout, QStringLiteral("mailto:") + mail, mail, 17, 58 + dy);
    // Where the desktop's font makes the mail address longer, the text after it moves along
    // instead of overlapping it.
    lblOrVisit = MakeLabel(gbAbout, QStringLiteral("or visit our home page:"),
                           std::max(134, lblMail->geometry().right() + 5), 59 + dy);
    lblHomePage = MakeLink(gbAbout, home, home, 17, 79 + dy);
    lblNotice = MakeLabel(gbAbout,
                          QStringLiteral("Cut only recordings you have the right to use.\n"
                                         "Your source files are never changed."),
                          25, 113 + dy);

    connect(lblMail, &QLabel::linkActivated, this, [mail] { OpenMailTo(mail); });
    connect(lblHomePage, &QLabel::linkActivated, this, [home] { OpenURL(home); });
}

void TAboutForm::gbAboutClick() {
    done(QDialog::Accepted);
}

void TAboutForm::showEvent(QShowEvent* event) {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    QDialog::showEvent(event);
}

// Plain labels and the group box ignore mouse presses, so a click on them arrives here too;
// the link labels accept theirs and keep the window open.
void TAboutForm::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    event->accept();
}

void TAboutForm::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton;
    m_pressed = false;
    event->accept();
    if (click)
        gbAboutClick();
}
