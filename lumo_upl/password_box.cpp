#include "lumo_upl/password_box.hpp"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

password_box::password_box(QWidget* parent)
    : QDialog(parent),
      label_(new QLabel(QStringLiteral("密码验证失败，需要重新输入密码"), this)),
      password_(new QLineEdit(this)),
      ok_(new QPushButton(QStringLiteral("确定"), this)) {
    setObjectName(QStringLiteral("password_box"));
    setWindowTitle(QStringLiteral("需要重新输入密码"));
    label_->setObjectName(QStringLiteral("label"));
    password_->setObjectName(QStringLiteral("password"));
    password_->setEchoMode(QLineEdit::Password);
    ok_->setObjectName(QStringLiteral("btnOK"));
    ok_->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_);
    layout->addWidget(password_);
    layout->addWidget(ok_);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

QString password_box::password() const {
    return password_->text();
}

void password_box::clear() {
    password_->clear();
}
