// Test and benchmark programs stand where the process entry stands: they hand
// the program image's resource section to the platform before any case runs.
#include "platform/win32.h"
#include "resources/resource_table.h"

namespace
{

const bool g_registered = (RegisterProgramResources(g_resourceTable, g_resourceCount), true);

} // namespace
