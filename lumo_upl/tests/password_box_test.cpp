#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "lumo_upl/password_box.hpp"
#include "lumo_upl/tests/window_helpers.hpp"

namespace {

using namespace lumo_upl_testing;

TEST(PasswordBox, HasItsFieldsAndCollectsTheText) {
    password_box box;
    EXPECT_EQ(box.objectName(), "password_box");
    EXPECT_EQ(box.windowTitle(), QStringLiteral("需要重新输入密码"));
    EXPECT_FALSE(box.isModal()) << "the view runs it modally";
    EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("label"))->text(),
              QStringLiteral("密码验证失败，需要重新输入密码"));
    auto* field = box.findChild<QLineEdit*>(QStringLiteral("password"));
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_EQ(box.findChild<QPushButton*>(QStringLiteral("btnOK"))->text(), QStringLiteral("确定"));

    modal_answerer answers;
    answers.password(QStringLiteral("秘密 word")).refuse_password().password({});
    EXPECT_EQ(box.exec(), QDialog::Accepted);
    EXPECT_EQ(box.password(), QStringLiteral("秘密 word"));
    box.clear();
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_EQ(box.exec(), QDialog::Rejected);
    EXPECT_EQ(box.exec(), QDialog::Accepted) << "an empty password is an answer too";
    EXPECT_EQ(box.password(), QString());
    EXPECT_TRUE(answers.failures().empty());
}

}  // namespace
