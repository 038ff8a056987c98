// qxfwscan --save-machine: the machine as the scan saw it, written in the
// simulated machine's format (docs/simulated-machine.md) so that the test
// bed can play it back. Everything comes from what the platform answered
// the transport (transport/observed_machine.h): the registry and devices at
// discovery, and each packet of the scan as sent and as answered.
#ifndef QXFW_QXFWSCAN_MACHINE_CAPTURE_H_
#define QXFW_QXFWSCAN_MACHINE_CAPTURE_H_

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/vpd.h"
#include "transport/keyed_hash.h"
#include "transport/observed_machine.h"

/// The capture format this program writes, and the only one the simulated
/// machine plays.
inline constexpr int kCaptureFormat = 1;

/// A port as the capture writes it.
struct CapturedPort {
  int port = 0;
  std::optional<std::string> driver;  // the "Driver" value read, without its NUL
  bool device_missing = false;        // discovery tried to open it and couldn't
  std::optional<std::int8_t> node;    // the node query's answer
  bool node_query_failed = false;
};

/// One answer that differs from "carried out and answered 0".
struct CapturedAnswer {
  std::string operation;  // "mode", "read", "read2", "identify"
  bool failed = false;    // DeviceIoControl returned 0
  std::int8_t status = 0;
  std::uint8_t flag = 0;
  std::int16_t code = 0;
};

/// An adapter as the capture writes it: a node that answered at least one
/// request as something other than "no such node".
struct CapturedAdapter {
  std::uint32_t node = 0;
  std::uint8_t mode = 0;
  /// The record a read brought back; zero bytes when no read was carried out.
  std::array<std::uint8_t, kVpdSize> vpd = {};
  std::optional<bool> partner;  // from an identify that was carried out
  /// The identify answer's bytes, where they are more than the partner byte
  /// among zero bytes (an adapter whose answer says more than the model's).
  std::optional<std::array<std::uint8_t, 8>> identify_bytes;
  bool garbage = false;  // answers overwrote bytes the program doesn't read
  std::vector<CapturedAnswer> answers;
};

struct CapturedMachine {
  std::vector<CapturedPort> ports;
  std::vector<CapturedAdapter> adapters;
};

/// The "capture" object's facts besides its format.
struct CaptureFacts {
  std::string program;  // "qxfwscan VERSION"
  std::string time;     // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  bool redacted = false;
};

/// The machine that `ports` and `requests` show: every port whose key
/// opened, and every node that answered a request as anything but "no such
/// node" (status 1 and nothing else written), with each answer as observed.
CapturedMachine CaptureMachine(const std::array<ObservedPort, kPortCount>& ports,
                               const std::vector<ObservedRequest>& requests);

/// HMAC-SHA-256 of a message under the capture's key.
using SerialMac = std::function<bool(std::string_view message, KeyedHash* mac)>;

/// Replaces the value of every *SN keyword that the VPD keyword walk meets
/// in the adapters' records (its bytes up to the zero bytes that pad it) by
/// a token of as many characters from [A-Za-z0-9_-], derived from `mac`.
/// Equal serials get equal tokens; different serials different ones, and no
/// token is any serial of the machine. Returns an empty string, or why the
/// serials can't be redacted (`mac` failed, or no distinct tokens are left);
/// the records are then unspecified.
[[nodiscard]] std::string RedactSerials(CapturedMachine* machine, const SerialMac& mac);

/// The machine file text of `machine` with its "capture" object.
std::string CaptureText(const CapturedMachine& machine, const CaptureFacts& facts);

#endif  // QXFW_QXFWSCAN_MACHINE_CAPTURE_H_
