// Whether a file or folder read from disk may make this user act: profiles,
// firmware sets, signing keys, the folders reports and logs go to. The rule is
// ssh's for its own configuration: the thing itself and every folder above it
// belong to this user or to root, and none of them can be written by group or
// others, so nobody else can have put it there or swapped it since.
//
//   path_trusted   true, or false with one reason naming the offending path
//                  ("/etc/fwutil/adapter.reg: writable by group or others
//                  (mode 0666)"). A folder with the sticky bit owned by root
//                  (/tmp) is passed: nobody else may rename or remove what
//                  this user made in it.
#pragma once

#include <string>

namespace plat
{

enum class TrustKind
{
    File,   // a regular file (a link is followed, then its target is judged)
    Folder, // a directory
    Any,    // whatever it is; only owner and mode are judged
};

bool path_trusted(const std::string& path, TrustKind kind, std::string* reason);

// What a file that is not a regular one is called in a refusal: "a symbolic
// link", "a FIFO", "a folder", "a device", "a socket".
const char* file_type_name(unsigned mode);

} // namespace plat
