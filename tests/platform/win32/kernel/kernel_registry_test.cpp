// Strings cross between the ANSI registry functions and the kernel's Zw*
// routines, both on one running kernel's registry.
#include "ansi_side.h"
#include "registry_support.h"

#include <gtest/gtest.h>

namespace vlm::test {
namespace {

using registry::Key;

class Win32KernelRegistry : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ansi::UseSystemRoot(root_);
    }
    void TearDown() override
    {
        EXPECT_EQ(ansi::OpenHandles(), 0u);
        ansi::UseSystemRoot("/nonexistent");
        KernelTest::TearDown();
    }
};

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegMultiSz = 7;
constexpr long kErrorSuccess = 0;

TEST_F(Win32KernelRegistry, AnAnsiRegSzReadsInTheKernelAsAWcharStringWithItsNul)
{
    std::string port = "COM\xe9";  // Latin-1: e acute
    std::vector<uint8_t> bytes(port.begin(), port.end());
    bytes.push_back(0);
    ASSERT_EQ(ansi::SetValue("SOFTWARE\\Vlm", "PortName", kRegSz, bytes), kErrorSuccess);

    Key key;
    ASSERT_EQ(registry::OpenKey("\\Registry\\Machine\\SOFTWARE\\Vlm", &key), STATUS_SUCCESS);
    registry::Value value;
    ASSERT_EQ(registry::QueryValue(key.get(), "PortName", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_SZ));
    ASSERT_EQ(value.data.size(), 5 * sizeof(WCHAR));
    auto* text = reinterpret_cast<const WCHAR*>(value.data.data());
    EXPECT_EQ(text[4], WCHAR(0));
    EXPECT_EQ(wcslen(text), 4u);
    EXPECT_EQ(registry::Utf8Of(text, 4 * sizeof(WCHAR)), "COM\u00e9");
}

TEST_F(Win32KernelRegistry, AStringTheKernelWritesReadsAsAnsi)
{
    Key key;
    ASSERT_EQ(registry::CreateKey("\\Registry\\Machine\\SOFTWARE\\Vlm", &key), STATUS_SUCCESS);
    ASSERT_EQ(registry::SetString(key.get(), "Printer", "Mirka \u00e9"), STATUS_SUCCESS);
    std::u16string multi = u"Mirka\\kordia";
    multi.push_back(0);
    multi += u"mirkatech\\quentaro";
    multi.append(2, 0);
    ASSERT_EQ(registry::SetValue(
                      key.get(), "HardwareID", REG_MULTI_SZ, multi.data(), ULONG(multi.size() * sizeof(char16_t))),
            STATUS_SUCCESS);

    uint32_t type = 0;
    std::vector<uint8_t> data;
    ASSERT_EQ(ansi::QueryValue("software\\vlm", "printer", &type, &data), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("Mirka \xe9", 8));
    ASSERT_EQ(ansi::QueryValue("SOFTWARE\\Vlm", "HardwareID", &type, &data), kErrorSuccess);
    EXPECT_EQ(type, kRegMultiSz);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("Mirka\\kordia\0mirkatech\\quentaro\0\0", 33));
}

}  // namespace
}  // namespace vlm::test
