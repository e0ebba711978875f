#include <gtest/gtest.h>

#include "service/ZELService.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    zel::CreateProcessObjects();
    int code = RUN_ALL_TESTS();
    zel::DestroyProcessObjects();
    return code;
}
