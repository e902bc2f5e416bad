// The buffer rules of ZwQueryKey, ZwEnumerateKey, ZwQueryValueKey and
// ZwEnumerateValueKey for every information class: the layout of a full
// answer, and for each buffer size (none, short of the fixed part, the
// fixed part only, part of the names or data, one byte short, exact, more)
// the status, *ResultLength and exactly which bytes are written.
#include "registry_support.h"

#include <functional>

namespace vlm::test {
namespace {

using namespace registry;

constexpr uint8_t kUntouched = 0xCC;
constexpr ULONG kSlack = 16;

using Query = std::function<NTSTATUS(PVOID buffer, ULONG length, PULONG resultLength)>;

struct Answer {
    NTSTATUS status;
    ULONG resultLength;
    std::vector<uint8_t> bytes;  // the buffer after the call, kSlack bytes longer than offered
};

Answer Ask(const Query& query, ULONG length)
{
    Answer answer;
    answer.bytes.assign(length + kSlack, kUntouched);
    answer.resultLength = 0xFEEDFACE;
    answer.status = query(length ? answer.bytes.data() : nullptr, length, &answer.resultLength);
    return answer;
}

// The full answer, as the exact-size call returns it.
std::vector<uint8_t> FullAnswer(const Query& query, ULONG* total)
{
    Answer probe = Ask(query, 0);
    EXPECT_EQ(probe.status, STATUS_BUFFER_TOO_SMALL);
    *total = probe.resultLength;
    Answer full = Ask(query, *total);
    EXPECT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.resultLength, *total);
    full.bytes.resize(*total);
    return full.bytes;
}

// Every buffer size class against the full answer: below the fixed part
// nothing is written; from there on, exactly the first `length` bytes of
// the full answer are, and nothing after them.
void CheckEverySize(const Query& query, ULONG fixedSize, const char* what)
{
    SCOPED_TRACE(what);
    ULONG total = 0;
    std::vector<uint8_t> full = FullAnswer(query, &total);
    ASSERT_GT(total, fixedSize + 2) << "the cases need a variable part of a few bytes";

    std::vector<ULONG> lengths = {0, 1, fixedSize - 1, fixedSize, fixedSize + 1, fixedSize + 2, (fixedSize + total) / 2,
            total - 1, total, total + 8};
    for (ULONG length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length) + " of " + std::to_string(total));
        Answer answer = Ask(query, length);
        EXPECT_EQ(answer.resultLength, total) << "the size needed is always reported";
        NTSTATUS expected = length < fixedSize ? STATUS_BUFFER_TOO_SMALL
                : length < total               ? STATUS_BUFFER_OVERFLOW
                                               : STATUS_SUCCESS;
        EXPECT_EQ(answer.status, expected);
        ULONG written = length < fixedSize ? 0 : std::min(length, total);
        for (ULONG i = 0; i < answer.bytes.size(); ++i) {
            uint8_t want = i < written ? full[i] : kUntouched;
            if (answer.bytes[i] != want) {
                ADD_FAILURE() << "byte " << i << " is " << int(answer.bytes[i]) << ", expected " << int(want);
                break;
            }
        }
    }
}

template <typename T>
const T* As(const std::vector<uint8_t>& bytes)
{
    return reinterpret_cast<const T*>(bytes.data());
}

std::string NameAt(const std::vector<uint8_t>& bytes, ULONG offset, ULONG length)
{
    return Utf8Of(reinterpret_cast<const WCHAR*>(bytes.data() + offset), length);
}

class RegistryQueryTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora", &parent_), STATUS_SUCCESS);
        // Seven characters: the name ends off a ULONG boundary, so padding shows.
        ASSERT_EQ(CreateKey("Kordia7", &key_, nullptr, parent_.get(), REG_OPTION_NON_VOLATILE, "PortCls"),
                STATUS_SUCCESS);
        Key grandchild;
        ASSERT_EQ(CreateKey("COM3", &grandchild, nullptr, key_.get(), REG_OPTION_NON_VOLATILE, "ClassName"),
                STATUS_SUCCESS);
        ASSERT_EQ(SetDword(key_.get(), "IPAddress", 0x0A01A8C0), STATUS_SUCCESS);
        ASSERT_EQ(SetString(key_.get(), "PortNam", "COM3"), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        key_.Close();
        parent_.Close();
        KernelTest::TearDown();
    }

    Key parent_, key_;
};

// ------------------------------------------------------------- layouts

TEST_F(RegistryQueryTest, ValueFullInformationAlignsDataOnAUlongBoundary)
{
    for (const char* name : {"PortNam", "IPAddress"}) {
        SCOPED_TRACE(name);
        UString us(name);
        ULONG total = 0;
        auto full = FullAnswer(
                [&](PVOID b, ULONG l, PULONG r) {
                    return ZwQueryValueKey(key_.get(), us, KeyValueFullInformation, b, l, r);
                },
                &total);
        auto* info = As<KEY_VALUE_FULL_INFORMATION>(full);
        ULONG nameBytes = ULONG(strlen(name) * 2);
        ULONG nameEnd = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + nameBytes;
        EXPECT_EQ(info->NameLength, nameBytes);
        EXPECT_EQ(NameAt(full, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name), info->NameLength), name);
        EXPECT_EQ(info->DataOffset, (nameEnd + 3) & ~3u);
        EXPECT_EQ(info->DataOffset % 4, 0u);
        EXPECT_EQ(total, info->DataOffset + info->DataLength);
        EXPECT_EQ(info->TitleIndex, 0u);
    }
    UString us("PortNam");
    ULONG total = 0;
    auto full =
            FullAnswer([&](PVOID b, ULONG l,
                               PULONG r) { return ZwQueryValueKey(key_.get(), us, KeyValueFullInformation, b, l, r); },
                    &total);
    auto* info = As<KEY_VALUE_FULL_INFORMATION>(full);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataOffset, 36u) << "20 bytes of fixed part, 14 of name, 2 of padding";
    EXPECT_EQ(std::vector<uint8_t>(full.begin() + info->DataOffset, full.end()),
            (std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0}));
}

TEST_F(RegistryQueryTest, ValueBasicAndPartialLayouts)
{
    UString us("IPAddress");
    ULONG total = 0;
    auto basic =
            FullAnswer([&](PVOID b, ULONG l,
                               PULONG r) { return ZwQueryValueKey(key_.get(), us, KeyValueBasicInformation, b, l, r); },
                    &total);
    EXPECT_EQ(total, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) + 18u);
    EXPECT_EQ(As<KEY_VALUE_BASIC_INFORMATION>(basic)->Type, ULONG(REG_DWORD));
    EXPECT_EQ(NameAt(basic, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), 18), "IPAddress");

    auto partial = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) {
                return ZwQueryValueKey(key_.get(), us, KeyValuePartialInformation, b, l, r);
            },
            &total);
    EXPECT_EQ(total, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 4u);
    EXPECT_EQ(As<KEY_VALUE_PARTIAL_INFORMATION>(partial)->DataLength, 4u);
    EXPECT_EQ(std::vector<uint8_t>(partial.begin() + 12, partial.end()), Dword(0x0A01A8C0));
}

TEST_F(RegistryQueryTest, KeyBasicNodeAndFullLayouts)
{
    ULONG total = 0;
    auto basic = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(key_.get(), KeyBasicInformation, b, l, r); }, &total);
    EXPECT_EQ(As<KEY_BASIC_INFORMATION>(basic)->NameLength, 14u);
    EXPECT_EQ(NameAt(basic, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), 14), "Kordia7");
    EXPECT_GT(As<KEY_BASIC_INFORMATION>(basic)->LastWriteTime.QuadPart, 0);

    auto node = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(key_.get(), KeyNodeInformation, b, l, r); }, &total);
    auto* nodeInfo = As<KEY_NODE_INFORMATION>(node);
    ULONG nameEnd = FIELD_OFFSET(KEY_NODE_INFORMATION, Name) + 14;
    EXPECT_EQ(nodeInfo->ClassOffset, (nameEnd + 3) & ~3u);
    EXPECT_EQ(nodeInfo->ClassLength, 14u);
    EXPECT_EQ(NameAt(node, nodeInfo->ClassOffset, nodeInfo->ClassLength), "PortCls");
    EXPECT_EQ(total, nodeInfo->ClassOffset + 14);

    auto full = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(key_.get(), KeyFullInformation, b, l, r); }, &total);
    auto* fullInfo = As<KEY_FULL_INFORMATION>(full);
    EXPECT_EQ(fullInfo->ClassOffset, ULONG(FIELD_OFFSET(KEY_FULL_INFORMATION, Class)));
    EXPECT_EQ(NameAt(full, fullInfo->ClassOffset, fullInfo->ClassLength), "PortCls");
    EXPECT_EQ(fullInfo->SubKeys, 1u);
    EXPECT_EQ(fullInfo->MaxNameLen, 8u) << "COM3, in bytes";
    EXPECT_EQ(fullInfo->MaxClassLen, 18u) << "ClassName, in bytes";
    EXPECT_EQ(fullInfo->Values, 2u);
    EXPECT_EQ(fullInfo->MaxValueNameLen, 18u) << "IPAddress, in bytes";
    EXPECT_EQ(fullInfo->MaxValueDataLen, 10u) << "COM3 and its NUL";
}

TEST_F(RegistryQueryTest, KeysWithoutClassHaveNoClassOffset)
{
    ULONG total = 0;
    auto node = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(parent_.get(), KeyNodeInformation, b, l, r); }, &total);
    EXPECT_EQ(As<KEY_NODE_INFORMATION>(node)->ClassOffset, 0xFFFFFFFFu);
    EXPECT_EQ(As<KEY_NODE_INFORMATION>(node)->ClassLength, 0u);
    EXPECT_EQ(total, FIELD_OFFSET(KEY_NODE_INFORMATION, Name) + 14u) << "Velmora";
}

TEST_F(RegistryQueryTest, KeyNameInformationIsTheFullNativePath)
{
    ULONG total = 0;
    auto name = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(key_.get(), KeyNameInformation, b, l, r); }, &total);
    auto* info = As<KEY_NAME_INFORMATION>(name);
    EXPECT_EQ(NameAt(name, FIELD_OFFSET(KEY_NAME_INFORMATION, Name), info->NameLength),
            "\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora\\Kordia7");
}

TEST_F(RegistryQueryTest, EnumerateKeyDescribesTheSubkey)
{
    ULONG total = 0;
    auto node = FullAnswer(
            [&](PVOID b, ULONG l, PULONG r) { return ZwEnumerateKey(key_.get(), 0, KeyNodeInformation, b, l, r); },
            &total);
    auto* info = As<KEY_NODE_INFORMATION>(node);
    EXPECT_EQ(NameAt(node, FIELD_OFFSET(KEY_NODE_INFORMATION, Name), info->NameLength), "COM3");
    EXPECT_EQ(NameAt(node, info->ClassOffset, info->ClassLength), "ClassName");

    uint8_t buffer[256];
    ULONG length = 0;
    EXPECT_EQ(
            ZwEnumerateKey(key_.get(), 0, KeyNameInformation, buffer, sizeof buffer, &length), STATUS_INVALID_PARAMETER)
            << "enumeration offers no full names";
}

TEST_F(RegistryQueryTest, UnknownInformationClassesAreInvalidParameters)
{
    uint8_t buffer[256];
    ULONG length = 0;
    UString us("IPAddress");
    EXPECT_EQ(ZwQueryKey(key_.get(), KEY_INFORMATION_CLASS(42), buffer, sizeof buffer, &length),
            STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(key_.get(), us, KEY_VALUE_INFORMATION_CLASS(42), buffer, sizeof buffer, &length),
            STATUS_INVALID_PARAMETER);
}

// --------------------------------------------------------- buffer sizes

TEST_F(RegistryQueryTest, QueryValueKeyBufferSizesForEveryClass)
{
    UString us("PortNam");
    struct {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG fixed;
        const char* name;
    } cases[] = {
            {KeyValueBasicInformation, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), "basic"},
            {KeyValueFullInformation, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name), "full"},
            {KeyValuePartialInformation, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data), "partial"},
    };
    for (const auto& c : cases) {
        CheckEverySize(
                [&](PVOID b, ULONG l, PULONG r) { return ZwQueryValueKey(key_.get(), us, c.infoClass, b, l, r); },
                c.fixed, c.name);
    }
}

TEST_F(RegistryQueryTest, EnumerateValueKeyBufferSizesForEveryClass)
{
    struct {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG fixed;
        const char* name;
    } cases[] = {
            {KeyValueBasicInformation, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name), "basic"},
            {KeyValueFullInformation, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name), "full"},
            {KeyValuePartialInformation, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data), "partial"},
    };
    for (const auto& c : cases) {
        CheckEverySize(
                [&](PVOID b, ULONG l, PULONG r) { return ZwEnumerateValueKey(key_.get(), 1, c.infoClass, b, l, r); },
                c.fixed, c.name);
    }
}

TEST_F(RegistryQueryTest, QueryKeyBufferSizesForEveryClass)
{
    struct {
        KEY_INFORMATION_CLASS infoClass;
        ULONG fixed;
        const char* name;
    } cases[] = {
            {KeyBasicInformation, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), "basic"},
            {KeyNodeInformation, FIELD_OFFSET(KEY_NODE_INFORMATION, Name), "node"},
            {KeyFullInformation, FIELD_OFFSET(KEY_FULL_INFORMATION, Class), "full"},
            {KeyNameInformation, FIELD_OFFSET(KEY_NAME_INFORMATION, Name), "name"},
    };
    for (const auto& c : cases) {
        CheckEverySize([&](PVOID b, ULONG l, PULONG r) { return ZwQueryKey(key_.get(), c.infoClass, b, l, r); },
                c.fixed, c.name);
    }
}

TEST_F(RegistryQueryTest, EnumerateKeyBufferSizesForEveryClass)
{
    struct {
        KEY_INFORMATION_CLASS infoClass;
        ULONG fixed;
        const char* name;
    } cases[] = {
            {KeyBasicInformation, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), "basic"},
            {KeyNodeInformation, FIELD_OFFSET(KEY_NODE_INFORMATION, Name), "node"},
            {KeyFullInformation, FIELD_OFFSET(KEY_FULL_INFORMATION, Class), "full"},
    };
    for (const auto& c : cases) {
        CheckEverySize([&](PVOID b, ULONG l, PULONG r) { return ZwEnumerateKey(key_.get(), 0, c.infoClass, b, l, r); },
                c.fixed, c.name);
    }
}

// The driver reads PortName as KeyValueFullInformation into 255 bytes and
// treats STATUS_BUFFER_OVERFLOW as failure: a short name fits, a long one
// overflows with the fixed part filled.
TEST_F(RegistryQueryTest, PortNameInA255ByteBuffer)
{
    ASSERT_EQ(SetString(key_.get(), "PortName", "COM3"), STATUS_SUCCESS);
    ASSERT_EQ(SetString(key_.get(), "LongName", std::string(200, 'X')), STATUS_SUCCESS);
    uint8_t buffer[255];
    ULONG length = 0;
    UString portName("PortName");
    EXPECT_EQ(ZwQueryValueKey(key_.get(), portName, KeyValueFullInformation, buffer, sizeof buffer, &length),
            STATUS_SUCCESS);
    EXPECT_EQ(length, 36u + 10u);
    UString longName("LongName");
    EXPECT_EQ(ZwQueryValueKey(key_.get(), longName, KeyValueFullInformation, buffer, sizeof buffer, &length),
            STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 36u + 402u);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer)->DataLength, 402u);
}

}  // namespace
}  // namespace vlm::test
