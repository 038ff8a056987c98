// Adapter discovery and the node table: which SCSI miniport ports the adapter
// driver serves, the node number behind each, and which open port carries a
// request for a given node.
#ifndef QXFW_TRANSPORT_ADAPTERS_H_
#define QXFW_TRANSPORT_ADAPTERS_H_

#include <array>
#include <cstdint>
#include <string>

/// An open port, as the platform's handle; kInvalidAdapterHandle for none.
using AdapterHandle = void*;
inline AdapterHandle const kInvalidAdapterHandle =
    reinterpret_cast<AdapterHandle>(static_cast<std::intptr_t>(-1));

inline constexpr int kPortCount = 16;

/// One slot per SCSI port. An empty slot is {invalid, 0}.
struct NodeSlot {
  AdapterHandle Handle = kInvalidAdapterHandle;
  /// Sign-extended from the driver's byte; 0 when none is known.
  std::int32_t NodeNumber = 0;
};

using NodeTable = std::array<NodeSlot, kPortCount>;

/// Resets the table, then opens every port 0 to 15 whose "Driver" value is
/// exactly "qarmix", and asks each for its node number. Prints nothing and
/// fails nothing: a port that can't be used leaves its slot empty.
void DiscoverAdapters();

/// Asks every open port for its node number, with one packet reused across
/// ports. Called by DiscoverAdapters as its last step.
void QueryAdapterNodes();

/// The partner of a node: 11-18 give n + 10, 21-28 give n - 10, all others -1.
std::int32_t PartnerNode(std::uint32_t node);

/// Which slot carries the requests for a node, and why.
struct AdapterRoute {
  enum Reason {
    kNoSlot,     // none: the requests can't be sent
    kNode,       // the lowest slot that reported the node itself
    kPartner,    // the lowest slot that reported its partner, before any of the node's own
    kFirstPort,  // no slot reported either: the lowest slot with any node
  };
  Reason reason = kNoSlot;
  int slot = -1;
};

/// The route of `node`'s requests. A slot is chosen by its node number, open
/// or not, so a route may lead to a slot whose port is not open.
AdapterRoute RouteForNode(std::uint32_t node);

/// The handle of the port that carries `node`: the lowest slot holding the
/// node or its partner, else the lowest slot with any node, else invalid.
AdapterHandle FindAdapterHandle(std::uint32_t node);

/// Closes every open handle of the table; the slots are left as they are.
void CloseAdapters();

/// The table as discovery left it, for inspection.
const NodeTable& CurrentNodeTable();

/// What discovery found at one port, beyond the table: for reports.
struct PortFinding {
  bool drivers = false;        // its "Driver" value is exactly "qarmix"
  bool opened = false;         // its device opened
  bool node_answered = false;  // the node query succeeded on it
};

/// Every port 0 to 15 as discovery left it.
const std::array<PortFinding, kPortCount>& DiscoveredPorts();

/// The device name of a port, "\\.\ScsiN:".
std::string PortDeviceName(int port);

#endif  // QXFW_TRANSPORT_ADAPTERS_H_
