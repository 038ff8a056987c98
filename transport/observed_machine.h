// What the platform answered the transport, kept so that a capture can write
// the machine down as the program saw it: the registry and devices at
// discovery (always: discovery runs before any command line is read, and
// keeps only a few bytes per port), and every request while observing is
// on. Nothing here is taken from the simulated machine's own model, so a
// capture is the same on the Windows build.
#ifndef QXFW_TRANSPORT_OBSERVED_MACHINE_H_
#define QXFW_TRANSPORT_OBSERVED_MACHINE_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/adapters.h"

/// One port 0 to 15 as discovery met it.
struct ObservedPort {
  bool key_opened = false;  // its registry key opened
  /// The "Driver" value query succeeded, and `driver` holds the bytes it
  /// gave (the value as far as the 16-byte buffer the query offers holds it).
  bool driver_read = false;
  std::string driver;
  bool open_tried = false;  // discovery tried to open its device
  bool opened = false;
  bool node_query_sent = false;
  bool node_query_answered = false;  // DeviceIoControl returned nonzero
  std::uint8_t node_byte = 0;        // byte 140 of the packet after the query
};

/// One transaction packet as it went out and came back.
struct ObservedRequest {
  int port = -1;  // the port that carried it
  std::vector<std::uint8_t> sent;
  bool answered = false;  // DeviceIoControl returned nonzero
  /// The packet after the call: the same bytes as `sent` when not answered.
  std::vector<std::uint8_t> answer;
};

/// Every port as the last discovery met it.
const std::array<ObservedPort, kPortCount>& ObservedPorts();

/// Starts keeping every transaction the pass-through sends, dropping those
/// kept before.
void StartObservingRequests();

/// The transactions kept since StartObservingRequests, in the order sent.
const std::vector<ObservedRequest>& ObservedRequests();

/// The pass-through's and discovery's side.
/// REQUIRES: 0 <= port < kPortCount.
ObservedPort& MutableObservedPort(int port);
void ResetObservedPorts();
bool ObservingRequests();
void KeepObservedRequest(ObservedRequest request);

#endif  // QXFW_TRANSPORT_OBSERVED_MACHINE_H_
