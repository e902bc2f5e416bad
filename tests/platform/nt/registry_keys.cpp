// Registry keys and values through the Zw* routines: the initial layout,
// create and open by native and relative names, case rules, enumeration
// order, limits, deletion and the handles of deleted keys.
#include "registry_support.h"

#include <sys/stat.h>

namespace vlm::test {
namespace {

using namespace registry;

const char kSoftware[] = "\\REGISTRY\\MACHINE\\SOFTWARE";

class RegistryTest : public KernelTest { };

// ------------------------------------------------------------- layout

TEST_F(RegistryTest, FreshDatabaseHoldsTheHiveRootsAndTheRtlBases)
{
    struct stat info;
    EXPECT_EQ(stat((root_ + "/registry.db").c_str(), &info), 0) << "the registry lives in the system root";
    for (const char* path :
            {"\\REGISTRY", "\\REGISTRY\\MACHINE", "\\REGISTRY\\MACHINE\\SYSTEM", "\\REGISTRY\\MACHINE\\SOFTWARE",
                    "\\REGISTRY\\MACHINE\\HARDWARE", "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", "\\REGISTRY\\USER",
                    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
                    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control"}) {
        Key key;
        EXPECT_EQ(OpenKey(path, &key), STATUS_SUCCESS) << path;
    }
    Key machine;
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE", &machine), STATUS_SUCCESS);
    EXPECT_EQ(SubkeyNames(machine.get()), (std::vector<std::string>{"HARDWARE", "SOFTWARE", "SYSTEM"}));
}

// ------------------------------------------------------ create and open

TEST_F(RegistryTest, CreateReportsNewThenExisting)
{
    Key first, second;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora", &first, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora", &second, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_NE(first.get(), second.get()) << "every open gets its own handle";
}

TEST_F(RegistryTest, CreateWithMissingParentIsNameNotFoundAndCreatesNothing)
{
    Key key;
    ULONG disposition = 0xdead;
    EXPECT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\NoSuch\\Child", &key, &disposition),
            STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key.get(), nullptr);
    EXPECT_EQ(disposition, 0xdeadu) << "no disposition for a failed create";
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\NoSuch", &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, OpenOfMissingKeyIsNameNotFound)
{
    Key key;
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Missing\\Deeper", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key.get(), nullptr);
}

TEST_F(RegistryTest, OpenIgnoresCaseAndKeepsTheCreatedCase)
{
    Key created, parent;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora", &parent), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora\\MixedCase\xC3\xA4", &created), STATUS_SUCCESS);

    Key opened;
    ASSERT_EQ(OpenKey("\\registry\\machine\\software\\VELMORA\\mixedcase\xC3\x84", &opened), STATUS_SUCCESS)
            << "ASCII and Latin-1 letters compare without case";
    EXPECT_EQ(KeyName(opened.get()), "\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora\\MixedCase\xC3\xA4");

    Key again;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\MIXEDCASE\xC3\x84", &again, &disposition),
            STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(SubkeyNames(parent.get()), std::vector<std::string>{"MixedCase\xC3\xA4"})
            << "a create in another case neither renames nor duplicates the key";
}

TEST_F(RegistryTest, NamesRelativeToARootKeyHandle)
{
    Key software, child, reopened, self;
    ASSERT_EQ(OpenKey(kSoftware, &software), STATUS_SUCCESS);
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey("Velmora", &child, &disposition, software.get()), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(KeyName(child.get()), "\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora");

    ASSERT_EQ(OpenKey("velmora", &reopened, software.get()), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(reopened.get()), "\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora");
    ASSERT_EQ(OpenKey("", &self, software.get()), STATUS_SUCCESS) << "an empty name reopens the root key";
    EXPECT_EQ(KeyName(self.get()), kSoftware);

    Key bad;
    EXPECT_EQ(CreateKey("Velmora\\Kordia\\COM3", &bad, nullptr, software.get()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey("\\Velmora", &bad, software.get()), STATUS_OBJECT_PATH_SYNTAX_BAD)
            << "a relative name must not start with a separator";
}

TEST_F(RegistryTest, RepeatedAndTrailingSeparatorsAreSkipped)
{
    Key created, withTrailing, withDouble;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora", &created), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\", &withTrailing), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(withTrailing.get()), "\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora");
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\\\SOFTWARE\\Velmora", &withDouble), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(withDouble.get()), "\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora");
}

TEST_F(RegistryTest, NamesOutsideTheRegistryAreRejected)
{
    Key key;
    EXPECT_EQ(OpenKey("\\Device\\Serial0", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey("REGISTRY\\MACHINE", &key), STATUS_OBJECT_PATH_SYNTAX_BAD)
            << "a relative name needs a root directory";
    EXPECT_EQ(CreateKey("\\REGISTRY\\NEWHIVE", &key), STATUS_ACCESS_DENIED) << "the hives under \\REGISTRY are fixed";
    EXPECT_EQ(key.get(), nullptr);
}

TEST_F(RegistryTest, KeyNameComponentsAreLimitedTo255Characters)
{
    Key longest, tooLong;
    std::string name255(255, 'k');
    std::string name256(256, 'k');
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(std::string(kSoftware) + "\\" + name255, &longest, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(CreateKey(std::string(kSoftware) + "\\" + name256, &tooLong), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(OpenKey(std::string(kSoftware) + "\\" + name256, &tooLong), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryTest, CreateRejectsUnknownOptions)
{
    Key key;
    EXPECT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Link", &key, nullptr, nullptr, 0x2 /* create link */),
            STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Link", &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

// -------------------------------------------------------------- values

TEST_F(RegistryTest, DwordIsStoredAsFourLittleEndianBytes)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Values", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "IPAddress", 0x0A01A8C0), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "ipaddress", &value), STATUS_SUCCESS) << "value names ignore case";
    EXPECT_EQ(value.type, ULONG(REG_DWORD));
    EXPECT_EQ(value.data, (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x0A}));
}

TEST_F(RegistryTest, SetReplacesTypeAndDataAndKeepsTheNameCase)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Values", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "PortName", 3), STATUS_SUCCESS);
    ASSERT_EQ(SetString(key.get(), "PORTNAME", "COM3"), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "portname", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_SZ));
    EXPECT_EQ(value.data, (std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0}));
    EXPECT_EQ(ValueNames(key.get()), std::vector<std::string>{"PortName"});
}

TEST_F(RegistryTest, EmptyValueNameIsTheDefaultValueAndEmptyDataIsKept)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Values", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key.get(), "", REG_BINARY, nullptr, 0), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_BINARY));
    EXPECT_TRUE(value.data.empty());
    EXPECT_EQ(ValueNames(key.get()), std::vector<std::string>{""});
}

TEST_F(RegistryTest, MissingValueIsNameNotFoundForQueryAndDelete)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Values", &key), STATUS_SUCCESS);
    Value value;
    EXPECT_EQ(QueryValue(key.get(), "Port", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    UString name("Port");
    EXPECT_EQ(ZwDeleteValueKey(key.get(), name), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(SetDword(key.get(), "Port", 9100), STATUS_SUCCESS);
    UString upper("PORT");
    EXPECT_EQ(ZwDeleteValueKey(key.get(), upper), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(key.get(), "Port", &value), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, ValueNameAndDataLimits)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Values", &key), STATUS_SUCCESS);
    ULONG one = 1;
    EXPECT_EQ(SetValue(key.get(), std::string(16383, 'v'), REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(SetValue(key.get(), std::string(16384, 'v'), REG_DWORD, &one, 4), STATUS_INVALID_PARAMETER);

    std::vector<uint8_t> big(1024 * 1024 + 1, 0x5A);
    EXPECT_EQ(SetValue(key.get(), "Big", REG_BINARY, big.data(), ULONG(big.size())), STATUS_INVALID_PARAMETER);
    big.pop_back();
    ASSERT_EQ(SetValue(key.get(), "Big", REG_BINARY, big.data(), ULONG(big.size())), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "Big", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, big);
    EXPECT_EQ(SetValue(key.get(), "Null", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------- enumeration

TEST_F(RegistryTest, SubkeysEnumerateByUpcasedNameThenNoMoreEntries)
{
    Key parent;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Order", &parent), STATUS_SUCCESS);
    // Case-sensitive order would be A, _x, b, c; upper-cased it is A, B, C, _X.
    for (const char* name : {"b", "_x", "A", "c"}) {
        Key child;
        ASSERT_EQ(CreateKey(name, &child, nullptr, parent.get()), STATUS_SUCCESS);
    }
    NTSTATUS end = STATUS_SUCCESS;
    EXPECT_EQ(SubkeyNames(parent.get(), &end), (std::vector<std::string>{"A", "b", "c", "_x"}));
    EXPECT_EQ(end, STATUS_NO_MORE_ENTRIES);

    uint8_t buffer[256];
    ULONG length = 0;
    EXPECT_EQ(ZwEnumerateKey(parent.get(), 1000, KeyBasicInformation, buffer, sizeof buffer, &length),
            STATUS_NO_MORE_ENTRIES);
}

TEST_F(RegistryTest, ValuesEnumerateInCreationOrder)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Order", &key), STATUS_SUCCESS);
    for (const char* name : {"zeta", "alpha", "Mid"})
        ASSERT_EQ(SetDword(key.get(), name, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "ZETA", 2), STATUS_SUCCESS) << "rewriting keeps the value's place";
    NTSTATUS end = STATUS_SUCCESS;
    EXPECT_EQ(ValueNames(key.get(), &end), (std::vector<std::string>{"zeta", "alpha", "Mid"}));
    EXPECT_EQ(end, STATUS_NO_MORE_ENTRIES);

    UString alpha("alpha");
    ASSERT_EQ(ZwDeleteValueKey(key.get(), alpha), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "alpha", 3), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(key.get()), (std::vector<std::string>{"zeta", "Mid", "alpha"}))
            << "a value created again goes last";
}

// -------------------------------------------------------------- deletion

TEST_F(RegistryTest, DeleteOfKeyWithSubkeysIsRefused)
{
    Key parent, child;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Tree", &parent), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey("Leaf", &child, nullptr, parent.get()), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(parent.get(), "Kept", 7), STATUS_SUCCESS);

    EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_CANNOT_DELETE);
    Value value;
    EXPECT_EQ(QueryValue(parent.get(), "Kept", &value), STATUS_SUCCESS) << "a refused delete changes nothing";
    EXPECT_EQ(SubkeyNames(parent.get()), std::vector<std::string>{"Leaf"});

    ASSERT_EQ(ZwDeleteKey(child.get()), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(parent.get()), STATUS_SUCCESS);
    Key reopened;
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Tree", &reopened), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, HiveRootsCannotBeDeleted)
{
    // .DEFAULT has no subkeys: only being a hive root keeps it.
    Key defaultUser;
    ASSERT_EQ(OpenKey("\\REGISTRY\\USER\\.DEFAULT", &defaultUser), STATUS_SUCCESS);
    ASSERT_TRUE(SubkeyNames(defaultUser.get()).empty());
    EXPECT_EQ(ZwDeleteKey(defaultUser.get()), STATUS_CANNOT_DELETE);
    Key reopened;
    EXPECT_EQ(OpenKey("\\REGISTRY\\USER\\.DEFAULT", &reopened), STATUS_SUCCESS);

    Key deviceMap;
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", &deviceMap), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(deviceMap.get()), STATUS_SUCCESS) << "an ordinary key without subkeys goes";
}

TEST_F(RegistryTest, OtherHandlesOfADeletedKeyGetKeyDeleted)
{
    Key doomed, other, parent;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed", &doomed), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(doomed.get(), "Value", 1), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed", &other), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(doomed.get()), STATUS_SUCCESS);

    uint8_t buffer[512];
    ULONG length = 0;
    UString name("Value");
    ULONG one = 1;
    EXPECT_EQ(ZwQueryKey(other.get(), KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryKey(other.get(), KeyNameInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryValueKey(other.get(), name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
            STATUS_KEY_DELETED);
    EXPECT_EQ(ZwSetValueKey(other.get(), name, 0, REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteValueKey(other.get(), name), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateKey(other.get(), 0, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateValueKey(other.get(), 0, KeyValueBasicInformation, buffer, sizeof buffer, &length),
            STATUS_KEY_DELETED);
    EXPECT_EQ(ZwFlushKey(other.get()), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(other.get()), STATUS_KEY_DELETED);
    Key child;
    EXPECT_EQ(CreateKey("Child", &child, nullptr, other.get()), STATUS_KEY_DELETED);

    // A new key of the same name is a different key.
    Key reborn;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed", &reborn, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(ZwQueryKey(other.get(), KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_KEY_DELETED);
    EXPECT_EQ(other.Close(), STATUS_SUCCESS) << "a deleted key's handle still closes";
    EXPECT_EQ(doomed.Close(), STATUS_SUCCESS);
}

// ----------------------------------------------------- handles, flush, IRQL

TEST_F(RegistryTest, RoutinesRejectHandlesThatAreNotKeys)
{
    uint8_t buffer[64];
    ULONG length = 0;
    auto bogus = reinterpret_cast<HANDLE>(uintptr_t(0x80000000u | (4242u << 2)));
    EXPECT_EQ(ZwQueryKey(bogus, KeyBasicInformation, buffer, sizeof buffer, &length), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwDeleteKey(bogus), STATUS_INVALID_HANDLE);
    Key key;
    EXPECT_EQ(OpenKey("Child", &key, bogus), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, FlushKeySucceedsOnALiveKey)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Flushed", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "Value", 5), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushKey(key.get()), STATUS_SUCCESS);
}

TEST_F(RegistryTest, LastWriteTimeMovesWithChanges)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Timed", &key), STATUS_SUCCESS);
    auto lastWrite = [&] {
        KEY_BASIC_INFORMATION info[8];
        ULONG length = 0;
        EXPECT_EQ(ZwQueryKey(key.get(), KeyBasicInformation, info, sizeof info, &length), STATUS_SUCCESS);
        return info[0].LastWriteTime.QuadPart;
    };
    LONGLONG created = lastWrite();
    EXPECT_GT(created, 0);
    ASSERT_EQ(SetDword(key.get(), "Value", 5), STATUS_SUCCESS);
    EXPECT_GE(lastWrite(), created);
}

using RegistryDeathTest = RegistryTest;

TEST_F(RegistryDeathTest, CallAtDispatchLevelIsABugCheck)
{
    EXPECT_DEATH(
            {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                Key key;
                OpenKey(kSoftware, &key);
            },
            "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
}  // namespace vlm::test
