#include "tests/support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace testsupport
{

TempDir::TempDir(const char* prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr)
        path_ = name.data();
}

TempDir::~TempDir()
{
    if (path_.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    if (ec)
        fprintf(stderr, "could not remove %s: %s\n", path_.c_str(), ec.message().c_str());
}

} // namespace testsupport
