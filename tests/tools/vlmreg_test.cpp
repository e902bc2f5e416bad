// vlmreg as a program, on a fresh system root per test: keys and values
// added, queried and deleted as Windows' reg does it, REG_DWORD data stored
// as the four little-endian bytes the driver reads, and the exit status
// telling success (0), failure (1) and usage errors (2) apart.
#ifdef VLMREG_PATH

#include "vlm/regstore/store.h"
#include "kernel_fixture.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vlm::test {
namespace {

using vlm::nt::cm::KeyId;
using vlm::nt::cm::Store;
using vlm::nt::cm::StoreStatus;
using vlm::nt::cm::ValueRecord;

constexpr const char* kAssignKey = "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\COM3";
constexpr const char* kAssignKeyLong = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";

struct Result {
    int status = -1;
    std::string output;
};

class VlmReg : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override { RemoveTree(root_); }

    Result Run(std::vector<std::string> args)
    {
        Process reg(VLMREG_PATH, std::move(args), {"VLM_SYSTEM_ROOT=" + root_});
        Result result;
        result.status = reg.Wait();
        result.output = reg.output();
        return result;
    }

    // The value as the store holds it, read past the Win32 layer: the bytes
    // the kernel (and so the driver) will see.
    ValueRecord Stored(const std::vector<std::string>& path, const std::string& name)
    {
        std::unique_ptr<Store> store;
        ValueRecord value;
        EXPECT_EQ(Store::Open(root_ + "/registry.db", &store, true), StoreStatus::Ok);
        if (!store)
            return value;
        KeyId key;
        EXPECT_EQ(store->OpenKey(store->Root(), path, &key), StoreStatus::Ok);
        EXPECT_EQ(store->QueryValue(key, name, &value), StoreStatus::Ok) << name;
        return value;
    }

    std::string root_;
};

// --- adding and querying values -------------------------------------------

TEST_F(VlmReg, DwordRoundTripsAndPrintsAsRegDoes)
{
    Result add = Run({"add", kAssignKey, "/v", "Port_", "/t", "REG_DWORD", "/d", "0x238c"});
    ASSERT_EQ(add.status, 0) << add.output;
    EXPECT_NE(add.output.find("The operation completed successfully."), std::string::npos);

    Result query = Run({"query", kAssignKey, "/v", "Port_"});
    ASSERT_EQ(query.status, 0) << query.output;
    EXPECT_EQ(query.output, std::string("\n") + kAssignKeyLong + "\n    Port_    REG_DWORD    0x238c\n\n");
}

TEST_F(VlmReg, AssignmentDwordsAreStoredAsFourLittleEndianBytes)
{
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "IPAddress", "/t", "REG_DWORD", "/d", "0x0a01a8c0"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Port", "/t", "REG_DWORD", "/d", "35875"}).status, 0);

    const std::vector<std::string> path{"MACHINE", "SOFTWARE", "VELMORA", "KORDIA", "COM3"};
    ValueRecord address = Stored(path, "IPAddress");
    EXPECT_EQ(address.type, 4u);
    EXPECT_EQ(address.data, (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x0A}));
    ValueRecord port = Stored(path, "Port");
    EXPECT_EQ(port.type, 4u);
    EXPECT_EQ(port.data, (std::vector<uint8_t>{0x23, 0x8C, 0x00, 0x00}));

    Result query = Run({"query", kAssignKey});
    ASSERT_EQ(query.status, 0) << query.output;
    EXPECT_NE(query.output.find("    IPAddress    REG_DWORD    0xa01a8c0\n"), std::string::npos) << query.output;
    EXPECT_NE(query.output.find("    Port    REG_DWORD    0x8c23\n"), std::string::npos) << query.output;
}

TEST_F(VlmReg, EachDataTypeIsStoredAndPrintedInItsOwnForm)
{
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Name", "/d", "Kordia 9100"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%ROOT%\\spool"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Hosts", "/t", "REG_MULTI_SZ", "/d", "alpha\\0beta"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Blob", "/t", "reg_binary", "/d", "c0a8010A"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/ve", "/d", "default text"}).status, 0);

    Result query = Run({"query", kAssignKey});
    ASSERT_EQ(query.status, 0) << query.output;
    for (const char* line : {"    Name    REG_SZ    Kordia 9100\n", "    Path    REG_EXPAND_SZ    %ROOT%\\spool\n",
                 "    Hosts    REG_MULTI_SZ    alpha\\0beta\n", "    Blob    REG_BINARY    C0A8010A\n",
                 "    (Default)    REG_SZ    default text\n"})
        EXPECT_NE(query.output.find(line), std::string::npos) << line << "\nin:\n" << query.output;

    // Strings reach the store as the kernel keeps them: UTF-16LE with a NUL.
    const std::vector<std::string> path{"MACHINE", "SOFTWARE", "VELMORA", "KORDIA", "COM3"};
    EXPECT_EQ(Stored(path, "Name").data.size(), 2 * (std::string("Kordia 9100").size() + 1));
    EXPECT_EQ(Stored(path, "Blob").data, (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x0A}));
}

TEST_F(VlmReg, AddingAnExistingValueReplacesItWithoutAsking)
{
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Port", "/t", "REG_DWORD", "/d", "9100"}).status, 0);
    // No /f and no terminal: overwriting must not wait for a confirmation.
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Port", "/t", "REG_DWORD", "/d", "0x238c"}).status, 0);
    // Names compare without case; query echoes the name as asked, as reg does.
    Result query = Run({"query", kAssignKey, "/v", "PORT"});
    ASSERT_EQ(query.status, 0) << query.output;
    EXPECT_NE(query.output.find("    PORT    REG_DWORD    0x238c\n"), std::string::npos) << query.output;
    Result all = Run({"query", kAssignKey});
    ASSERT_EQ(all.status, 0) << all.output;
    EXPECT_EQ(all.output.find("REG_DWORD"), all.output.rfind("REG_DWORD")) << "one value, not two:\n" << all.output;
}

TEST_F(VlmReg, LongAndShortRootNamesNameTheSameKey)
{
    ASSERT_EQ(Run({"add", "HKEY_CURRENT_USER\\Software\\Test", "/v", "x", "/d", "1"}).status, 0);
    Result query = Run({"query", "hkcu\\Software\\Test\\", "/v", "x"});
    ASSERT_EQ(query.status, 0) << query.output;
    EXPECT_NE(query.output.find("HKEY_CURRENT_USER\\Software\\Test\n    x    REG_SZ    1\n"), std::string::npos)
            << query.output;
}

// --- keys -----------------------------------------------------------------

TEST_F(VlmReg, QueryListsSubkeysAndSearchesThemWithS)
{
    ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\COM3", "/v", "Port", "/t", "REG_DWORD", "/d", "1"}).status,
            0);
    ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\COM4", "/v", "Port", "/t", "REG_DWORD", "/d", "2"}).status,
            0);
    ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\COM5"}).status, 0);

    Result list = Run({"query", "HKLM\\SOFTWARE\\VELMORA\\KORDIA"});
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3\n"
                               "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM4\n"
                               "HKEY_LOCAL_MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM5\n"),
            std::string::npos)
            << list.output;

    Result search = Run({"query", "HKLM\\SOFTWARE\\VELMORA", "/v", "Port", "/s"});
    ASSERT_EQ(search.status, 0) << search.output;
    EXPECT_NE(search.output.find("KORDIA\\COM3\n    Port    REG_DWORD    0x1\n"), std::string::npos) << search.output;
    EXPECT_NE(search.output.find("KORDIA\\COM4\n    Port    REG_DWORD    0x2\n"), std::string::npos) << search.output;
    EXPECT_EQ(search.output.find("COM5"), std::string::npos) << search.output;
    EXPECT_NE(search.output.find("End of search: 2 match(es) found."), std::string::npos) << search.output;
}

TEST_F(VlmReg, DeleteRemovesAValueAllValuesOrTheWholeKey)
{
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "IPAddress", "/t", "REG_DWORD", "/d", "1"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Port", "/t", "REG_DWORD", "/d", "2"}).status, 0);
    ASSERT_EQ(Run({"add", kAssignKey, "/v", "Port_", "/t", "REG_DWORD", "/d", "3"}).status, 0);
    ASSERT_EQ(Run({"add", std::string(kAssignKey) + "\\Child"}).status, 0);

    ASSERT_EQ(Run({"delete", kAssignKey, "/v", "IPAddress"}).status, 0);
    Result gone = Run({"query", kAssignKey, "/v", "IPAddress"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.output.find(kNotFound), std::string::npos) << gone.output;
    EXPECT_EQ(Run({"query", kAssignKey, "/v", "Port"}).status, 0);

    ASSERT_EQ(Run({"delete", kAssignKey, "/va", "/f"}).status, 0);
    Result empty = Run({"query", kAssignKey});
    ASSERT_EQ(empty.status, 0) << empty.output;
    EXPECT_EQ(empty.output.find("REG_DWORD"), std::string::npos) << empty.output;
    EXPECT_NE(empty.output.find("COM3\\Child\n"), std::string::npos) << "/va keeps subkeys:\n" << empty.output;

    ASSERT_EQ(Run({"delete", "HKLM\\SOFTWARE\\VELMORA"}).status, 0);
    Result missing = Run({"query", kAssignKey});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find(kNotFound), std::string::npos) << missing.output;
    EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE"}).status, 0) << "only the named subtree goes";
}

// --- failures and usage errors --------------------------------------------

TEST_F(VlmReg, MissingKeyOrValueFailsWithRegsMessageAndStatusOne)
{
    Result key = Run({"query", "HKLM\\SOFTWARE\\NoSuchVendor"});
    EXPECT_EQ(key.status, 1);
    EXPECT_NE(key.output.find(kNotFound), std::string::npos) << key.output;

    ASSERT_EQ(Run({"add", kAssignKey}).status, 0);
    Result value = Run({"query", kAssignKey, "/v", "NoSuchValue"});
    EXPECT_EQ(value.status, 1);
    EXPECT_NE(value.output.find(kNotFound), std::string::npos) << value.output;

    Result deleteKey = Run({"delete", "HKLM\\SOFTWARE\\NoSuchVendor", "/f"});
    EXPECT_EQ(deleteKey.status, 1);
    EXPECT_NE(deleteKey.output.find(kNotFound), std::string::npos) << deleteKey.output;
    Result deleteValue = Run({"delete", kAssignKey, "/v", "NoSuchValue", "/f"});
    EXPECT_EQ(deleteValue.status, 1);
    EXPECT_NE(deleteValue.output.find(kNotFound), std::string::npos) << deleteValue.output;
}

TEST_F(VlmReg, UsageErrorsExitTwoAndChangeNothing)
{
    const std::vector<std::vector<std::string>> wrong{
            {},
            {"frobnicate", kAssignKey},
            {"query"},
            {"query", "HKXX\\SOFTWARE"},
            {"query", "HKLM\\SOFTWARE\\\\VELMORA"},
            {"query", kAssignKey, "/v"},
            {"query", kAssignKey, "/v", "a", "/ve"},
            {"query", kAssignKey, "/t", "REG_SZ"},
            {"add", kAssignKey, "/v", "Port", "/t", "REG_WORD", "/d", "1"},
            {"add", kAssignKey, "/v", "Port", "/t", "REG_DWORD", "/d", "0x1ffffffff"},
            {"add", kAssignKey, "/v", "Port", "/t", "REG_DWORD", "/d", "12ab"},
            {"add", kAssignKey, "/v", "Blob", "/t", "REG_BINARY", "/d", "abc"},
            {"add", kAssignKey, "/d", "data without a value"},
            {"delete", "HKLM"},
            {"delete", kAssignKey, "/va", "/v", "Port"},
    };
    for (const auto& args : wrong) {
        Result result = Run(args);
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        EXPECT_EQ(result.status, 2) << shown << "\n" << result.output;
        EXPECT_NE(result.output.find("ERROR: "), std::string::npos) << shown << "\n" << result.output;
    }
    Result query = Run({"query", "HKLM\\SOFTWARE\\VELMORA"});
    EXPECT_EQ(query.status, 1) << "a refused add created its key:\n" << query.output;
}

TEST_F(VlmReg, HelpExplainsTheCommandsAndExitsZero)
{
    for (const char* option : {"--help", "/?", "-?"}) {
        Result help = Run({option});
        EXPECT_EQ(help.status, 0) << option;
        EXPECT_NE(help.output.find("usage: vlmreg QUERY KEY"), std::string::npos) << option << help.output;
        EXPECT_NE(help.output.find("/f"), std::string::npos) << option;
    }
    Result help = Run({"add", "/?"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: vlmreg"), std::string::npos) << help.output;
}

}  // namespace
}  // namespace vlm::test

#endif  // VLMREG_PATH
