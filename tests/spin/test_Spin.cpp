#include "spin/Spin.h"

#include <gtest/gtest.h>

TEST(SpinEdit, Defaults) {
    TSpinEdit edit(nullptr);
    EXPECT_EQ(edit.Value(), 0);
}
