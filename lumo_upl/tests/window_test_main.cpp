// The window tests' entry: one QApplication for the whole run, made before
// any test, as the widgets and QTest's input functions need it.

#include <gtest/gtest.h>
#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
