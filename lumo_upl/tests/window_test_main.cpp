// The window tests' entry: one QApplication for the whole run, made before
// any test, as the widgets and QTest's input functions need it.

#include <gtest/gtest.h>
#include <QApplication>

#include <cstdlib>

// What the system's graphics and font libraries keep until the process
// ends is no leak of ours: the leak checker reads the suppressions from
// this file (also when ctest only lists the tests).
extern "C" const char* __lsan_default_options() {
    return "suppressions=" LUMO_UPL_LEAK_SUPPRESSIONS;
}

int main(int argc, char** argv) {
    // ctest sets the platform; the listing of the tests and a run by hand
    // get the same one.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
