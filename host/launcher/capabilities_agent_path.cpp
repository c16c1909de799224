#include "capabilities_agent.h"

#include <limits.h>
#include <stdlib.h>

namespace zevhost {

// As for the library and the jars: an installed host uses its own prefix's
// agent wherever the prefix was moved, the build tree's host the build's.
std::string capabilitiesAgentPath() {
    char exe[PATH_MAX];
    if (realpath("/proc/self/exe", exe)) {
        std::string dir(exe);
        std::size_t slash = dir.rfind('/');
        char agent[PATH_MAX];
        if (slash != std::string::npos &&
            realpath((dir.substr(0, slash + 1) + ZEV_HOST_INSTALLED_AGENT).c_str(), agent)) {
            return agent;
        }
    }
    return ZEV_HOST_DEFAULT_AGENT;
}

}  // namespace zevhost
