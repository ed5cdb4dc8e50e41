// What the fleet benchmarks share: child processes whose output goes to the
// descriptors the benchmark chose (a pipe, a file), bounded reads from a
// pipe, and the few fields they read from a JSON record.
//
//   bench_spawn        forks and execs args[0] with stdin /dev/null, stdout
//                      on outFd, stderr on errFd and no blocked signals
//   bench_read_until   reads fd into text until it holds needle (null: until
//                      it closes), or ms pass; false when they passed first
//   bench_read_file    a whole file, or empty
//   json_number        the number after "key": (from a position on), or -1
//   json_string        the string after "key": , or empty
//   bench_sim_start    a paced `fwsim --pty` whose stdout is a pipe (its
//                      serving line, then its report) and stderr a file;
//   bench_sim_stop     SIGINT, its report read, its CPU time from wait4
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace benchsupport
{

pid_t bench_spawn(const std::vector<std::string>& args, int outFd, int errFd);
bool bench_read_until(int fd, std::string* text, const char* needle, int ms);
std::string bench_read_file(const std::string& path);
long json_number(const std::string& text, const std::string& key, size_t from = 0);
std::string json_string(const std::string& text, const std::string& key);

struct BenchSim
{
    pid_t pid = -1;
    int out = -1;
    std::string text; // stdout: the serving line, then the report
    std::string pty;  // the far end it serves
    double cpuS = -1;
};
// False when it did not start or said no pty in 10 s (sim->text says what it did say).
bool bench_sim_start(BenchSim* sim, const std::string& fwsim, const std::string& errPath, long baud, int bits);
void bench_sim_stop(BenchSim* sim);

} // namespace benchsupport
