// The line's board: fwboard watches a folder for serial adapters, starts one
// `fwutil --station` child per adapter that appears (each in its own process
// group, with its own record and log), reads the children's progress lines and
// shows one row per adapter (a terminal table, or one line per event when
// headless).
//
// board.cpp holds the options, the adapters coming and going and the poll
// loop; station.cpp the children (starting them, reading their progress lines
// and records, hung and crashed stations, stopping); display.cpp the events,
// the terminal table and its keys.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace board
{

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitSetup = 3;            // the folder, the output folder or fwutil could not be used
constexpr int kExitFirmwareRefused = 13; // as fwutil's own status for a refused set
constexpr int kRedrawMs = 100;           // at most 10 redraws a second
constexpr int kKillAfterTermS = 10;      // a station that ignores SIGTERM this long gets SIGKILL

struct Options
{
    std::string firmware;
    std::string watch = "/dev/serial/by-id";
    std::string match = "*";
    std::string profile;
    std::string ledger;
    std::string out;
    std::string fwutil;
    int timeoutS = 600;
    int marginS = 30; // a station silent for timeoutS + marginS is hung
    bool onlyNew = false;
    bool headless = false;
};

enum class State
{
    Waiting, // plugged in, not started (paused, or present at start with --only-new)
    Running, // its station runs
    Flashed, // its station flashed it
    Failed,  // its station failed (the reason is on the row)
};

struct Adapter
{
    std::string name; // in the watched folder
    bool present = true;
    State state = State::Waiting;
    int runs = 0;
    pid_t pid = -1; // the station's process and group
    int errFd = -1; // its stderr
    int logFd = -1; // its log: stdout and stderr
    std::string partial;
    std::string record, log;
    std::string phase, percent, rate, left, attempt;
    std::string outcome, reason; // from the result line, then the record
    Clock::time_point start, end;
    Clock::time_point lastOutput; // its last bytes on stderr (its start before any)
    Clock::time_point termSent;   // SIGTERM sent to its group (epoch: not)
    bool hung = false;
    bool stopped = false; // stopped by the board at its end
    long peakKiB = 0;
};

struct Board
{
    Options o;
    std::string fwTitle = "?";
    bool ledgerOk = false;
    std::string session; // this run's folder under --out
    FILE* events = nullptr;
    std::vector<std::unique_ptr<Adapter>> rows;
    int sigFd = -1, inFd = -1, watchWd = -1;
    bool watchingDir = false;
    bool paused = false;
    bool stopping = false;
    bool tui = false;
    bool asking = false; // the quit question is up
    bool askYes = false;
    size_t selected = 0;
    bool dirty = true;
    Clock::time_point lastDraw, boardStart;
    int draws = 0; // the table drawn, for the closing line
    std::chrono::system_clock::time_point wallStart;
    int flashed = 0, failed = 0;
    std::string notice; // a line under the table (the last event that is not a row's)
};

extern Board g;

// display.cpp
double secs(Clock::duration d);
std::string clock_text(double s);
void event(const Adapter* a, const std::string& what);
std::string summary();
void draw();
void on_key(int ch);
void start_terminal();
void on_resize();

// station.cpp
int check_firmware();
void start_station(Adapter* a);
void read_station(Adapter* a);
void reap();
int running_count();
void stop_all();
void retry_selected();
void set_paused(bool on);
int check_deadlines();

} // namespace board
