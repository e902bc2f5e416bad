// A fresh kernel on a fresh system root for every test, and the proof at
// the end that nothing leaked: no pool block, handle, reference or object.
#pragma once

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <string>

namespace vlm::test {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Kernel time runs this much faster than real time in tests.
    double clockSpeedup_ = 100.0;
    std::string root_;
};

// Owns a UNICODE_STRING built from UTF-8.
class UString {
public:
    explicit UString(std::string_view utf8);
    UString(const UString&) = delete;
    UString& operator=(const UString&) = delete;
    PUNICODE_STRING get() { return &us_; }
    operator PUNICODE_STRING() { return &us_; }
    PCWSTR c_str() const { return reinterpret_cast<PCWSTR>(buf_.c_str()); }

private:
    std::u16string buf_;
    UNICODE_STRING us_{};
};

// Creates a temporary directory and removes it with everything in it.
std::string MakeTempRoot();
void RemoveTree(const std::string& path);

}  // namespace vlm::test
