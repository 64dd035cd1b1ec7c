#pragma once
// The About window: frameless, 347 x 178, centred on the screen, closed by a click anywhere on it
// except on its two links, which open the support mail and the home page.

#include <QDialog>

class QGroupBox;
class QLabel;

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

    QGroupBox* gbAbout;
    QLabel* lblVersion;
    QLabel* lblQuestion;
    QLabel* lblMail;
    QLabel* lblOrVisit;
    QLabel* lblHomePage;
    QLabel* lblNotice;

    // Closes the window with the OK result; bound to clicks on the window and its group box.
    void gbAboutClick();

protected:
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false; // a press landed on the window itself (not on a link)
};
