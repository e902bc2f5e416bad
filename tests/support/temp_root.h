// A fresh system root per test, without the kernel's test support (this
// suite is built without the kernel's 16-bit WCHAR).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace vlm::test {

class TempRoot {
public:
    TempRoot()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vlmport.XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        std::filesystem::create_directories(path_ + "/run");
    }
    ~TempRoot()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace vlm::test
