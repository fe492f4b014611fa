#pragma once

#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

// Moving a frameless window by pressing the left button anywhere on it
// that does not take the press itself, and dragging.
class window_drag {
  public:
    void press(QWidget& window, const QMouseEvent& event) {
        if (event.button() == Qt::LeftButton) {
            offset_ = event.globalPos() - window.frameGeometry().topLeft();
            dragging_ = true;
        }
    }

    void move(QWidget& window, const QMouseEvent& event) {
        if (dragging_ && (event.buttons() & Qt::LeftButton)) {
            window.move(event.globalPos() - offset_);
        }
    }

    void release() { dragging_ = false; }

  private:
    QPoint offset_;
    bool dragging_ = false;
};
