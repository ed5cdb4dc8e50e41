// Firmware set folders for tests, made with the programs a person uses:
// sha256sum for SHA256SUMS, minisign for keys and signatures.
#include "tests/support/firmware_sets.h"

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fwsets
{
namespace
{

// file          bytes
const struct
{
    const char* file;
    size_t bytes;
} kPayloads[] = {
    {"boot1.bin", 184},
    {"boot2.bin", 7414},
    {"firmware.bin", 2490264},
};

bool run(const std::string& command)
{
    return system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

} // namespace

std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_bytes(const std::string& path, const std::string& bytes, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    ok = fchmod(fd, (mode_t)mode) == 0 && ok;
    return close(fd) == 0 && ok;
}

bool make_set(const std::string& dir, const std::string& version)
{
    if (mkdir(dir.c_str(), 0700) != 0 && chmod(dir.c_str(), 0700) != 0)
        return false;
    std::random_device seed;
    std::mt19937 random(seed());
    for (const auto& p : kPayloads)
    {
        std::string bytes(p.bytes, '\0');
        for (char& c : bytes)
            c = (char)(random() & 0xFF);
        if (!write_bytes(dir + "/" + p.file, bytes))
            return false;
    }
    return write_bytes(dir + "/filesize.bin", std::string("\x3f\xec\xe6", 3)) &&
           write_bytes(dir + "/VERSION", version + "\n") && write_sums(dir);
}

bool write_sums(const std::string& dir)
{
    return run(
        "cd " + quoted(dir) +
        " && sha256sum boot1.bin boot2.bin filesize.bin firmware.bin VERSION >SHA256SUMS && chmod 600 SHA256SUMS");
}

bool have_minisign()
{
    return run("command -v minisign");
}

bool make_key(const std::string& dir, const std::string& name)
{
    return run("minisign -G -f -W -p " + quoted(dir + "/" + name + ".pub") + " -s " +
               quoted(dir + "/" + name + ".key") + " && chmod 600 " + quoted(dir + "/" + name + ".pub"));
}

bool sign(const std::string& setDir, const std::string& keyFile, bool legacy)
{
    return run("minisign -S " + std::string(legacy ? "-l " : "") + "-s " + quoted(keyFile) + " -m " +
               quoted(setDir + "/SHA256SUMS") + " && chmod 600 " + quoted(setDir + "/SHA256SUMS.minisig"));
}

std::string sha256sum_of(const std::string& path)
{
    FILE* p = popen(("sha256sum " + quoted(path)).c_str(), "r");
    if (p == nullptr)
        return "";
    char hex[65] = {};
    size_t n = fread(hex, 1, 64, p);
    pclose(p);
    return std::string(hex, n);
}

std::string key_id(const std::string& pubPath)
{
    const std::string pub = read_bytes(pubPath);
    const size_t at = pub.find("public key ");
    if (at == std::string::npos)
        return "";
    std::string id = pub.substr(at + 11);
    id = id.substr(0, id.find('\n'));
    id.insert(0, 16 - std::min<size_t>(id.size(), 16), '0');
    return id;
}

} // namespace fwsets
