// The emulated handshake inputs: each code raises or drops exactly its bit.
#include "vlmquentaro.h"

#include <gtest/gtest.h>

#include <memory>

namespace vlm::test {
namespace {

std::unique_ptr<DEVICE_EXTENSION> Record(ULONG modemStatus)
{
    auto record = std::make_unique<DEVICE_EXTENSION>();
    record->ModemStatus = modemStatus;
    return record;
}

TEST(ModemStatus, EachCodeRaisesOrDropsOnlyItsOwnBit)
{
    struct Case {
        ULONG before;
        LONG code;
        ULONG after;
    };
    const Case cases[] = {
            {0x00, MODEM_DSR_ON, 0x20},
            {0x00, MODEM_CTS_ON, 0x10},
            {0x30, MODEM_DSR_OFF, 0x10},
            {0x30, MODEM_CTS_OFF, 0x20},
            {0x20, MODEM_DSR_ON, 0x20},
            {0x10, MODEM_CTS_ON, 0x10},
            {0x00, MODEM_DSR_OFF, 0x00},
            {0x00, MODEM_CTS_OFF, 0x00},
            {0x10, MODEM_DSR_ON, 0x30},
            {0x20, MODEM_CTS_ON, 0x30},
            // Bits the emulation does not own are left alone.
            {0xC1, MODEM_DSR_ON, 0xE1},
            {0xF1, MODEM_CTS_OFF, 0xE1},
    };
    for (const Case& c : cases) {
        auto record = Record(c.before);
        UpdateModemStatus(record.get(), c.code);
        EXPECT_EQ(record->ModemStatus, c.after) << "code " << c.code << " on 0x" << std::hex << c.before;
    }
}

TEST(ModemStatus, OtherCodesChangeNothing)
{
    for (LONG code : {0, 3, -1, -4, 0x10, 0x20, 16, -16}) {
        for (ULONG before : {0x00u, 0x10u, 0x20u, 0x30u}) {
            auto record = Record(before);
            UpdateModemStatus(record.get(), code);
            EXPECT_EQ(record->ModemStatus, before) << "code " << code;
        }
    }
}

TEST(ModemStatus, SurpriseRemovalOrderClearsBothAfterOpenOrderSetsBoth)
{
    auto record = Record(0);
    UpdateModemStatus(record.get(), MODEM_DSR_ON);
    UpdateModemStatus(record.get(), MODEM_CTS_ON);
    EXPECT_EQ(record->ModemStatus, ULONG(VSERIAL_MODEM_DSR | VSERIAL_MODEM_CTS));
    UpdateModemStatus(record.get(), MODEM_CTS_OFF);
    UpdateModemStatus(record.get(), MODEM_DSR_OFF);
    EXPECT_EQ(record->ModemStatus, 0u);
}

}  // namespace
}  // namespace vlm::test
