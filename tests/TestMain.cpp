#include <gtest/gtest.h>

#include "platform/vcl/Forms.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    vcl::Application->Initialize();
    const int result = RUN_ALL_TESTS();
    vcl::Application->Finalize();
    return result;
}
