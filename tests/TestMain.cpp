#include <gtest/gtest.h>

#include <QByteArray>
#include <QtGlobal>

#include "platform/vcl/Forms.h"

int main(int argc, char** argv) {
    // No test needs a display: without a platform named, Qt's offscreen one serves (a window system is
    // linked in, and listing the tests at build time runs this too).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    ::testing::InitGoogleTest(&argc, argv);
    vcl::Application->Initialize();
    const int result = RUN_ALL_TESTS();
    vcl::Application->Finalize();
    return result;
}
