// FindFirstFileA as an existence test and as a directory search.
#include "setup_fixture.h"

namespace vlm::test {
namespace {

TEST_F(SetupTest, WildcardSearchReportsEveryMatchThenNoMoreFiles)
{
    WriteInf("b.INF", "x");
    WriteInf("a.INF", "xyz");
    WriteInf("c.txt", "x");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((root_ + "\\*.INF").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::string> names{found.cFileName};
    EXPECT_EQ(found.nFileSizeLow, 3u);
    EXPECT_EQ(found.dwFileAttributes, DWORD(FILE_ATTRIBUTE_NORMAL));
    for (int i = 0; i < 10 && FindNextFileA(search, &found); ++i)
        names.push_back(found.cFileName);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    EXPECT_EQ(names, (std::vector<std::string>{"a.INF", "b.INF"}));
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search)) << "a closed search is no handle";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(SetupTest, FindingNothingFailsWithFileOrPathNotFound)
{
    WIN32_FIND_DATAA found;
    EXPECT_EQ(FindFirstFileA((root_ + "/none.INF").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA((root_ + "/*.none").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA((root_ + "/missing/*.INF").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(SetupTest, ADirectoryIsFoundWithTheDirectoryAttribute)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(root_.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_NE(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    FindClose(search);
}

}  // namespace
}  // namespace vlm::test
