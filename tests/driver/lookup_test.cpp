// The printer lookup: which key the port's address comes from, what is
// copied from it, and that every exit leaves no key open and no buffer
// behind.
#include "driver_fixture.h"

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace vlm::test {
namespace {

constexpr char kSoftware[] = "\\REGISTRY\\MACHINE\\SOFTWARE";
constexpr char kAssignKey[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA";
// Outputs start with this so that "left untouched" is visible; callers
// start them at 0, which would hide a stray write of zeros.
constexpr ULONG kUntouched = 0xA5A5A5A5;

using LookupKeys = DriverTest;
using LookupValues = DriverTest;
using LookupCleanup = DriverTest;

// The lookup's result and outputs for one call.
struct Lookup {
    BOOLEAN result = FALSE;
    ULONG address = kUntouched;
    ULONG port = kUntouched;
};

Lookup QueryFor(const std::string& portName)
{
    std::u16string name = nt::Utf8ToWide(portName);
    Lookup lookup;
    lookup.result = QueryPortAddress(reinterpret_cast<PCWSTR>(name.c_str()), &lookup.address, &lookup.port);
    return lookup;
}

ULONG FromBytes(std::initializer_list<uint8_t> bytes)
{
    EXPECT_EQ(bytes.size(), sizeof(ULONG));
    ULONG value = 0;
    std::memcpy(&value, std::data(bytes), sizeof value);
    return value;
}

// Creates every missing key of an absolute path below \REGISTRY\MACHINE and
// returns a handle to the last; nullptr on failure.
HANDLE CreateKeyPath(const std::string& path)
{
    const std::string machine = "\\REGISTRY\\MACHINE";
    HANDLE key = nullptr;
    size_t next = machine.size();
    while (next != std::string::npos) {
        next = path.find('\\', next + 1);
        UString name(path.substr(0, next));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (key)
            ZwClose(key);
        key = nullptr;
        ULONG disposition;
        NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition);
        EXPECT_EQ(status, STATUS_SUCCESS) << "creating " << path.substr(0, next);
        if (!NT_SUCCESS(status))
            return nullptr;
    }
    return key;
}

void SetValue(HANDLE key, const std::string& valueName, ULONG type, const std::vector<uint8_t>& data)
{
    UString name(valueName);
    std::vector<uint8_t> copy = data;
    EXPECT_EQ(ZwSetValueKey(key, name.get(), 0, type, copy.empty() ? nullptr : copy.data(), ULONG(copy.size())),
            STATUS_SUCCESS);
}

// A subkey of the assignment key, with IPAddress and Port when given (the
// tool writes Port_ too; the lookup never reads it).
void Assign(const std::string& subkey, const std::vector<uint8_t>* address, const std::vector<uint8_t>* port,
        ULONG type = REG_DWORD)
{
    HANDLE key = CreateKeyPath(std::string(kAssignKey) + "\\" + subkey);
    ASSERT_NE(key, nullptr);
    SetValue(key, "Port_", REG_DWORD, {0x8C, 0x23, 0x00, 0x00});
    if (address)
        SetValue(key, "IPAddress", type, *address);
    if (port)
        SetValue(key, "Port", type, *port);
    ZwClose(key);
}

void AssignBytes(const std::string& subkey, std::vector<uint8_t> address, std::vector<uint8_t> port)
{
    Assign(subkey, &address, &port);
}

std::string Hex(ULONG status)
{
    char text[16];
    snprintf(text, sizeof text, "%X", unsigned(status));
    return text;
}

// ------------------------------------------------------------ which key

TEST_F(LookupKeys, MissingAssignmentKeyFailsAndLeavesBothOutputs)
{
    // Its parent exists; the key itself does not.
    HANDLE parent = CreateKeyPath(std::string(kSoftware) + "\\VELMORA");
    ASSERT_NE(parent, nullptr);
    ZwClose(parent);

    Lookup lookup = QueryFor("COM3");
    EXPECT_FALSE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, kUntouched);
    auto records = TraceRecords();
    EXPECT_GE(FindTrace(records, "*^^* ZwOpenKey Failed: " + Hex(STATUS_OBJECT_NAME_NOT_FOUND) + "\n"), 0);
}

TEST_F(LookupKeys, AssignmentKeyWithoutSubkeysSucceedsWithoutReadingAnything)
{
    HANDLE key = CreateKeyPath(kAssignKey);
    ASSERT_NE(key, nullptr);
    ZwClose(key);

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, kUntouched);
    auto records = TraceRecords();
    for (const std::string& record : records) {
        EXPECT_EQ(record.find("DOS Name"), std::string::npos) << "nothing was there to enumerate: " << record;
        EXPECT_EQ(record.find("Failed"), std::string::npos) << record;
    }
}

TEST_F(LookupKeys, LowerCaseSubkeyDoesNotMatchTheCaseSensitiveComparison)
{
    AssignBytes("com3", {0xC0, 0xA8, 0x00, 0x0A}, {0x02, 0x03, 0x00, 0x00});

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, kUntouched);

    auto records = TraceRecords();
    long dosName = FindTrace(records, "*(^^)* DOS Name: COM3, Length: 4\n");
    ASSERT_GE(dosName, 0);
    EXPECT_EQ(FindTrace(records, "*(^^)* KeyBasicInformation Name: com3\n", dosName + 1), dosName + 1);
    for (const std::string& record : records)
        EXPECT_EQ(record.find("RegPath"), std::string::npos) << "no key was matched: " << record;
}

TEST_F(LookupKeys, PortKeyBesideALongerNameIsTheOneRead)
{
    AssignBytes("COM3", {10, 0, 0, 3}, {0x23, 0x8C, 0, 0});
    AssignBytes("COM30", {10, 0, 0, 30}, {0x02, 0x03, 0, 0});

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, FromBytes({10, 0, 0, 3}));
    EXPECT_EQ(lookup.port, FromBytes({0x23, 0x8C, 0, 0}));

    auto records = TraceRecords();
    long name = FindTrace(records, "*(^^)* KeyBasicInformation Name: COM3\n");
    ASSERT_GE(name, 0);
    EXPECT_EQ(FindTrace(records, "*^^* RegPath: \\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3\n", name + 1),
            name + 1);
    EXPECT_EQ(FindTrace(records, "*(^^)* KeyBasicInformation Name: COM30\n"), -1)
            << "the first match ends the enumeration";
}

TEST_F(LookupKeys, KeyOpenedIsNamedLikeThePortNotLikeTheSubkeyThatMatched)
{
    // "Com3" fails the case-sensitive comparison, "COM30" passes it; the key
    // then opened is "COM3", which the registry finds as "Com3".
    AssignBytes("Com3", {192, 168, 1, 10}, {0x23, 0x8C, 0, 0});
    AssignBytes("COM30", {10, 0, 0, 30}, {0x02, 0x03, 0, 0});

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, FromBytes({192, 168, 1, 10}));
    EXPECT_EQ(lookup.port, FromBytes({0x23, 0x8C, 0, 0}));
    auto records = TraceRecords();
    EXPECT_GE(FindTrace(records, "*^^* RegPath: \\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3\n"), 0);
}

TEST_F(LookupKeys, OnlyALongerNameFailsTheSecondOpen)
{
    AssignBytes("COM30", {10, 0, 0, 30}, {0x02, 0x03, 0, 0});

    Lookup lookup = QueryFor("COM3");
    EXPECT_FALSE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, kUntouched);

    auto records = TraceRecords();
    long path = FindTrace(records, "*^^* RegPath: \\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3\n");
    ASSERT_GE(path, 0);
    EXPECT_EQ(
            FindTrace(records, "*(^^)* Second ZwOpenKey Failed: " + Hex(STATUS_OBJECT_NAME_NOT_FOUND) + "\n", path + 1),
            path + 1);
}

TEST_F(LookupKeys, ShorterSubkeyNameNeverMatches)
{
    // "COM1" is a prefix of the port name, not the other way round.
    AssignBytes("COM1", {10, 0, 0, 1}, {0x02, 0x03, 0, 0});

    Lookup lookup = QueryFor("COM12");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, kUntouched);
}

TEST_F(LookupKeys, EveryEnumeratedSubkeyIsTracedUntilTheMatch)
{
    AssignBytes("COM10", {10, 0, 0, 10}, {0, 10, 0, 0});
    AssignBytes("COM11", {10, 0, 0, 11}, {0, 11, 0, 0});
    AssignBytes("COM12", {10, 0, 0, 12}, {0, 12, 0, 0});
    AssignBytes("COM13", {10, 0, 0, 13}, {0, 13, 0, 0});

    Lookup lookup = QueryFor("COM12");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, FromBytes({10, 0, 0, 12}));
    EXPECT_EQ(lookup.port, FromBytes({0, 12, 0, 0}));

    auto records = TraceRecords();
    long at = -1;
    for (const char* name : {"COM10", "COM11", "COM12"}) {
        long dosName = FindTrace(records, "*(^^)* DOS Name: COM12, Length: 5\n", at + 1);
        ASSERT_GT(dosName, at) << name;
        at = FindTrace(records, std::string("*(^^)* KeyBasicInformation Name: ") + name + "\n", dosName + 1);
        ASSERT_EQ(at, dosName + 1) << name;
    }
    EXPECT_EQ(FindTrace(records, "*(^^)* KeyBasicInformation Name: COM13\n"), -1);
}

TEST_F(LookupKeys, PortWithoutANameMatchesNoSubkey)
{
    AssignBytes("COM3", {10, 0, 0, 3}, {0x23, 0x8C, 0, 0});
    // The assignment key's own values, which an empty name would reach.
    HANDLE key = CreateKeyPath(kAssignKey);
    ASSERT_NE(key, nullptr);
    SetValue(key, "IPAddress", REG_DWORD, {1, 2, 3, 4});
    SetValue(key, "Port", REG_DWORD, {5, 6, 0, 0});
    ZwClose(key);

    Lookup lookup = QueryFor("");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, kUntouched);
    for (const std::string& record : TraceRecords())
        EXPECT_EQ(record.find("RegPath"), std::string::npos) << record;
}

TEST_F(LookupKeys, NewAssignmentIsSeenByTheNextLookup)
{
    AssignBytes("COM3", {10, 0, 0, 1}, {0x23, 0x8C, 0, 0});
    Lookup first = QueryFor("COM3");
    EXPECT_EQ(first.address, FromBytes({10, 0, 0, 1}));

    AssignBytes("COM3", {10, 0, 0, 2}, {0x02, 0x03, 0, 0});
    Lookup second = QueryFor("COM3");
    EXPECT_TRUE(second.result);
    EXPECT_EQ(second.address, FromBytes({10, 0, 0, 2}));
    EXPECT_EQ(second.port, FromBytes({0x02, 0x03, 0, 0}));
}

// ------------------------------------------------------------ what is read

TEST_F(LookupValues, BytesTheToolStoresAreCopiedUnchanged)
{
    // 192.168.0.10, TCP port 515, as the tool writes them.
    AssignBytes("COM3", {0xC0, 0xA8, 0x00, 0x0A}, {0x02, 0x03, 0x00, 0x00});

    ULONG address = 0;
    ULONG port = 0;
    std::u16string name = nt::Utf8ToWide("COM3");
    ASSERT_TRUE(QueryPortAddress(reinterpret_cast<PCWSTR>(name.c_str()), &address, &port));
    const uint8_t addressBytes[] = {0xC0, 0xA8, 0x00, 0x0A};
    const uint8_t portBytes[] = {0x02, 0x03, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(&address, addressBytes, 4), 0) << std::hex << address;
    EXPECT_EQ(std::memcmp(&port, portBytes, 4), 0) << std::hex << port;
}

TEST_F(LookupValues, MissingPortLeavesThePortOutputAlone)
{
    std::vector<uint8_t> address = {192, 168, 1, 10};
    Assign("COM3", &address, nullptr);

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, FromBytes({192, 168, 1, 10}));
    EXPECT_EQ(lookup.port, kUntouched);
}

TEST_F(LookupValues, MissingAddressLeavesTheAddressOutputAlone)
{
    std::vector<uint8_t> port = {0x23, 0x8C, 0, 0};
    Assign("COM3", nullptr, &port);

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, kUntouched);
    EXPECT_EQ(lookup.port, FromBytes({0x23, 0x8C, 0, 0}));
}

TEST_F(LookupValues, ValueTypeIsNotLookedAt)
{
    std::vector<uint8_t> address = {10, 1, 2, 3};
    std::vector<uint8_t> port = {0x23, 0x8C, 0, 0};
    Assign("COM3", &address, &port, REG_BINARY);

    Lookup lookup = QueryFor("COM3");
    EXPECT_TRUE(lookup.result);
    EXPECT_EQ(lookup.address, FromBytes({10, 1, 2, 3}));
    EXPECT_EQ(lookup.port, FromBytes({0x23, 0x8C, 0, 0}));
}

TEST_F(LookupValues, ValueOfAnyOtherLengthThanFourLeavesItsOutputAlone)
{
    const std::vector<uint8_t> good = {0xC0, 0xA8, 0x00, 0x0A};
    for (size_t length : {0u, 1u, 2u, 3u, 5u, 8u, 16u}) {
        std::vector<uint8_t> odd(length);
        for (size_t i = 0; i < length; ++i)
            odd[i] = uint8_t(0x11 * (i + 1));

        // Odd address, good port.
        Assign("COM3", &odd, &good);
        Lookup oddAddress = QueryFor("COM3");
        EXPECT_TRUE(oddAddress.result) << length;
        EXPECT_EQ(oddAddress.address, kUntouched) << "address of " << length << " bytes";
        EXPECT_EQ(oddAddress.port, FromBytes({0xC0, 0xA8, 0x00, 0x0A})) << length;

        // Good address, odd port.
        Assign("COM3", &good, &odd);
        Lookup oddPort = QueryFor("COM3");
        EXPECT_TRUE(oddPort.result) << length;
        EXPECT_EQ(oddPort.address, FromBytes({0xC0, 0xA8, 0x00, 0x0A})) << length;
        EXPECT_EQ(oddPort.port, kUntouched) << "port of " << length << " bytes";
    }
}

// ------------------------------------------------------------ clean-up

// Each exit of the lookup, with the first n of its buffers allocated and
// the next one refused: the outputs hold exactly what was reached, and
// nothing stays open or allocated.
TEST_F(LookupCleanup, EveryExitClosesItsKeysAndFreesItsBuffers)
{
    AssignBytes("COM1", {10, 0, 0, 1}, {0, 1, 0, 0});
    AssignBytes("COM3", {192, 168, 0, 10}, {0x02, 0x03, 0, 0});
    const ULONG address = FromBytes({192, 168, 0, 10});
    const ULONG port = FromBytes({0x02, 0x03, 0, 0});
    const nt::ObjectCounts before = nt::ObQueryCounts();
    ASSERT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0);

    // The lookup's allocations in order, and what it returns when that one
    // is refused.
    const struct {
        const char* refused;
        BOOLEAN result;
        ULONG address;
        ULONG port;
    } exits[] = {
            {"key information: nothing to enumerate", TRUE, kUntouched, kUntouched},
            {"COM1's name: skipped, COM3 still matches", TRUE, address, port},
            {"COM3's name: skipped, nothing matches", TRUE, kUntouched, kUntouched},
            {"the port key's path", FALSE, kUntouched, kUntouched},
            {"IPAddress", TRUE, kUntouched, port},
            {"Port", TRUE, address, kUntouched},
            {"nothing", TRUE, address, port},
    };
    for (uint32_t skip = 0; skip < std::size(exits); ++skip) {
        nt::ExPoolFailAllocations(POOL_TAG_NONE, skip, 1);
        Lookup lookup = QueryFor("COM3");
        nt::ExPoolClearFailures();

        EXPECT_EQ(lookup.result, exits[skip].result) << exits[skip].refused;
        EXPECT_EQ(lookup.address, exits[skip].address) << exits[skip].refused;
        EXPECT_EQ(lookup.port, exits[skip].port) << exits[skip].refused;
        EXPECT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0)
                << "a buffer stayed allocated: " << exits[skip].refused;
        const nt::ObjectCounts after = nt::ObQueryCounts();
        EXPECT_EQ(after.handles, before.handles) << "a key stayed open: " << exits[skip].refused;
        EXPECT_EQ(after.references, before.references) << exits[skip].refused;
    }
}

TEST_F(LookupCleanup, FailedSecondOpenClosesTheAssignmentKey)
{
    AssignBytes("COM30", {10, 0, 0, 30}, {0x02, 0x03, 0, 0});
    const nt::ObjectCounts before = nt::ObQueryCounts();
    Lookup lookup = QueryFor("COM3");
    EXPECT_FALSE(lookup.result);
    EXPECT_EQ(nt::ObQueryCounts().handles, before.handles);
    EXPECT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0);
}

}  // namespace
}  // namespace vlm::test
