// The ANSI registry functions against a registry database on a fresh
// temporary system root per test.
#include <atlbase.h>
#include <windows.h>

#include "vlm/regstore/store.h"
#include "vlm/win32.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using vlm::nt::cm::KeyId;
using vlm::nt::cm::Store;
using vlm::nt::cm::StoreStatus;

// An opened key that closes itself.
// The registry's own RAII owner, with the out-parameter the tests pass.
class Key : public CRegKey {
public:
    HKEY get() const { return m_hKey; }
    PHKEY out()
    {
        Close();
        return &m_hKey;
    }
};

class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vlm-win32-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("VLM_SYSTEM_ROOT", root_.c_str(), 1);
        vlm::win32::RegistrySimulateNonAdministrator(false);
        vlm::win32::RegistryReset();
    }
    void TearDown() override
    {
        EXPECT_EQ(vlm::win32::RegistryOpenHandles(), 0u) << "a key handle was left open";
        vlm::win32::RegistryReset();
        vlm::win32::RegistrySimulateNonAdministrator(false);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // A key below HKLM\SOFTWARE made for the test.
    void CreateKey(const char* path, Key* key)
    {
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, key->out()), ERROR_SUCCESS) << path;
    }
    static LONG SetString(HKEY key, const char* name, const std::string& text)
    {
        return RegSetValueExA(
                key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), DWORD(text.size() + 1));
    }
    static LONG SetDword(HKEY key, const char* name, DWORD value)
    {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    // The value's bytes as RegQueryValueExA returns them, sized by a first call.
    static LONG Query(HKEY key, const char* name, DWORD* type, std::vector<BYTE>* data)
    {
        DWORD size = 0;
        LONG error = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (error != ERROR_SUCCESS)
            return error;
        data->assign(size, 0xCC);
        error = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        data->resize(size);
        return error;
    }
    // The store's own view of a value, through a connection of its own.
    std::vector<uint8_t> StoredBytes(const std::vector<std::string>& path, const char* name)
    {
        std::unique_ptr<Store> store;
        EXPECT_EQ(Store::Open(root_ + "/registry.db", &store), StoreStatus::Ok);
        if (!store)
            return {};
        KeyId key;
        EXPECT_EQ(store->OpenKey(store->Root(), path, &key), StoreStatus::Ok);
        vlm::nt::cm::ValueRecord value;
        EXPECT_EQ(store->QueryValue(key, name, &value), StoreStatus::Ok);
        return value.data;
    }

    std::string root_;
};

std::vector<BYTE> Bytes(const std::string& text, bool withNul = true)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    if (withNul)
        bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> Utf16Le(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(uint8_t(unit & 0xFF));
        bytes.push_back(uint8_t(unit >> 8));
    }
    return bytes;
}

// ------------------------------------------------------------ create, open

TEST_F(Win32Registry, CreateKeyMakesEveryMissingIntermediateKey)
{
    Key leaf, middle;
    CreateKey("SOFTWARE\\Vlm\\One\\Two", &leaf);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\One", middle.out()), ERROR_SUCCESS);
}

TEST_F(Win32Registry, CreateKeyExReportsWhetherTheKeyIsNew)
{
    Key first, second;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, first.out(), &disposition),
            ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                      nullptr, second.out(), &disposition),
            ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
}

TEST_F(Win32Registry, OpeningAMissingKeyIsFileNotFoundAndClearsTheResult)
{
    HKEY key = reinterpret_cast<HKEY>(uintptr_t(0x1234));
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    Key other;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey\\Deeper", other.out()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Registry, NamesMatchWhateverTheirCaseAndKeepTheCaseTheyWereMadeWith)
{
    Key made, opened, parent;
    CreateKey("SOFTWARE\\VlmTest\\MixedCase", &made);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\VLMTEST\\mixedcase", opened.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VlmTest", parent.out()), ERROR_SUCCESS);
    char name[64];
    ASSERT_EQ(RegEnumKeyA(parent.get(), 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "MixedCase");
    // Latin-1 letters fold too.
    Key accented, accentedUpper;
    CreateKey("SOFTWARE\\VlmTest\\caf\xe9", &accented);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VlmTest\\CAF\xc9", accentedUpper.out()), ERROR_SUCCESS);
}

TEST_F(Win32Registry, OpenAndCreateWithAnEmptyNameGiveBackTheSameHandle)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyA(key.get(), "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, key.get());
    EXPECT_EQ(RegCreateKeyA(key.get(), nullptr, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, key.get());
    EXPECT_EQ(vlm::win32::RegistryOpenHandles(), 1u);
    // RegOpenKeyExA opens a handle of its own.
    Key fresh;
    ASSERT_EQ(RegOpenKeyExA(key.get(), "", 0, KEY_READ, fresh.out()), ERROR_SUCCESS);
    EXPECT_NE(fresh.get(), key.get());
}

TEST_F(Win32Registry, ClassesRootIsSoftwareClassesOfTheMachine)
{
    Key made, seen;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ".vlm", made.out()), ERROR_SUCCESS);
    ASSERT_EQ(SetString(made.get(), "", "vlmfile"), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.VLM", seen.out()), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(seen.get(), nullptr, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes("vlmfile"));
}

TEST_F(Win32Registry, CurrentUserIsTheDefaultUsersKey)
{
    Key made, seen;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Vlm", made.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(HKEY_USERS, ".DEFAULT\\Software\\Vlm", seen.out()), ERROR_SUCCESS);
}

TEST_F(Win32Registry, MalformedNamesAndArgumentsAreRefusedWithWindowsCodes)
{
    Key key;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", key.out()), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Vlm", key.out()), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
            ERROR_BADKEY);
    std::string tooLong = "SOFTWARE\\" + std::string(256, 'k');
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, tooLong.c_str(), key.out()), ERROR_BADKEY);
    std::string longest = "SOFTWARE\\" + std::string(255, 'k');
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, longest.c_str(), key.out()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", 0, nullptr, 0x4 /* REG_OPTION_CREATE_LINK */,
                      KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
            ERROR_INVALID_PARAMETER);
    // A trailing backslash is tolerated.
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\", key.out()), ERROR_SUCCESS);
}

// ---------------------------------------------------------------- handles

TEST_F(Win32Registry, AClosedOrInventedHandleIsInvalid)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    HKEY invented = reinterpret_cast<HKEY>(uintptr_t(0x7777));
    Key sub;
    EXPECT_EQ(RegOpenKeyA(invented, "Sub", sub.out()), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyA(invented, nullptr, sub.out()), ERROR_INVALID_HANDLE);
    char name[8];
    EXPECT_EQ(RegEnumKeyA(invented, 0, name, sizeof name), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyA(invented, "Sub"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SHDeleteKeyA(invented, "Sub"), ERROR_INVALID_HANDLE);
    // Predefined keys are never really closed.
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    Key again;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", again.out()), ERROR_SUCCESS);
}

TEST_F(Win32Registry, AHandleHoldsOnlyTheRightsItWasOpenedWith)
{
    Key setup, reader, writer;
    CreateKey("SOFTWARE\\Vlm", &setup);
    ASSERT_EQ(SetDword(setup.get(), "Port", 9100), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", 0, KEY_READ, reader.out()), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader.get(), "Port", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader.get(), "Port"), ERROR_ACCESS_DENIED);
    Key child;
    EXPECT_EQ(RegCreateKeyA(reader.get(), "Child", child.out()), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", 0, KEY_WRITE, writer.out()), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer.get(), "Port", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    char name[8];
    EXPECT_EQ(RegEnumKeyA(writer.get(), 0, name, sizeof name), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer.get(), "Port", 9101), ERROR_SUCCESS);
}

// ------------------------------------------------------------- enumeration

TEST_F(Win32Registry, SubkeysEnumerateInNameOrderThenNoMoreItems)
{
    Key parent, a, b, c;
    CreateKey("SOFTWARE\\Vlm", &parent);
    ASSERT_EQ(RegCreateKeyA(parent.get(), "beta", b.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(parent.get(), "Alpha", a.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(parent.get(), "gamma", c.out()), ERROR_SUCCESS);
    std::vector<std::string> names;
    char name[32];
    DWORD index = 0;
    LONG error;
    while ((error = RegEnumKeyA(parent.get(), index, name, sizeof name)) == ERROR_SUCCESS && index < 10) {
        names.emplace_back(name);
        ++index;
    }
    EXPECT_EQ(error, ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
}

TEST_F(Win32Registry, EnumerationIntoAShortBufferIsMoreData)
{
    Key parent, child;
    CreateKey("SOFTWARE\\Vlm", &parent);
    ASSERT_EQ(RegCreateKeyA(parent.get(), "Ports", child.out()), ERROR_SUCCESS);
    char name[8];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(RegEnumKeyA(parent.get(), 0, name, 5), ERROR_MORE_DATA);  // no room for the NUL
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(RegEnumKeyA(parent.get(), 0, name, 6), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Ports");
    EXPECT_EQ(RegEnumKeyA(parent.get(), 0, nullptr, 6), ERROR_INVALID_PARAMETER);
}

TEST_F(Win32Registry, EnumKeyExCountsCharactersWithoutTheNulAndGivesClassAndTime)
{
    Key parent, child;
    CreateKey("SOFTWARE\\Vlm", &parent);
    char cls[] = "PortClass";
    ASSERT_EQ(RegCreateKeyExA(parent.get(), "Ports", 0, cls, 0, KEY_ALL_ACCESS, nullptr, child.out(), nullptr),
            ERROR_SUCCESS);
    char name[16];
    char className[16];
    DWORD nameChars = sizeof name;
    DWORD classChars = sizeof className;
    FILETIME written{};
    ASSERT_EQ(
            RegEnumKeyExA(parent.get(), 0, name, &nameChars, nullptr, className, &classChars, &written), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Ports");
    EXPECT_EQ(nameChars, 5u);
    EXPECT_STREQ(className, "PortClass");
    EXPECT_EQ(classChars, 9u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    classChars = 9;
    nameChars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent.get(), 0, name, &nameChars, nullptr, className, &classChars, nullptr),
            ERROR_MORE_DATA);
    DWORD reserved = 0;
    nameChars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(parent.get(), 0, name, &nameChars, &reserved, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
    nameChars = sizeof name;
    EXPECT_EQ(
            RegEnumKeyExA(parent.get(), 1, name, &nameChars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

// ----------------------------------------------------------------- values

TEST_F(Win32Registry, ADwordReadsBackAsFourLittleEndianBytes)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    ASSERT_EQ(SetDword(key.get(), "Port", 0x01020304), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "PORT", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(data, (std::vector<BYTE>{4, 3, 2, 1}));
}

TEST_F(Win32Registry, QueryWithoutABufferReportsTheSizeAndAShortBufferIsMoreData)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    ASSERT_EQ(SetString(key.get(), "PortName", "COM3"), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key.get(), "PortName", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);  // ANSI bytes with the NUL, not the stored UTF-16
    EXPECT_EQ(type, DWORD(REG_SZ));

    BYTE buffer[8];
    std::memset(buffer, 0xCC, sizeof buffer);
    size = 4;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "PortName", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(type, DWORD(REG_SZ));

    size = 5;
    ASSERT_EQ(RegQueryValueExA(key.get(), "PortName", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "COM3");
    EXPECT_EQ(buffer[5], 0xCC);

    // Type only: no size asked.
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "PortName", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
}

TEST_F(Win32Registry, QueryArgumentsWindowsRefuses)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    ASSERT_EQ(SetDword(key.get(), "Port", 1), ERROR_SUCCESS);
    BYTE buffer[4];
    EXPECT_EQ(RegQueryValueExA(key.get(), "Port", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Port", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key.get(), "NoSuchValue", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(key.get(), "Port", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
}

TEST_F(Win32Registry, TheDefaultValueHasTheEmptyName)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    ASSERT_EQ(SetString(key.get(), nullptr, "default"), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes("default"));
    EXPECT_EQ(RegDeleteValueA(key.get(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.get(), nullptr, &type, &data), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Registry, ADeletedValueIsGoneAndDeletingItAgainIsFileNotFound)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    ASSERT_EQ(SetDword(key.get(), "Port", 1), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key.get(), "port"), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(Query(key.get(), "Port", &type, &data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key.get(), "Port"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Registry, BinaryDataIsStoredUnconverted)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    const BYTE blob[] = {0x00, 0xE9, 0xFF, 0x41, 0x00};
    ASSERT_EQ(RegSetValueExA(key.get(), "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    EXPECT_EQ(StoredBytes({"MACHINE", "SOFTWARE", "Vlm"}, "Blob"), std::vector<uint8_t>(blob, blob + sizeof blob));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "Blob", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::vector<BYTE>(blob, blob + sizeof blob));
    EXPECT_EQ(type, DWORD(REG_BINARY));
}

// ---------------------------------------------- string data, ANSI <-> UTF-16

TEST_F(Win32Registry, AnAnsiStringIsStoredAsTheKernelsUtf16WithItsNul)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    ASSERT_EQ(SetString(key.get(), "Name", "Caf\xe9"), ERROR_SUCCESS);
    EXPECT_EQ(StoredBytes({"MACHINE", "SOFTWARE", "Vlm"}, "Name"), Utf16Le(std::u16string(u"Caf\u00e9") + u'\0'));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "Name", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes("Caf\xe9"));
}

TEST_F(Win32Registry, AUtf16StringWrittenByTheKernelReadsAsAnsi)
{
    {
        std::unique_ptr<Store> store;
        ASSERT_EQ(Store::Open(root_ + "/registry.db", &store), StoreStatus::Ok);
        vlm::nt::cm::CreateOptions options;
        options.createIntermediates = true;
        KeyId key;
        bool created;
        ASSERT_EQ(store->CreateKey(store->Root(), {"MACHINE", "SOFTWARE", "Vlm"}, options, &key, &created),
                StoreStatus::Ok);
        std::vector<uint8_t> wide = Utf16Le(std::u16string(u"Mirka\u00e9\u20ac\U0001F5A8") + u'\0');
        ASSERT_EQ(store->SetValue(key, "Printer", REG_EXPAND_SZ, wide.data(), wide.size()), StoreStatus::Ok);
    }
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", key.out()), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "Printer", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    // Outside Latin-1 each character, a surrogate pair included, is one '?'.
    EXPECT_EQ(data, Bytes("Mirka\xe9??"));
}

TEST_F(Win32Registry, AMultiStringConvertsEveryStringAndBothNuls)
{
    Key key;
    CreateKey("SOFTWARE\\Vlm", &key);
    const char multi[] = "Mirka\\kordia\0mirkatech\\quentaro\0";
    ASSERT_EQ(RegSetValueExA(
                      key.get(), "HardwareID", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
            ERROR_SUCCESS);
    EXPECT_EQ(StoredBytes({"MACHINE", "SOFTWARE", "Vlm"}, "HardwareID"),
            Utf16Le(std::u16string_view(u"Mirka\\kordia\0mirkatech\\quentaro\0", sizeof multi)));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "HardwareID", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    EXPECT_EQ(data, std::vector<BYTE>(multi, multi + sizeof multi));
}

TEST_F(Win32Registry, ThreadsOpenUseAndCloseKeysAtTheSameTime)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            std::string path = "SOFTWARE\\Vlm\\Thread" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                HKEY key = nullptr;
                DWORD value = DWORD(round), read = 0, size = sizeof read;
                if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS ||
                        SetDword(key, "Round", value) != ERROR_SUCCESS ||
                        RegQueryValueExA(key, "Round", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size) !=
                                ERROR_SUCCESS ||
                        read != value)
                    ++failures[t];
                if (key && RegCloseKey(key) != ERROR_SUCCESS)
                    ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

// ---------------------------------------------------------------- deletion

TEST_F(Win32Registry, DeleteKeyRemovesALeafButRefusesAKeyWithSubkeys)
{
    Key leaf;
    CreateKey("SOFTWARE\\Vlm\\Ports\\COM3", &leaf);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports\\com3"), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports\\COM3", gone.out()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports\\COM3"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    // The still open handle now names a deleted key.
    EXPECT_EQ(SetDword(leaf.get(), "x", 1), ERROR_KEY_DELETED);
    Key parent;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports", parent.out()), ERROR_SUCCESS);
}

TEST_F(Win32Registry, TheMachineRootCannotBeDeleted)
{
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SHDeleteKeyA(HKEY_USERS, nullptr), ERROR_ACCESS_DENIED);
    Key key;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE", key.out()), ERROR_SUCCESS);
}

TEST_F(Win32Registry, ShDeleteKeyRemovesAWholeTreeAndNothingElse)
{
    {
        Key a, b, c, sibling;
        CreateKey("SOFTWARE\\Vlm\\Tree\\A\\Deep\\Deeper", &a);
        CreateKey("SOFTWARE\\Vlm\\Tree\\B", &b);
        CreateKey("SOFTWARE\\Vlm\\Tree\\A\\Other", &c);
        CreateKey("SOFTWARE\\Vlm\\Sibling", &sibling);
        ASSERT_EQ(SetDword(a.get(), "Port", 1), ERROR_SUCCESS);
        ASSERT_EQ(SetString(b.get(), "Name", "x"), ERROR_SUCCESS);
    }
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\TREE"), ERROR_SUCCESS);
    Key gone, kept;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Tree", gone.out()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Sibling", kept.out()), ERROR_SUCCESS);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Tree"), ERROR_FILE_NOT_FOUND);
    // Nothing of the tree is left in the store either.
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &store), StoreStatus::Ok);
    KeyId vlm;
    ASSERT_EQ(store->OpenKey(store->Root(), {"MACHINE", "SOFTWARE", "Vlm"}, &vlm), StoreStatus::Ok);
    std::vector<std::string> children;
    ASSERT_EQ(store->ListSubkeys(vlm, &children), StoreStatus::Ok);
    EXPECT_EQ(children, (std::vector<std::string>{"Sibling"}));
}

// ------------------------------------------------------ non-administrators

// Root passes every permission check, so the tests take the non-administrator
// path through the switch; the permission decision itself is covered by the
// test after these, which drops to another user in a child process.
class Win32RegistryNonAdministrator : public Win32Registry {
protected:
    void SetUp() override
    {
        Win32Registry::SetUp();
        Key key;
        CreateKey("SOFTWARE\\Vlm\\Ports", &key);
        ASSERT_EQ(SetDword(key.get(), "Count", 1), ERROR_SUCCESS);
        key.Close();
        vlm::win32::RegistryReset();
        vlm::win32::RegistrySimulateNonAdministrator(true);
    }
};

TEST_F(Win32RegistryNonAdministrator, ReadsWork)
{
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", key.out()), ERROR_SUCCESS);
    char name[16];
    ASSERT_EQ(RegEnumKeyA(key.get(), 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Ports");
    Key ports;
    ASSERT_EQ(RegCreateKeyA(key.get(), "Ports", ports.out()), ERROR_SUCCESS);  // exists: only opened
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(ports.get(), "Count", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<BYTE>{1, 0, 0, 0}));
}

TEST_F(Win32RegistryNonAdministrator, EveryWriteIsAccessDenied)
{
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "Count", 2), ERROR_ACCESS_DENIED);
    Key key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports", 0, KEY_WRITE, key.out()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\New", key.out()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Vlm", key.out()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm"), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\Ports", key.out()), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key.get(), "Count", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key.get(), "Count"), ERROR_ACCESS_DENIED);
    // Nothing changed.
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(Query(key.get(), "Count", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<BYTE>{1, 0, 0, 0}));
}

// The real decision: a user who cannot write registry.db opens it read-only.
// The child drops to nobody and reports through its exit code.
TEST_F(Win32Registry, AUserWhoCannotWriteTheDatabaseIsDeniedWrites)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    {
        Key key;
        CreateKey("SOFTWARE\\Vlm", &key);
        ASSERT_EQ(SetDword(key.get(), "Count", 1), ERROR_SUCCESS);
    }
    vlm::win32::RegistryReset();  // the parent's connection closed: WAL kept, shared memory readable
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    for (const auto& entry : std::filesystem::directory_iterator(root_))
        ASSERT_EQ(chmod(entry.path().c_str(), 0644), 0) << entry.path();

    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);  // a child that hangs dies, and the parent's wait ends
        int code = 0;
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        vlm::win32::RegistryReset();
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm", &key) != ERROR_SUCCESS)
            code = 11;
        DWORD value = 0, size = sizeof value;
        if (!code &&
                RegQueryValueExA(key, "Count", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
                        ERROR_SUCCESS)
            code = 12;
        if (!code && value != 1)
            code = 13;
        DWORD two = 2;
        if (!code &&
                RegSetValueExA(HKEY_LOCAL_MACHINE, "Count", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), sizeof two) !=
                        ERROR_ACCESS_DENIED)
            code = 14;
        HKEY created = nullptr;
        if (!code && RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vlm\\New", &created) != ERROR_ACCESS_DENIED)
            code = 15;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged child failed at step " << WEXITSTATUS(status);
}

}  // namespace
