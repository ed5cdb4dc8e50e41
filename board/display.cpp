// The display: the events (board.log, and stdout when headless), the terminal
// table, its keys and its set-up.
#include "board/board.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curses.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace board
{

double secs(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string clock_text(double s)
{
    char buf[32];
    long t = (long)s;
    if (t >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else
        snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
    return buf;
}

// One event: a line in the session's board.log, and on stdout when headless.
void event(const Adapter* a, const std::string& what)
{
    char stamp[16];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::string line = std::string(stamp) + " " + (a != nullptr ? a->name + ": " : "") + what;
    if (g.events != nullptr)
    {
        fprintf(g.events, "%s\n", line.c_str());
        fflush(g.events);
    }
    if (!g.tui)
    {
        printf("fwboard: %s\n", line.c_str());
        fflush(stdout);
    }
    else if (a == nullptr)
        g.notice = line;
    g.dirty = true;
}
// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------
namespace
{

double per_hour()
{
    double h = secs(Clock::now() - g.boardStart) / 3600;
    return h > 0 ? g.flashed / h : 0;
}

} // namespace

std::string summary()
{
    char buf[160];
    int waiting = 0;
    for (auto& a : g.rows)
        waiting += a->present && a->state == State::Waiting;
    snprintf(buf, sizeof buf, "flashed %d  failed %d  running %d  waiting %d  %.0f modules an hour", g.flashed,
             g.failed, running_count(), waiting, per_hour());
    return buf;
}
namespace
{

void put(int y, int x, const std::string& text, int width)
{
    if (width <= 0 || y >= LINES)
        return;
    mvaddnstr(y, x, text.c_str(), std::min<int>(width, (int)text.size()));
}
} // namespace

void draw()
{
    g.draws++;
    erase();
    const int W = COLS;
    attron(A_BOLD);
    put(0, 0,
        "fwboard  firmware: " + g.fwTitle + "  watching " + g.o.watch + " (" + g.o.match + ")" +
            (g.paused ? "  PAUSED" : "") + (g.stopping ? "  STOPPING" : ""),
        W);
    attroff(A_BOLD);
    put(1, 0, summary(), W);
    size_t longest = 4;
    for (auto& a : g.rows)
        longest = std::max(longest, a->name.size());
    const int portW = std::clamp((int)longest, 4, std::max(12, W / 3));
    char head[256];
    snprintf(head, sizeof head, "%-*s %-8s %4s %-11s %5s %7s  %s", portW, "PORT", "PHASE", "%", "RATE", "LEFT",
             "ELAPSED", "RESULT");
    attron(A_UNDERLINE);
    put(3, 0, head, W);
    attroff(A_UNDERLINE);
    const int top = 4, bottom = LINES - 2; // rows top..bottom-1; the notice and keys below
    const int visible = std::max(1, bottom - top);
    size_t first = g.selected >= (size_t)visible ? g.selected - visible + 1 : 0;
    for (size_t i = first; i < g.rows.size() && (int)(i - first) < visible; i++)
    {
        const Adapter& a = *g.rows[i];
        double el = a.state == State::Running ? secs(Clock::now() - a.start) : (a.runs > 0 ? secs(a.end - a.start) : 0);
        std::string result;
        if (a.state == State::Flashed)
            result = "flashed";
        else if (a.state == State::Failed)
            result = "FAILED " + a.outcome + ": " + a.reason;
        else if (a.state == State::Waiting)
            result = a.reason.empty() ? (g.paused ? "waiting (paused)" : "waiting") : a.reason;
        else if (!a.attempt.empty())
            result = "attempt " + a.attempt;
        if (!a.present)
            result += a.state == State::Running ? "  (unplugged)" : "  (unplugged: plug in to flash)";
        std::string name = a.name.size() > (size_t)portW ? "~" + a.name.substr(a.name.size() - portW + 1) : a.name;
        char row[512];
        snprintf(row, sizeof row, "%-*s %-8.8s %4s %-11.11s %5s %7s  ", portW, name.c_str(), a.phase.c_str(),
                 a.percent.c_str(), a.rate.c_str(), a.left.c_str(), a.runs > 0 ? clock_text(el).c_str() : "");
        int y = top + (int)(i - first);
        if (i == g.selected)
            attron(A_REVERSE);
        put(y, 0, row, W);
        int color = a.state == State::Flashed ? 1 : a.state == State::Failed ? 2 : 0;
        if (color != 0 && has_colors())
            attron(COLOR_PAIR(color));
        put(y, (int)strlen(row), result, W - (int)strlen(row));
        if (color != 0 && has_colors())
            attroff(COLOR_PAIR(color));
        if (i == g.selected)
            attroff(A_REVERSE);
    }
    if (g.rows.empty())
        put(top, 0, "no adapter yet: plug one in", W);
    put(LINES - 2, 0, g.notice, W);
    if (g.asking)
    {
        std::string q = "Stations running: " + std::to_string(running_count()) + ". Stop them and quit? ";
        put(LINES - 1, 0, q, W);
        int x = (int)q.size();
        if (g.askYes)
            attron(A_REVERSE);
        put(LINES - 1, x, "[ Yes ]", W - x);
        if (g.askYes)
            attroff(A_REVERSE);
        if (!g.askYes)
            attron(A_REVERSE);
        put(LINES - 1, x + 8, "[ No ]", W - x - 8);
        if (!g.askYes)
            attroff(A_REVERSE);
    }
    else
        put(LINES - 1, 0, "q quit  r retry the selected port  p pause/resume new starts  Up/Down select", W);
    refresh();
}

// Returns true when the board should end (quit asked and no station runs).
void on_key(int ch)
{
    if (g.asking)
    {
        if (ch == 'y' || ch == 'Y' || ((ch == '\n' || ch == '\r' || ch == KEY_ENTER) && g.askYes))
        {
            g.asking = false;
            stop_all();
        }
        else if (ch == 'n' || ch == 'N' || ch == 27 || ch == '\n' || ch == '\r' || ch == KEY_ENTER)
            g.asking = false;
        else if (ch == KEY_LEFT || ch == KEY_RIGHT || ch == '\t')
            g.askYes = !g.askYes;
        g.dirty = true;
        return;
    }
    switch (ch)
    {
        case 'q':
        case 'Q':
            if (running_count() > 0)
            {
                g.asking = true;
                g.askYes = false;
            }
            else
                stop_all();
            break;
        case 'r':
        case 'R':
            retry_selected();
            break;
        case 'p':
        case 'P':
            if (!g.stopping)
                set_paused(!g.paused);
            break;
        case KEY_UP:
            g.selected = g.selected > 0 ? g.selected - 1 : 0;
            break;
        case KEY_DOWN:
            g.selected = g.selected + 1 < g.rows.size() ? g.selected + 1 : g.selected;
            break;
        default:
            return;
    }
    g.dirty = true;
}
void start_terminal()
{
    g.tui = !g.o.headless && isatty(0) && isatty(1);
    if (!g.tui)
        return;
    if (newterm(nullptr, stdout, stdin) == nullptr)
    {
        g.tui = false;
        fprintf(stderr, "fwboard: the terminal cannot be drawn on: headless\n");
        return;
    }
    const char* term = getenv("TERM");
    if (term == nullptr || tigetstr(const_cast<char*>("cup")) == nullptr || strcmp(term, "dumb") == 0)
    {
        endwin();
        g.tui = false;
        fprintf(stderr, "fwboard: the terminal (TERM=%s) cannot place the cursor: headless\n",
                term != nullptr ? term : "");
        return;
    }
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    if (has_colors())
    {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_GREEN, -1);
        init_pair(2, COLOR_RED, -1);
    }
}

void on_resize()
{
    struct winsize ws;
    if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
        resizeterm(ws.ws_row, ws.ws_col);
    g.dirty = true;
}
} // namespace board
