// main() of the Qt test executables: GoogleTest inside a QApplication, so
// widgets can be created (the tests run on the offscreen platform).
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
