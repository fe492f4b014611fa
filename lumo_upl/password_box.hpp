#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

// Asks the operator for the web administration password again after the
// site refused the launch code. Only collects the text: the task view makes
// the new launch code of it and empties the box after each use.
class password_box : public QDialog {
    Q_OBJECT

  public:
    explicit password_box(QWidget* parent = nullptr);

    QString password() const;
    void clear();

  private:
    QLabel* label_;
    QLineEdit* password_;
    QPushButton* ok_;
};
