/*
 * Where zev-host finds its capabilities agent (capabilities_agent.cpp): in
 * lib/ beside libzev.so when installed, else in the build tree.
 */
#ifndef ZEV_HOST_CAPABILITIES_AGENT_H
#define ZEV_HOST_CAPABILITIES_AGENT_H

#include <string>

namespace zevhost {

// The agent's path, as -agentpath wants it (absolute).
std::string capabilitiesAgentPath();

}  // namespace zevhost

#endif
