#include "transport/adapters.h"

#include <cstring>
#include <string>

#include "record/platform_memory.h"
#include "transport/observed_machine.h"
#include "transport/platform.h"
#include "transport/srb_header.h"

namespace {

NodeTable node_table;
std::array<PortFinding, kPortCount> port_findings;

constexpr char kPortKeyPrefix[] = "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port ";
constexpr char kDeviceNamePrefix[] = "\\\\.\\Scsi";
constexpr char kDriverValue[] = "Driver";
constexpr char kDriverName[] = "qarmix";  // compared with its NUL: 7 bytes
constexpr DWORD kDriverValueSize = 16;

// The node query: the header, 112 unset bytes, the node byte at 140.
constexpr std::uint32_t kNodeQuerySize = 144;
constexpr std::uint32_t kNodeQueryLength = kNodeQuerySize - srb::kHeaderSize;
constexpr std::uint32_t kNodeByteAt = 140;

/// True when port `port` has a "Driver" value of exactly "qarmix".
bool PortIsDrivers(int port) {
  const std::string key_path = kPortKeyPrefix + std::to_string(port);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  ObservedPort& observed = MutableObservedPort(port);
  observed.key_opened = true;
  // Zeroed first, so a short value can't match through leftover bytes.
  BYTE value[kDriverValueSize] = {};
  DWORD type = 0;
  DWORD size = kDriverValueSize;
  const LONG result = RegQueryValueExA(key, kDriverValue, nullptr, &type, value, &size);
  RegCloseKey(key);
  if (result == ERROR_SUCCESS) {
    observed.driver_read = true;
    observed.driver.assign(reinterpret_cast<const char*>(value),
                           size < kDriverValueSize ? size : kDriverValueSize);
  }
  return result == ERROR_SUCCESS && std::memcmp(value, kDriverName, sizeof kDriverName) == 0;
}

AdapterHandle OpenPort(int port) {
  return CreateFileA(PortDeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

void DiscoverAdapters() {
  node_table.fill(NodeSlot{});
  port_findings.fill(PortFinding{});
  ResetObservedPorts();
  for (int port = 0; port < kPortCount; ++port) {
    if (!PortIsDrivers(port)) continue;
    port_findings[port].drivers = true;
    node_table[port].Handle = OpenPort(port);
    port_findings[port].opened = node_table[port].Handle != kInvalidAdapterHandle;
    MutableObservedPort(port).open_tried = true;
    MutableObservedPort(port).opened = port_findings[port].opened;
  }
  QueryAdapterNodes();
}

void QueryAdapterNodes() {
  auto* packet = static_cast<std::uint8_t*>(PlatformAllocate(kNodeQuerySize));
  if (packet == nullptr) return;
  std::memset(packet, 0, kNodeQuerySize);
  srb::EncodeHeader(packet, srb::kControlNodeQuery, kNodeQueryLength);
  // One buffer for every port, not rebuilt between them: what the driver
  // left in it on one port goes out to the next.
  for (int port = 0; port < kPortCount; ++port) {
    NodeSlot& slot = node_table[port];
    if (slot.Handle == kInvalidAdapterHandle) continue;
    DWORD returned = 0;
    ObservedPort& observed = MutableObservedPort(port);
    observed.node_query_sent = true;
    if (DeviceIoControl(slot.Handle, IOCTL_SCSI_MINIPORT, packet, kNodeQuerySize, packet,
                        kNodeQuerySize, &returned, nullptr)) {
      slot.NodeNumber = static_cast<std::int8_t>(packet[kNodeByteAt]);
      port_findings[port].node_answered = true;
      observed.node_query_answered = true;
      observed.node_byte = packet[kNodeByteAt];
    }
  }
  PlatformFree(packet);
}

std::int32_t PartnerNode(std::uint32_t node) {
  if (node >= 11 && node <= 18) return static_cast<std::int32_t>(node + 10);
  if (node >= 21 && node <= 28) return static_cast<std::int32_t>(node - 10);
  return -1;
}

AdapterRoute RouteForNode(std::uint32_t node) {
  // An exact match and a partner match rank equally: the lower slot wins.
  const auto partner = static_cast<std::uint32_t>(PartnerNode(node));
  for (int slot = 0; slot < kPortCount; ++slot) {
    const auto number = static_cast<std::uint32_t>(node_table[slot].NodeNumber);
    if (number == node) return {AdapterRoute::kNode, slot};
    if (number == partner) return {AdapterRoute::kPartner, slot};
  }
  for (int slot = 0; slot < kPortCount; ++slot) {
    if (node_table[slot].NodeNumber != 0) return {AdapterRoute::kFirstPort, slot};
  }
  return {};
}

AdapterHandle FindAdapterHandle(std::uint32_t node) {
  const AdapterRoute route = RouteForNode(node);
  return route.slot < 0 ? kInvalidAdapterHandle : node_table[route.slot].Handle;
}

void CloseAdapters() {
  for (const NodeSlot& slot : node_table) {
    if (slot.Handle != kInvalidAdapterHandle) CloseHandle(slot.Handle);
  }
}

const NodeTable& CurrentNodeTable() { return node_table; }

const std::array<PortFinding, kPortCount>& DiscoveredPorts() { return port_findings; }

std::string PortDeviceName(int port) { return kDeviceNamePrefix + std::to_string(port) + ":"; }
