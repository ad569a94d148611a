#pragma once

#include <string_view>

namespace korvane {

// Whether `wanted` names an adapter of Npcap's: by its device name ("\Device\NPF_{...}") or by
// its description ("Intel(R) Ethernet Connection"), either compared without regard to the case
// of ASCII letters, as Windows compares device names and as an operator copies a description
// from the adapter list or the network settings.
bool NamesNpcapAdapter(std::string_view wanted, std::string_view name,
                       std::string_view description);

}  // namespace korvane
