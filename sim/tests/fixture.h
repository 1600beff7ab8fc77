// What the simulated kernel's tests share: a test whose kernel's findings,
// at its end, fail it unless it expects findings.

#ifndef KVR_SIM_TESTS_FIXTURE_H
#define KVR_SIM_TESTS_FIXTURE_H

#include "sim.h"

#include <gtest/gtest.h>

#include <vector>

namespace sim_test
{

class NoFindings : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        std::vector<sim::Violation> found = sim::Shutdown();
        if (!ViolationsExpected)
            for (const sim::Violation &violation : found)
                ADD_FAILURE() << violation.Text;
    }
    bool ViolationsExpected = false;
};

} // namespace sim_test

#endif // KVR_SIM_TESTS_FIXTURE_H
