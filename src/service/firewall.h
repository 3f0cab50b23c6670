#pragma once
// Firewall mode: six block-everything filters (inbound, outbound and forwarded, IPv4 and IPv6) in a
// dynamic filtering-platform session that lives exactly as long as the engine handle (or the service
// process).

namespace calmlane {

// Opens the engine and commits the sublayer and filters in one transaction; logs and releases on failure.
bool firewallBlock();

// True while a firewall block's engine handle is open.
bool firewallEngineOpen();

// Closes the engine when one is open. False, with the engine kept for a retry, when closing fails.
bool releaseFirewall();

}  // namespace calmlane
