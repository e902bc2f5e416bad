// The registry on disk: what survives a kernel restart, and one database
// shared by several connections and processes at once.
#include "registry_support.h"

#include "vlm/regstore/store.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace vlm::test {
namespace {

using namespace registry;
using nt::cm::KeyId;
using nt::cm::Store;
using nt::cm::StoreStatus;

// -------------------------------------------------------- kernel restart

class RegistryBootTest : public KernelTest {
protected:
    NTSTATUS Restart()
    {
        nt::KernelShutdown();
        nt::KernelOptions options;
        options.systemRoot = root_;
        options.clockSpeedup = clockSpeedup_;
        return nt::KernelStart(options);
    }
};

TEST_F(RegistryBootTest, HardwareIsEmptiedAtBootWhileOtherKeysPersist)
{
    {
        Key service, hardware, description, system, session, inner, kept;
        ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Persist", &service),
                STATUS_SUCCESS);
        ASSERT_EQ(SetDword(service.get(), "Start", 3), STATUS_SUCCESS);
        ULONG port = 3;
        ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\1", REG_DWORD, &port, 4),
                STATUS_SUCCESS);
        ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\HARDWARE", &hardware), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(hardware.get(), "OnHardware", 1), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey("DESCRIPTION", &description, nullptr, hardware.get()), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey("System", &system, nullptr, description.get()), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Session", &session, nullptr, nullptr, REG_OPTION_VOLATILE),
                STATUS_SUCCESS);
        ASSERT_EQ(CreateKey("Inner", &inner, nullptr, session.get()), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", &kept), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(kept.get(), "Value", 42), STATUS_SUCCESS);
        EXPECT_EQ(SubkeyNames(hardware.get()), (std::vector<std::string>{"DESCRIPTION", "DEVICEMAP"}));
    }
    ASSERT_EQ(Restart(), STATUS_SUCCESS);

    Key service, hardware, deviceMap, software, kept;
    Value value;
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Persist", &service), STATUS_SUCCESS);
    ASSERT_EQ(QueryValue(service.get(), "Start", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, Dword(3));

    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\HARDWARE", &hardware), STATUS_SUCCESS);
    EXPECT_EQ(SubkeyNames(hardware.get()), std::vector<std::string>{"DEVICEMAP"});
    EXPECT_TRUE(ValueNames(hardware.get()).empty());
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP", &deviceMap), STATUS_SUCCESS);
    EXPECT_TRUE(SubkeyNames(deviceMap.get()).empty()) << "SERIALCOMM went with the rest of HARDWARE";

    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE", &software), STATUS_SUCCESS);
    EXPECT_EQ(SubkeyNames(software.get()), (std::vector<std::string>{"Kept", "Microsoft"}))
            << "the volatile key went with its subtree";
    ASSERT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Kept", &kept), STATUS_SUCCESS);
    ASSERT_EQ(QueryValue(kept.get(), "Value", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, Dword(42));
}

TEST_F(RegistryBootTest, OpenHandlesOutliveNothingAcrossARestart)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\HARDWARE\\Gone", &key), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), "Value", 1), STATUS_SUCCESS);
    ASSERT_EQ(key.Close(), STATUS_SUCCESS);
    ASSERT_EQ(Restart(), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\HARDWARE\\Gone", &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

// ------------------------------------------------- connections in-process

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override { RemoveTree(root_); }
    std::string root_;
};

TEST_F(RegistryStoreTest, ChangesOfOneConnectionAreSeenByTheNextReadOfAnother)
{
    std::unique_ptr<Store> a, b;
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &a), StoreStatus::Ok) << Store::LastError();
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &b), StoreStatus::Ok) << Store::LastError();
    KeyId inA = 0, inB = 0;
    bool created = false;
    ASSERT_EQ(a->CreateKey(a->Root(), {"MACHINE", "SOFTWARE", "Shared"}, {}, &inA, &created), StoreStatus::Ok);
    EXPECT_TRUE(created);
    ASSERT_EQ(b->OpenKey(b->Root(), {"machine", "software", "SHARED"}, &inB), StoreStatus::Ok);
    EXPECT_EQ(inA, inB);

    const uint8_t data[] = {1, 2, 3};
    ASSERT_EQ(a->SetValue(inA, "Bytes", REG_BINARY, data, sizeof data), StoreStatus::Ok);
    nt::cm::ValueRecord value;
    ASSERT_EQ(b->QueryValue(inB, "bytes", &value), StoreStatus::Ok);
    EXPECT_EQ(value.name, "Bytes");
    EXPECT_EQ(value.data, (std::vector<uint8_t>{1, 2, 3}));

    ASSERT_EQ(b->DeleteKey(inB), StoreStatus::Ok);
    EXPECT_EQ(a->QueryValue(inA, "Bytes", &value), StoreStatus::KeyDeleted);
}

// Enumeration seeks from where the last call stopped; a change by any
// connection between two calls must make it count again, or a subkey is
// skipped or given twice.
TEST_F(RegistryStoreTest, EnumeratingByIndexSeesChangesMadeBetweenCallsByAnyConnection)
{
    std::unique_ptr<Store> a, b;
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &a), StoreStatus::Ok) << Store::LastError();
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &b), StoreStatus::Ok) << Store::LastError();
    KeyId parent = 0, parentInB = 0;
    bool created = false;
    ASSERT_EQ(a->CreateKey(a->Root(), {"MACHINE", "SOFTWARE", "Ports"}, {}, &parent, &created), StoreStatus::Ok);
    for (const char* name : {"COM10", "COM3", "COM4", "COM5"}) {
        KeyId child = 0;
        ASSERT_EQ(a->CreateKey(parent, {name}, {}, &child, &created), StoreStatus::Ok);
    }
    ASSERT_EQ(b->OpenKey(b->Root(), {"MACHINE", "SOFTWARE", "Ports"}, &parentInB), StoreStatus::Ok);
    auto nameAt = [&](uint32_t index) {
        nt::cm::KeyRecord record;
        StoreStatus status = a->EnumerateKey(parent, index, &record);
        return status == StoreStatus::Ok ? record.name : status == StoreStatus::NoMoreEntries ? "(end)" : "(error)";
    };
    // Asked twice per index (size, then data) and in order, as drivers do.
    EXPECT_EQ(nameAt(0), "COM10");
    EXPECT_EQ(nameAt(0), "COM10");
    EXPECT_EQ(nameAt(1), "COM3");

    KeyId added = 0;  // another connection adds a key that sorts before COM4
    ASSERT_EQ(b->CreateKey(parentInB, {"COM31"}, {}, &added, &created), StoreStatus::Ok);
    EXPECT_EQ(nameAt(2), "COM31");
    EXPECT_EQ(nameAt(3), "COM4");

    KeyId removed = 0;  // this connection deletes one it has passed
    ASSERT_EQ(a->OpenKey(parent, {"COM3"}, &removed), StoreStatus::Ok);
    ASSERT_EQ(a->DeleteKey(removed), StoreStatus::Ok);
    EXPECT_EQ(nameAt(3), "COM5");
    EXPECT_EQ(nameAt(4), "(end)");

    KeyId first = 0;  // and the other one deletes the first, between an index's two calls
    EXPECT_EQ(nameAt(2), "COM4");
    ASSERT_EQ(b->OpenKey(parentInB, {"COM10"}, &first), StoreStatus::Ok);
    ASSERT_EQ(b->DeleteKey(first), StoreStatus::Ok);
    EXPECT_EQ(nameAt(2), "COM5");
    EXPECT_EQ(nameAt(1), "COM4");
}

// A run of reads (one request's, in the kernel) looks at the data version
// once: what another connection committed before the run began is seen
// by all of its reads, this connection's own changes at once, and the
// next run sees everything committed before it.
TEST_F(RegistryStoreTest, ARunOfReadsSeesWhatWasCommittedBeforeItBeganAndItsOwnChanges)
{
    std::unique_ptr<Store> a, b;
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &a), StoreStatus::Ok) << Store::LastError();
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &b), StoreStatus::Ok) << Store::LastError();
    KeyId parent = 0, com3 = 0;
    bool created = false;
    ASSERT_EQ(b->CreateKey(b->Root(), {"MACHINE", "SOFTWARE", "Assign"}, {}, &parent, &created), StoreStatus::Ok);
    for (const char* name : {"COM3", "COM4", "COM5"}) {
        KeyId child = 0;
        ASSERT_EQ(b->CreateKey(parent, {name}, {}, &child, &created), StoreStatus::Ok);
    }
    ASSERT_EQ(b->OpenKey(parent, {"COM3"}, &com3), StoreStatus::Ok);
    auto setPort = [&](Store& store, uint32_t port) {
        ASSERT_EQ(store.SetValue(com3, "Port", REG_DWORD, &port, sizeof port), StoreStatus::Ok);
    };
    auto port = [&] {
        nt::cm::ValueRecord value;
        uint32_t port = 0;
        if (a->QueryValue(com3, "port", &value) == StoreStatus::Ok && value.data.size() == sizeof port)
            memcpy(&port, value.data.data(), sizeof port);
        return port;
    };
    auto names = [&] {
        std::string listed;
        nt::cm::KeyRecord record;
        for (uint32_t i = 0; i < 10 && a->EnumerateKey(parent, i, &record) == StoreStatus::Ok; ++i)
            listed += record.name + " ";
        return listed;
    };
    setPort(*b, 9100);
    for (int run = 0; run < 3; ++run) {
        Store::BeginReadRun();
        EXPECT_EQ(names(), "COM3 COM4 COM5 ");
        EXPECT_EQ(port(), 9100u + run) << "a change committed before the run began was not seen";
        Store::BeginReadRun();  // runs nest
        Store::EndReadRun();
        EXPECT_EQ(port(), 9100u + run);
        nt::cm::KeyRecord com3Before, com3After;
        ASSERT_EQ(a->EnumerateKey(parent, 0, &com3Before), StoreStatus::Ok);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        setPort(*a, 7000);  // its own change, seen within the run
        EXPECT_EQ(port(), 7000u);
        ASSERT_EQ(a->EnumerateKey(parent, 0, &com3After), StoreStatus::Ok);
        EXPECT_GT(com3After.lastWriteTime, com3Before.lastWriteTime) << "the subkey's write time stayed as cached";
        Store::EndReadRun();
        setPort(*b, 9101 + run);
    }

    // Outside a run every read looks: a key another connection deleted is
    // gone for the next read, and so is its place in the enumeration.
    Store::BeginReadRun();
    EXPECT_EQ(port(), 9103u);
    Store::EndReadRun();
    KeyId com4 = 0;
    ASSERT_EQ(b->OpenKey(parent, {"COM4"}, &com4), StoreStatus::Ok);
    ASSERT_EQ(b->DeleteKey(com4), StoreStatus::Ok);
    EXPECT_EQ(names(), "COM3 COM5 ");
    nt::cm::KeyRecord record;
    EXPECT_EQ(a->QueryKey(com4, &record), StoreStatus::KeyDeleted);
    KeyId found = 0;
    EXPECT_EQ(a->OpenKey(parent, {"com4"}, &found), StoreStatus::NotFound);
    ASSERT_EQ(b->CreateKey(parent, {"COM4"}, {}, &found, &created), StoreStatus::Ok);
    KeyId again = 0;
    EXPECT_EQ(a->OpenKey(parent, {"com4"}, &again), StoreStatus::Ok);
    EXPECT_EQ(again, found);
    std::string path;
    EXPECT_EQ(a->KeyPath(again, &path), StoreStatus::Ok);
    EXPECT_EQ(path, "\\REGISTRY\\MACHINE\\SOFTWARE\\Assign\\COM4");
}

TEST_F(RegistryStoreTest, CreatingIntermediateKeysOnRequest)
{
    std::unique_ptr<Store> store;
    ASSERT_EQ(Store::Open(root_ + "/registry.db", &store), StoreStatus::Ok) << Store::LastError();
    KeyId key = 0;
    bool created = false;
    EXPECT_EQ(store->CreateKey(store->Root(), {"MACHINE", "SOFTWARE", "A", "B"}, {}, &key, &created),
            StoreStatus::NotFound);
    nt::cm::CreateOptions options;
    options.createIntermediates = true;
    options.className = "Leaf";
    ASSERT_EQ(store->CreateKey(store->Root(), {"MACHINE", "SOFTWARE", "A", "B"}, options, &key, &created),
            StoreStatus::Ok);
    EXPECT_TRUE(created);
    std::string path;
    ASSERT_EQ(store->KeyPath(key, &path), StoreStatus::Ok);
    EXPECT_EQ(path, "\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B");
    nt::cm::KeyRecord record;
    ASSERT_EQ(store->QueryKey(key, &record), StoreStatus::Ok);
    EXPECT_EQ(record.className, std::optional<std::string>("Leaf"));
    KeyId a = 0;
    ASSERT_EQ(store->OpenKey(store->Root(), {"MACHINE", "SOFTWARE", "A"}, &a), StoreStatus::Ok);
    ASSERT_EQ(store->QueryKey(a, &record), StoreStatus::Ok);
    EXPECT_FALSE(record.className.has_value()) << "the class belongs to the final key only";
}

TEST_F(RegistryStoreTest, ReadOnlyConnectionReadsAndRefusesChanges)
{
    const std::string file = root_ + "/registry.db";
    std::unique_ptr<Store> reader;
    EXPECT_EQ(Store::Open(file, &reader, true), StoreStatus::AccessDenied) << "nothing to read yet";

    KeyId key = 0;
    {
        std::unique_ptr<Store> writer;
        ASSERT_EQ(Store::Open(file, &writer), StoreStatus::Ok) << Store::LastError();
        bool created;
        ASSERT_EQ(writer->CreateKey(writer->Root(), {"MACHINE", "SOFTWARE", "Velmora"}, {}, &key, &created),
                StoreStatus::Ok);
        uint32_t port = 9100;
        ASSERT_EQ(writer->SetValue(key, "Port", REG_DWORD, &port, 4), StoreStatus::Ok);
    }
    // Readers that cannot create files rely on these outliving the writer.
    struct stat info;
    EXPECT_EQ(stat((file + "-wal").c_str(), &info), 0);
    EXPECT_EQ(stat((file + "-shm").c_str(), &info), 0);

    ASSERT_EQ(Store::Open(file, &reader, true), StoreStatus::Ok) << Store::LastError();
    nt::cm::ValueRecord value;
    ASSERT_EQ(reader->QueryValue(key, "port", &value), StoreStatus::Ok);
    EXPECT_EQ(value.data, Dword(9100));
    uint32_t other = 1;
    KeyId child;
    bool created;
    EXPECT_EQ(reader->SetValue(key, "Port", REG_DWORD, &other, 4), StoreStatus::AccessDenied);
    EXPECT_EQ(reader->CreateKey(key, {"Child"}, {}, &child, &created), StoreStatus::AccessDenied);
    EXPECT_EQ(reader->DeleteKey(key), StoreStatus::AccessDenied);

    std::unique_ptr<Store> writer;
    ASSERT_EQ(Store::Open(file, &writer), StoreStatus::Ok);
    ASSERT_EQ(writer->SetValue(key, "Port", REG_DWORD, &other, 4), StoreStatus::Ok);
    ASSERT_EQ(reader->QueryValue(key, "Port", &value), StoreStatus::Ok);
    EXPECT_EQ(value.data, Dword(1)) << "a reader sees the next committed change";
}

// A file that exists but is not a registry of ours was re-seeded as an
// empty registry; it is now refused, left as it was, and the message
// names the file and what is wrong with it.
TEST_F(RegistryStoreTest, AFileThatIsNotARegistryIsRefusedAndLeftAsItWas)
{
    const std::string file = root_ + "/registry.db";
    std::unique_ptr<Store> store;
    {
        std::ofstream empty(file);
    }
    EXPECT_EQ(Store::Open(file, &store), StoreStatus::IoError);
    EXPECT_EQ(Store::LastError(),
            file +
                    ": not a registry database: the file is empty (0 bytes); move it away to start with an empty "
                    "registry");
    struct stat info;
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(Store::Open(file, &store, true), StoreStatus::IoError) << "read-only, too";

    // Another program's SQLite database.
    ASSERT_EQ(unlink(file.c_str()), 0);
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE songs(title TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    EXPECT_EQ(Store::Open(file, &store), StoreStatus::IoError);
    EXPECT_NE(Store::LastError().find(file + ": not a registry database: it has no registry tables"), std::string::npos)
            << Store::LastError();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(stmt, 0), 1) << "tables were added to someone else's database";
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }

    // Not SQLite at all.
    {
        std::ofstream garbage(file, std::ios::trunc);
        garbage << std::string(4096, 'x');
    }
    EXPECT_EQ(Store::Open(file, &store), StoreStatus::IoError);
    EXPECT_NE(Store::LastError().find(file + ": "), std::string::npos) << Store::LastError();
    EXPECT_NE(Store::LastError().find("not a registry database (file is not a database)"), std::string::npos)
            << Store::LastError();

    // A directory in its place.
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    EXPECT_NE(Store::Open(file, &store), StoreStatus::Ok);
    EXPECT_EQ(Store::LastError().rfind(file + ": cannot open", 0), 0u) << Store::LastError();
}

TEST_F(RegistryStoreTest, ThreadsCreatingTheRegistryAtOnceAllOpenTheSameOne)
{
    const std::string file = root_ + "/registry.db";
    constexpr int kOpeners = 6;
    std::vector<std::unique_ptr<Store>> stores(kOpeners);
    std::vector<StoreStatus> results(kOpeners, StoreStatus::IoError);
    std::vector<std::thread> openers;
    for (int i = 0; i < kOpeners; ++i)
        openers.emplace_back([&, i] { results[size_t(i)] = Store::Open(file, &stores[size_t(i)]); });
    for (auto& opener : openers)
        opener.join();
    for (StoreStatus result : results)
        EXPECT_EQ(result, StoreStatus::Ok);
    KeyId key = 0;
    bool created = false;
    ASSERT_EQ(stores[0]->CreateKey(stores[0]->Root(), {"MACHINE", "SOFTWARE", "One"}, {}, &key, &created),
            StoreStatus::Ok);
    KeyId seen = 0;
    EXPECT_EQ(stores[kOpeners - 1]->OpenKey(stores[kOpeners - 1]->Root(), {"MACHINE", "SOFTWARE", "One"}, &seen),
            StoreStatus::Ok);
    EXPECT_EQ(seen, key);
    // Nothing of the making is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(root_))
        EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos) << entry.path();
}

TEST(RegistryNames, FoldUpcasesAsciiAndLatin1LettersOnly)
{
    using nt::cm::FoldName;
    EXPECT_EQ(FoldName("Kordia-com3_z"), "KORDIA-COM3_Z");
    // à..þ fold to À..Þ; ÷ (U+00F7), ß (U+00DF) and ÿ (U+00FF) stay.
    EXPECT_EQ(FoldName("\xC3\xA0\xC3\xBE\xC3\xB7\xC3\x9F\xC3\xBF"), "\xC3\x80\xC3\x9E\xC3\xB7\xC3\x9F\xC3\xBF");
    // Other scripts compare exactly: Greek alpha stays lower case.
    EXPECT_EQ(FoldName("\xCE\xB1"), "\xCE\xB1");
}

TEST(RegistryNames, Utf16LengthCountsSurrogatePairsTwice)
{
    using nt::cm::Utf16Length;
    EXPECT_EQ(Utf16Length("COM3"), 4u);
    EXPECT_EQ(Utf16Length("\xC3\xA4\xE2\x82\xAC"), 2u) << "two-byte and three-byte forms are one unit";
    EXPECT_EQ(Utf16Length("\xF0\x9F\x96\xA8"), 2u) << "a printer emoji needs a surrogate pair";
}

// --------------------------------------------------------- two processes
//
// The child is this test binary started again with the database's path in
// its environment; it runs before main (RunChildIfAsked) and never reaches
// the tests. It talks to the parent over two pipes on fixed descriptors.

constexpr char kChildEnv[] = "VLM_REGISTRY_TEST_CHILD_DB";
constexpr int kChildToParentFd = 3;
constexpr int kParentToChildFd = 4;
constexpr int kWrites = 150;
constexpr int kHandshakeTimeoutMs = 120000;
const std::vector<std::string> kSharedPath = {"MACHINE", "SOFTWARE", "Concurrent"};

bool Signal(int fd, char what)
{
    return write(fd, &what, 1) == 1;
}

// Waits (bounded) for one byte from the other side.
bool Await(int fd, char what)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kHandshakeTimeoutMs) != 1)
        return false;
    char got = 0;
    return read(fd, &got, 1) == 1 && got == what;
}

std::string Numbered(const char* prefix, int i)
{
    return prefix + std::to_string(i);
}

int ChildFails(int code, const char* what, StoreStatus status)
{
    fprintf(stderr, "registry child: %s: %s %s\n", what, nt::cm::StoreStatusName(status), Store::LastError().c_str());
    return code;
}

// The user side of the test: its own connection, its own writes, then a
// check that every write of the parent is visible.
int RunChild(const char* database)
{
    std::unique_ptr<Store> store;
    if (StoreStatus s = Store::Open(database, &store); s != StoreStatus::Ok)
        return ChildFails(10, "open", s);
    KeyId shared;
    if (StoreStatus s = store->OpenKey(store->Root(), kSharedPath, &shared); s != StoreStatus::Ok)
        return ChildFails(11, "open the shared key", s);
    if (!Signal(kChildToParentFd, 'R') || !Await(kParentToChildFd, 'G'))
        return 12;
    for (int i = 0; i < kWrites; ++i) {
        uint32_t data = uint32_t(i);
        if (StoreStatus s = store->SetValue(shared, Numbered("child", i), REG_DWORD, &data, 4); s != StoreStatus::Ok)
            return ChildFails(13, "set a value", s);
        KeyId sub;
        bool created;
        if (StoreStatus s = store->CreateKey(shared, {Numbered("C", i)}, {}, &sub, &created); s != StoreStatus::Ok)
            return ChildFails(14, "create a key", s);
        nt::cm::ValueRecord value;
        StoreStatus s = store->QueryValue(shared, Numbered("parent", i), &value);
        if (s != StoreStatus::Ok && s != StoreStatus::NotFound)
            return ChildFails(15, "read a value of the parent", s);
    }
    if (!Signal(kChildToParentFd, 'D') || !Await(kParentToChildFd, 'V'))
        return 16;
    for (int i = 0; i < kWrites; ++i) {
        nt::cm::ValueRecord value;
        if (StoreStatus s = store->QueryValue(shared, Numbered("parent", i), &value); s != StoreStatus::Ok)
            return ChildFails(17, "a write of the parent is missing", s);
        if (value.data != Dword(ULONG(i)))
            return 18;
    }
    return 0;
}

[[maybe_unused]] const bool g_childRan = [] {
    if (const char* database = getenv(kChildEnv))
        _exit(RunChild(database));
    return false;
}();

// The spawned child; killed and reaped if the test leaves early.
class Child {
public:
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (pidfd_ >= 0)
            close(pidfd_);
    }

    bool Spawn(const std::string& database, int toChild, int fromChild)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fromChild, kChildToParentFd);
        posix_spawn_file_actions_adddup2(&actions, toChild, kParentToChildFd);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            env.emplace_back(*e);
        env.push_back(std::string(kChildEnv) + "=" + database);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        char self[] = "/proc/self/exe";
        char* argv[] = {self, nullptr};
        int rc = posix_spawn(&pid_, self, &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        pidfd_ = int(syscall(SYS_pidfd_open, pid_, 0));
        return pidfd_ >= 0;
    }

    // The child's exit code, or -1 if it did not exit in time or was killed.
    int Wait(int timeoutMs)
    {
        pollfd p{pidfd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            return -1;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
};

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    void CloseEnd(int i)
    {
        close(fds[i]);
        fds[i] = -1;
    }
};

class RegistryProcessTest : public KernelTest { };

TEST_F(RegistryProcessTest, TwoProcessesWritingAtOnceLoseNothing)
{
    Key shared;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Concurrent", &shared), STATUS_SUCCESS);

    Pipe toChild, fromChild;
    Child child;
    ASSERT_TRUE(child.Spawn(root_ + "/registry.db", toChild.fds[0], fromChild.fds[1]));
    toChild.CloseEnd(0);
    fromChild.CloseEnd(1);
    ASSERT_TRUE(Await(fromChild.fds[0], 'R')) << "the child did not open the registry";
    ASSERT_TRUE(Signal(toChild.fds[1], 'G'));

    // Both processes now write to the same key and read each other's values.
    for (int i = 0; i < kWrites; ++i) {
        ASSERT_EQ(SetDword(shared.get(), Numbered("parent", i), ULONG(i)), STATUS_SUCCESS);
        Key sub;
        ASSERT_EQ(CreateKey(Numbered("P", i), &sub, nullptr, shared.get()), STATUS_SUCCESS);
        Value value;
        NTSTATUS status = QueryValue(shared.get(), Numbered("child", i), &value);
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_OBJECT_NAME_NOT_FOUND) << std::hex << status;
    }
    ASSERT_TRUE(Await(fromChild.fds[0], 'D')) << "the child did not finish writing";
    ASSERT_TRUE(Signal(toChild.fds[1], 'V'));

    for (int i = 0; i < kWrites; ++i) {
        Value value;
        ASSERT_EQ(QueryValue(shared.get(), Numbered("child", i), &value), STATUS_SUCCESS) << i;
        EXPECT_EQ(value.data, Dword(ULONG(i)));
    }
    KEY_FULL_INFORMATION info[4];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(shared.get(), KeyFullInformation, info, sizeof info, &length), STATUS_SUCCESS);
    EXPECT_EQ(info[0].SubKeys, ULONG(2 * kWrites));
    EXPECT_EQ(info[0].Values, ULONG(2 * kWrites));
    EXPECT_EQ(child.Wait(kHandshakeTimeoutMs), 0) << "the child saw an error or a missing write (see its stderr)";
}

}  // namespace
}  // namespace vlm::test
