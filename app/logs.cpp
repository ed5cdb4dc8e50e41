// Where the trace goes, and the header that starts each run in it. A person
// reads the trace after the fact, so every line carries its time and each
// device keeps a log of its own: stations running side by side never share a
// file.
#include "app/app.h"

#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"
#include "platform/profile/profile.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace app
{
namespace
{

std::string g_logPath;   // the per-device log in use
std::string g_named;     // the trace's file to name at the end: the device's log or --debug FILE
bool g_announce = false; // say at the end how the run ended (the screen hid it)

// The per-device log; false (with the reason) when it cannot be used.
bool open_device_log(const Device& device, std::string* error)
{
    std::string folder;
    if (!plat::debug_log_folder(&folder, error))
        return false;
    std::string path = folder + "/" + plat::debug_log_name(device.profileName, device.port);
    if (!plat::debug_set_sink_log(path, plat::kDebugLogRotateBytes, error))
        return false;
    g_logPath = path;
    return true;
}

void write_line(const std::string& text)
{
    plat::debug_write(plat::utf8_to_utf16(text + "\r\n"));
}

} // namespace

void set_up_debug(const Options& o, const Device& device, bool terminal)
{
    plat::debug_set_format(plat::DebugFormat::Stamped);
    std::string error;
    if (o.debug == "stderr")
        plat::debug_set_sink_stderr();
    else if (o.debug == "off")
        plat::debug_set_sink_off();
    else if (!o.debug.empty())
    {
        if (!plat::debug_set_sink_log(o.debug, plat::kDebugLogRotateBytes, &error))
        {
            fprintf(stderr, "fwutil: cannot write the debug output: %s\n", plat::printable_text(error).c_str());
            exit(kExitUsage);
        }
        g_named = o.debug;
    }
    else if (terminal || o.station)
    {
        // stderr is the screen, or belongs to the station's result line.
        if (open_device_log(device, &error))
            g_named = g_logPath;
        else
        {
            fprintf(stderr, "fwutil: no debug log: %s\n", plat::printable_text(error).c_str());
            if (o.station)
                plat::debug_set_sink_off();
            else
                plat::debug_set_sink_stderr(); // held back while the screen is drawn
        }
    }
    else
        plat::debug_set_sink_stderr();
    g_announce = terminal;
}

void write_run_header(const Options& o, const Device& device, const Firmware& firmware)
{
    write_line("==== " + std::string(kVersionLine) + ", pid " + std::to_string(getpid()) + ", started " +
               iso8601_utc(std::chrono::system_clock::now()) + " ====");
    write_line("profile: " + device.origin + (device.profileName != "built-in" ? " (" + device.profileName + ")" : ""));
    std::string ports = "ports:";
    for (const plat::DeviceSpec& d : plat::device_list())
    {
        std::string kind = port_description(d.name.c_str());
        if (d.type == plat::DeviceType::RilCommand)
            kind = "cmd:" + d.arg;
        else if (d.type == plat::DeviceType::RilLines)
            kind = "lines:" + d.arg;
        else if (d.type == plat::DeviceType::RilSimReset)
            kind = "sim-reset";
        ports += " " + plat::utf16_to_utf8(d.name) + "=" + kind;
    }
    write_line(ports);
    write_line("firmware: " + firmware_summary(firmware));
    if (o.station)
    {
        write_line("station: time limit " + std::to_string(o.timeoutSeconds) + " s, " + std::to_string(o.attempts) +
                   " attempts" + (o.report.empty() ? "" : ", record " + o.report));
    }
}

void write_outcome_line(const std::string& how, int status)
{
    static std::atomic<bool> s_written{false};
    if (s_written.exchange(true))
        return;
    write_line("==== ended " + iso8601_utc(std::chrono::system_clock::now()) + ": " + plat::printable_text(how) +
               ", exit status " + std::to_string(status) + " ====");
}

const std::string& debug_log_path()
{
    return g_logPath;
}

void announce_debug_file(const std::string& ending)
{
    if (g_announce && !ending.empty())
    {
        std::string where = g_named.empty() ? "" : "; the log is in " + g_named;
        fprintf(stderr, "fwutil: %s%s\n", ending.c_str(), where.c_str());
    }
    g_announce = false;
}

} // namespace app
