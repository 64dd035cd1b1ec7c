#pragma once
// An image control that reports a left click (press and release inside it), used for the
// window's step icons and the arrows that toggle the information panel.

#include <QLabel>

class TClickImage : public QLabel {
    Q_OBJECT
public:
    explicit TClickImage(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false; // a left press began inside and has not been released yet
};
