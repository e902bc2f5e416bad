// The end-to-end port fixture for the gateway's tests, on real kernel time:
// they time nothing of the driver, and on a loaded machine a 1000 times
// faster clock turns the 70 s connect limit into 70 ms that a connect on
// loopback may miss, and the driver's 1 ms passes into a busy loop.
#pragma once

#include "port_fixture.h"

namespace vlm::test {

class GatewayPortTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        nt::KeSetClockSpeedup(1.0);
    }
};

}  // namespace vlm::test
