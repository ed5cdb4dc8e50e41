// The text form of fault rules, as fwsim's --fault takes them:
// "PHASE:KIND[:OCCURRENCE[:PARAM[:REPEAT]]]", and the names of phases and kinds.
#include "sim/sim.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace
{

// Names in the order of SimPhase and SimFaultKind (sim.h), indexed by value.
const char* const g_phaseNames[] = {"sync",         "stage1",    "stage2-block", "stage2-final",
                                    "memory-check", "file-size", "image-block",  "final"};
const char* const g_kindNames[] = {"missing", "late", "wrong", "noise", "break", "silence", "unplug", "wrong-check"};
static_assert(sizeof g_phaseNames / sizeof g_phaseNames[0] == static_cast<size_t>(SimPhase::Count));
static_assert(sizeof g_kindNames / sizeof g_kindNames[0] == static_cast<size_t>(SimFaultKind::WrongFinalCheck) + 1);

template <typename T, size_t N> const char* name_of(const char* const (&names)[N], T value)
{
    size_t i = static_cast<size_t>(value);
    return i < N ? names[i] : "?";
}

// The value named by the n characters at p; false when no name is that.
template <typename T, size_t N> bool value_of(const char* const (&names)[N], const char* p, size_t n, T* out)
{
    for (size_t i = 0; i < N; i++)
    {
        if (strlen(names[i]) == n && strncmp(names[i], p, n) == 0)
        {
            *out = static_cast<T>(i);
            return true;
        }
    }
    return false;
}

bool parse_int(const char* p, size_t n, int* out)
{
    std::string t(p, n);
    if (t.empty())
        return false;
    const char* c = t.c_str();
    bool neg = *c == '-';
    if (neg)
        c++;
    int base = (c[0] == '0' && (c[1] == 'x' || c[1] == 'X')) ? 16 : 10;
    if (base == 16)
        c += 2;
    if (!*c)
        return false;
    char* end = nullptr;
    long v = strtol(c, &end, base);
    if (*end || v > 0x7FFFFFFF)
        return false;
    *out = static_cast<int>(neg ? -v : v);
    return true;
}

// Whether the rule's kind and numbers make sense for its phase.
bool fault_consistent(const SimFault& f)
{
    if (f.kind == SimFaultKind::WrongFinalCheck && f.phase != SimPhase::Stage1Ack &&
        f.phase != SimPhase::Stage2FinalAck && f.phase != SimPhase::FinalAck)
        return false;
    if (f.kind == SimFaultKind::Wrong && (f.param < 0 || f.param > 0xFF))
        return false;
    return !((f.kind == SimFaultKind::Late || f.kind == SimFaultKind::Noise) && f.param < 0);
}

} // namespace

bool sim_parse_fault(const char* text, SimFault* out)
{
    std::vector<std::pair<const char*, size_t>> parts;
    const char* p = text;
    for (;;)
    {
        const char* colon = strchr(p, ':');
        size_t n = colon ? static_cast<size_t>(colon - p) : strlen(p);
        parts.emplace_back(p, n);
        if (!colon)
            break;
        p = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 5)
        return false;
    SimFault f{};
    if (!value_of(g_phaseNames, parts[0].first, parts[0].second, &f.phase) ||
        !value_of(g_kindNames, parts[1].first, parts[1].second, &f.kind))
        return false;
    if (parts.size() > 2 && (!parse_int(parts[2].first, parts[2].second, &f.occurrence) || f.occurrence < 0))
        return false;
    if (parts.size() > 3 && !parse_int(parts[3].first, parts[3].second, &f.param))
        return false;
    if (parts.size() > 4 && (!parse_int(parts[4].first, parts[4].second, &f.repeat) || f.repeat == 0 || f.repeat < -1))
        return false;
    if (!fault_consistent(f))
        return false;
    *out = f;
    return true;
}

const char* sim_phase_name(SimPhase phase)
{
    return name_of(g_phaseNames, phase);
}

const char* sim_fault_kind_name(SimFaultKind kind)
{
    return name_of(g_kindNames, kind);
}
