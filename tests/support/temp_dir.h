// A private temporary folder, removed with everything in it when the object
// goes. path() is empty when the folder could not be made.
#pragma once

#include <string>

namespace testsupport
{

class TempDir
{
public:
    explicit TempDir(const char* prefix = "fwtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const
    {
        return path_;
    }

private:
    std::string path_;
};

} // namespace testsupport
