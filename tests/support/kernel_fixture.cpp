#include "kernel_fixture.h"

#include <cstdlib>
#include <filesystem>

namespace vlm::test {

std::string MakeTempRoot()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "vlmtest.XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void KernelTest::SetUp()
{
    root_ = MakeTempRoot();
    nt::KernelOptions options;
    options.systemRoot = root_;
    options.clockSpeedup = clockSpeedup_;
    ASSERT_EQ(nt::KernelStart(options), STATUS_SUCCESS);
}

void KernelTest::TearDown()
{
    nt::KernelShutdown();
    nt::ExPoolClearFailures();
    auto pool = nt::ExPoolSnapshot();
    for (const auto& [tag, usage] : pool) {
        char t[5] = {char(tag & 0xff), char(tag >> 8 & 0xff), char(tag >> 16 & 0xff), char(tag >> 24 & 0xff), 0};
        ADD_FAILURE() << "pool leak: tag '" << t << "' (" << std::hex << tag << std::dec << "): " << usage.blocks
                      << " blocks, " << usage.bytes << " bytes";
    }
    auto counts = nt::ObQueryCounts();
    EXPECT_EQ(counts.handles, 0) << "handles left open";
    EXPECT_EQ(counts.references, 0) << "object references not dropped";
    for (const auto& [type, n] : counts.byType)
        EXPECT_EQ(n, 0) << "objects of type " << type << " still alive";
    RemoveTree(root_);
}

UString::UString(std::string_view utf8) : buf_(nt::Utf8ToWide(utf8))
{
    us_.Buffer = reinterpret_cast<PWSTR>(buf_.data());
    us_.Length = USHORT(buf_.size() * sizeof(WCHAR));
    us_.MaximumLength = USHORT(us_.Length + sizeof(WCHAR));
}

}  // namespace vlm::test
