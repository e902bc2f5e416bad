// INF files: the reader's syntax, the class an INF declares, and every
// malformed driver package refused before anything is written.
#include "setup_fixture.h"

#include "setupapi/inf.h"

#include <sys/stat.h>
#include <unistd.h>

namespace vlm::test {
namespace {

using vlm::win32::setup::InfFile;

// A well-formed Ports package for hardware id Test\port; the malformed
// ones below are this text with one thing broken.
const char kGoodInf[] = R"([Version]
Signature="$Windows NT$"
Class=Ports
ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}
Provider=%P%

[Manufacturer]
%P%=Models

[Models]
%Desc%=Install,Test\port

[Install]

[Install.Services]
AddService=VLMQUENTARO,0x00000002,Service

[Service]
ServiceType=1
StartType=3
ErrorControl=1
ServiceBinary=%12%\vlmquentaro.sys

[Strings]
P="Test"
Desc="Test Port"
)";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

TEST(InfReader, QuotedStringsKeepCommasSemicolonsAndDoubledQuotes)
{
    InfFile inf;
    ASSERT_EQ(inf.Parse("[S]\nkey = \"a, b; c\", \"say \"\"hi\"\"\" , plain  text ; comment\n"), ERROR_SUCCESS);
    const auto* line = inf.Line("s", "KEY");
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(line->fields.size(), 3u);
    EXPECT_EQ(line->fields[0], "a, b; c");
    EXPECT_EQ(line->fields[1], "say \"hi\"");
    EXPECT_EQ(line->fields[2], "plain  text");
}

TEST(InfReader, ContinuationJoinsLinesAndStringsAreSubstitutedAfterward)
{
    InfFile inf;
    ASSERT_EQ(
            inf.Parse("[S]\r\nk = %A%, \\\r\n    %b%, 100%%, %missing%\r\n[Strings]\r\na = \"first\"\r\nB=second\r\n"),
            ERROR_SUCCESS);
    const auto* line = inf.Line("S", "k");
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(line->fields.size(), 4u);
    EXPECT_EQ(line->fields[0], "first");
    EXPECT_EQ(line->fields[1], "second");
    EXPECT_EQ(line->fields[2], "100%");
    EXPECT_EQ(line->fields[3], "%missing%");
}

TEST(InfReader, SectionsAppearingTwiceAreMergedAndCompareWithoutCase)
{
    InfFile inf;
    ASSERT_EQ(inf.Parse("[One]\na=1\n[two]\nb=2\n[ONE]\nc=3\n"), ERROR_SUCCESS);
    ASSERT_NE(inf.Section("one"), nullptr);
    EXPECT_EQ(inf.Section("one")->lines.size(), 2u);
    ASSERT_NE(inf.Value("one", "C"), nullptr);
    EXPECT_EQ(*inf.Value("one", "C"), "3");
}

TEST(InfReader, MalformedTextGivesTheSetupErrorAndItsLine)
{
    struct Case {
        std::string text;
        DWORD error;
        int line;
    } cases[] = {
            {"key=1\n[S]\n", ERROR_EXPECTED_SECTION_NAME, 1},
            {"[S]\n[T\nx=1\n", ERROR_BAD_SECTION_NAME_LINE, 2},
            {"[S] junk\n", ERROR_BAD_SECTION_NAME_LINE, 1},
            {"[S]\na=\"open\nb=2\n", ERROR_GENERAL_SYNTAX, 2},
            {"[" + std::string(256, 'x') + "]\n", ERROR_SECTION_NAME_TOO_LONG, 1},
    };
    for (const Case& c : cases) {
        InfFile inf;
        EXPECT_EQ(inf.Parse(c.text), c.error) << c.text;
        EXPECT_EQ(inf.errorLine(), c.line) << c.text;
    }
}

TEST_F(SetupTest, ShippedInfsDeclareThePortsClass)
{
    for (const char* name : {"quentaro.INF", "mirkaquentaro.INF"}) {
        GUID guid{};
        char className[MAX_CLASS_NAME_LEN];
        DWORD required = 0;
        SetLastError(12345);
        ASSERT_TRUE(SetupDiGetINFClassA(ShippedInf(name).c_str(), &guid, className, sizeof className, &required))
                << name << " error " << std::hex << GetLastError();
        EXPECT_EQ(GetLastError(), 0u) << "success clears the last error, as the tool relies on";
        EXPECT_STREQ(className, "Ports");
        EXPECT_EQ(required, 6u);
        EXPECT_EQ(guid.Data1, 0x4D36E978u);
        EXPECT_EQ(guid.Data2, 0xE325);
        EXPECT_EQ(guid.Data3, 0x11CE);
        const BYTE tail[8] = {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18};
        EXPECT_EQ(memcmp(guid.Data4, tail, 8), 0);
    }
}

TEST_F(SetupTest, InfClassNameBufferTooSmallReportsTheSizeNeeded)
{
    GUID guid;
    char small[3];
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetINFClassA(ShippedInf("quentaro.INF").c_str(), &guid, small, sizeof small, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 6u);
}

TEST_F(SetupTest, InfClassOfAMissingFileIsFileNotFound)
{
    GUID guid;
    char name[32];
    EXPECT_FALSE(SetupDiGetINFClassA((root_ + "/none.INF").c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(SetupTest, InfPathsWrittenWithBackslashesAreFound)
{
    std::string path = WriteInf("good.INF", kGoodInf);
    std::string windows = root_ + "\\good.INF";
    GUID guid;
    char name[32];
    EXPECT_TRUE(SetupDiGetINFClassA(windows.c_str(), &guid, name, sizeof name, nullptr));
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(windows.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(found.cFileName, "good.INF");
    EXPECT_TRUE(FindClose(search));
}

// A registered node with the test's hardware id, so that only the INF can
// make the installation fail.
class MalformedInf : public SetupTest {
protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        set_ = SetupDiCreateDeviceInfoList(nullptr, nullptr);
        ASSERT_NE(set_, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof data;
        GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
        ASSERT_TRUE(SetupDiCreateDeviceInfoA(set_, "Ports", &ports, nullptr, nullptr, DICD_GENERATE_ID, &data));
        const BYTE ids[] = "Test\\port\0";
        ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, ids, sizeof ids));
        ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data));
    }
    void TearDown() override
    {
        SetupDiDestroyDeviceInfoList(set_);
        SetupTest::TearDown();
    }

    // Installs from the text; returns the error, checking nothing changed.
    DWORD Install(const std::string& text)
    {
        std::string path = WriteInf("test.INF", text);
        std::vector<std::string> before = Snapshot();
        BOOL reboot = 7;
        BOOL ok = UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test\\port", path.c_str(), INSTALLFLAG_FORCE, &reboot);
        DWORD error = ok ? 0 : GetLastError();
        EXPECT_EQ(Snapshot(), before) << "a failed installation wrote to the registry";
        EXPECT_EQ(reboot, 7) << "the restart flag is left alone on failure";
        return error;
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

TEST_F(MalformedInf, TheWellFormedPackageInstalls)
{
    BOOL reboot = FALSE;
    std::string path = WriteInf("test.INF", kGoodInf);
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "TEST\\PORT", path.c_str(), INSTALLFLAG_FORCE, &reboot))
            << std::hex << GetLastError();
    EXPECT_EQ(PortName("Root\\PORTS\\0000"), "COM3");
    EXPECT_EQ(ReadString(NodePath("Root\\PORTS\\0000"), "Service"), "VLMQUENTARO");
}

TEST_F(MalformedInf, MissingVersionSectionIsWrongInfStyle)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "[Version]", "[Versions]")), DWORD(ERROR_WRONG_INF_STYLE));
}

TEST_F(MalformedInf, MissingOrForeignSignatureIsWrongInfStyle)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "Signature=\"$Windows NT$\"\n", "")), DWORD(ERROR_WRONG_INF_STYLE));
    EXPECT_EQ(Install(Replace(kGoodInf, "$Windows NT$", "$Windows 3.1$")), DWORD(ERROR_WRONG_INF_STYLE));
}

TEST_F(MalformedInf, AClassOtherThanPortsIsInvalidClass)
{
    std::string net = Replace(Replace(kGoodInf, "Class=Ports", "Class=Net"), "4D36E978-E325-11CE-BFC1-08002BE10318",
            "4D36E972-E325-11CE-BFC1-08002BE10318");
    EXPECT_EQ(Install(net), DWORD(ERROR_INVALID_CLASS));
    EXPECT_EQ(Install(Replace(kGoodInf, "{4D36E978-E325-11CE-BFC1-08002BE10318}", "{not-a-guid}")),
            DWORD(ERROR_INVALID_CLASS));
}

TEST_F(MalformedInf, MissingManufacturerOrModelsSectionIsSectionNotFound)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "[Manufacturer]", "[Makers]")), DWORD(ERROR_SECTION_NOT_FOUND));
    EXPECT_EQ(Install(Replace(kGoodInf, "[Models]", "[Other]")), DWORD(ERROR_SECTION_NOT_FOUND));
}

TEST_F(MalformedInf, AHardwareIdNoModelNamesIsNoDriverSelected)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "Install,Test\\port", "Install,Test\\other")), DWORD(ERROR_NO_DRIVER_SELECTED));
}

TEST_F(MalformedInf, MissingInstallSectionIsSectionNotFound)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "[Install]\n", "")), DWORD(ERROR_SECTION_NOT_FOUND));
}

TEST_F(MalformedInf, MissingServicesOrAddServiceIsNoAssociatedService)
{
    EXPECT_EQ(
            Install(Replace(kGoodInf, "[Install.Services]", "[Install.Servants]")), DWORD(ERROR_NO_ASSOCIATED_SERVICE));
    EXPECT_EQ(Install(Replace(kGoodInf, "AddService=VLMQUENTARO,0x00000002,Service", "")),
            DWORD(ERROR_NO_ASSOCIATED_SERVICE));
    // Without SPSVCINST_ASSOCSERVICE the service is no function driver.
    EXPECT_EQ(
            Install(Replace(kGoodInf, "0x00000002,Service", "0x00000000,Service")), DWORD(ERROR_NO_ASSOCIATED_SERVICE));
}

TEST_F(MalformedInf, IncompleteServiceSectionIsBadServiceInstallSection)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "ServiceBinary=%12%\\vlmquentaro.sys\n", "")),
            DWORD(ERROR_BAD_SERVICE_INSTALLSECT));
    EXPECT_EQ(Install(Replace(kGoodInf, "StartType=3", "StartType=three")), DWORD(ERROR_BAD_SERVICE_INSTALLSECT));
    EXPECT_EQ(Install(Replace(kGoodInf, "[Service]", "[Servic]")), DWORD(ERROR_SECTION_NOT_FOUND));
}

TEST_F(MalformedInf, UnterminatedQuoteIsGeneralSyntax)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "Desc=\"Test Port\"", "Desc=\"Test Port")), DWORD(ERROR_GENERAL_SYNTAX));
}

TEST_F(MalformedInf, BadSectionLineIsReported)
{
    EXPECT_EQ(Install(Replace(kGoodInf, "[Models]", "[Models")), DWORD(ERROR_BAD_SECTION_NAME_LINE));
}

TEST_F(MalformedInf, MissingFileIsFileNotFound)
{
    std::vector<std::string> before = Snapshot();
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(
            nullptr, "Test\\port", (root_ + "/absent.INF").c_str(), INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Snapshot(), before);
}

// Reading a directory threw an uncaught exception from the stream; a
// device was read until memory ran out. Each now gives SetupAPI's error.
TEST_F(MalformedInf, ADirectoryOrADeviceAsTheInfGivesAnErrorNotAnAbort)
{
    GUID guid;
    char name[32];
    EXPECT_FALSE(SetupDiGetINFClassA(root_.c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetupDiGetINFClassA("/dev/zero", &guid, name, sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_FILE_TYPE));
    std::string fifo = root_ + "/fifo.INF";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test\\port", fifo.c_str(), INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_FILE_TYPE));
    std::vector<std::string> before = Snapshot();
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test\\port", root_.c_str(), INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(MalformedInf, AnInfBeyondTheSizeBoundIsRefusedUnread)
{
    // Sparse: the bound is checked before a byte is read.
    std::string huge = WriteInf("huge.INF", kGoodInf);
    ASSERT_EQ(truncate(huge.c_str(), off_t(1) << 30), 0);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test\\port", huge.c_str(), INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_TOO_LARGE));
    // At the bound it is still read (and is then just malformed padding).
    std::string edge = WriteInf("edge.INF", kGoodInf);
    ASSERT_EQ(truncate(edge.c_str(), off_t(vlm::win32::setup::kMaxInfBytes)), 0);
    InfFile inf;
    EXPECT_NE(inf.Load(edge), DWORD(ERROR_FILE_TOO_LARGE));
    ASSERT_EQ(truncate(edge.c_str(), off_t(vlm::win32::setup::kMaxInfBytes) + 1), 0);
    EXPECT_EQ(inf.Load(edge), DWORD(ERROR_FILE_TOO_LARGE));
}

TEST_F(MalformedInf, AnUnreadableInfIsAccessDenied)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads any file";
    std::string locked = WriteInf("locked.INF", kGoodInf);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_EQ(InfFile().Load(locked), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(MalformedInf, AMissingCopyFilesListIsSectionNotFound)
{
    EXPECT_EQ(
            Install(Replace(kGoodInf, "[Install]\n", "[Install]\nCopyFiles=Files\n")), DWORD(ERROR_SECTION_NOT_FOUND));
}

TEST_F(MalformedInf, NoNodeWithTheHardwareIdIsNoSuchDevinst)
{
    std::string text = Replace(kGoodInf, "Install,Test\\port", "Install,Test\\port,Test\\absent");
    std::string path = WriteInf("absent.INF", text);
    std::vector<std::string> before = Snapshot();
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test\\absent", path.c_str(), INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(Snapshot(), before);
}

}  // namespace
}  // namespace vlm::test
