#include "sim.h"
#include <gtest/gtest.h>
TEST(Smoke, Reset)
{
    sim::Reset();
    EXPECT_EQ(sim::Now(), 0);
}
