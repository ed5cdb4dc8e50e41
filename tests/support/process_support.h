// Child processes for tests that need a second process: the fwutil or fwsim
// executable, or this test binary running one of its disabled helper cases.
// Output is read through pipes with bounded waits; a child still running at
// the end is killed, so a failing test never leaves one behind.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testproc
{

// The directory of the running test binary, and its path.
std::string self_dir();
std::string self_path();

// An executable built next to the tests' folder (build/tests/../NAME), or
// empty when it was not built.
std::string sibling_executable(const std::string& name);
inline std::string fwutil_path()
{
    return sibling_executable("fwutil");
}

struct Child
{
    pid_t pid = -1;
    int out = -1; // its stdout
    int err = -1; // its stderr
    std::string outText;
    std::string errText;
    int status = -1; // exit status once reaped: the code, or 128 + signal

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
};

// Starts argv[0] with the environment plus extraEnv ("NAME=value"), stdout
// and stderr on pipes, stdin from /dev/null.
bool spawn(Child& c, const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv);

// Reads what is there on both pipes, waiting at most ms for something.
void pump(Child& c, int ms);

// Reads stdout until it holds needle or ms pass.
bool read_until(Child& c, const std::string& needle, int ms);

// Waits for the child to end (reading its output meanwhile) and returns its
// status (the exit code, or 128 + the signal); -1 when ms pass first (the
// child is then killed).
int wait_exit(Child& c, int ms);

} // namespace testproc
