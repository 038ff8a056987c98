// The simulated adapter driver: a plain-data description of the machine and
// the function that answers one IOCTL_SCSI_MINIPORT buffer the way the driver
// and its adapters would.
//
// This core is freestanding on purpose: it allocates nothing, throws nothing
// and includes nothing beyond <cstdint>/<cstddef>, util/coding.h and the
// freestanding sim/vpd_record.h, so the same source can be built into a kernel-mode stand-in
// driver.
#ifndef QXFW_SIM_DRIVER_CORE_H_
#define QXFW_SIM_DRIVER_CORE_H_

#include <cstddef>
#include <cstdint>

#include "sim/vpd_record.h"

namespace sim {

inline constexpr int kPortCount = 16;
inline constexpr int kMaxAdapters = 256;
inline constexpr int kMaxDriverNameLength = 255;
inline constexpr int kCodeIdSize = 8;
/// The bytes of ParmIn that an identify answer fills.
inline constexpr int kIdentifyAnswerSize = 8;

/// Device handles of each load are numbered from here up, one per
/// CreateFileA that succeeds, so that traces come out the same every run.
inline constexpr std::intptr_t kFirstDeviceHandle = 4;

/// ControlCode values of the packet header.
inline constexpr std::uint32_t kTransactionControlCode = 0x80000001u;
inline constexpr std::uint32_t kNodeQueryControlCode = 0x80000002u;

/// Adapter addresses of the VPD record in adapter mode 0 and mode 1.
inline constexpr std::uint32_t kVpdAddressMode0 = 0x70010u;
inline constexpr std::uint32_t kVpdAddressMode1 = 0x783FFF00u;

/// ResultCode of a download whose length or LRC does not match its image.
inline constexpr std::int16_t kDownloadRejectedCode = -10;

/// The longest time an adapter may take over a download.
inline constexpr std::uint32_t kMaxDownloadMs = 60000;

enum class NodeQueryMode : std::uint8_t { kOk, kFail, kSilent };

/// The adapter operations whose answers a machine can override; the values
/// index AdapterConfig::answers.
enum class Operation : std::uint8_t {
  kModeQuery,
  kRead,
  kRead2,
  kIdentify,
  kDownload,
  kPreNotice,
  kPostNotice,
};
inline constexpr int kOperationCount = 7;

enum class AnswerKind : std::uint8_t {
  kCarryOut,  // no override: the operation is carried out and answered 0
  kOverride,  // answered with the status, flag and code below
  kFail,      // DeviceIoControl returns 0
};

struct Answer {
  AnswerKind kind = AnswerKind::kCarryOut;
  std::int8_t status = 0;
  std::uint8_t flag = 0;
  std::int16_t code = 0;
};

struct PortConfig {
  bool listed = false;
  bool has_driver = false;
  /// The driver name's bytes (without a terminating NUL; it may hold NULs).
  char driver[kMaxDriverNameLength] = {};
  std::uint16_t driver_length = 0;
  bool device_present = true;
  std::int8_t node = 0;
  NodeQueryMode node_query = NodeQueryMode::kOk;
  bool transactions_fail = false;
  /// A device that goes away mid-run: once `transaction_limit` transactions
  /// have been served on the port, every later DeviceIoControl on it fails.
  bool has_transaction_limit = false;
  std::uint32_t transaction_limit = 0;
};

struct AdapterConfig {
  std::uint32_t node = 0;
  std::uint8_t mode = 0;
  bool partner = false;
  /// Every answer also overwrites the packet bytes that the system does not
  /// read back (all but the status, the result bytes and the receiving
  /// areas) with pseudo-random bytes.
  bool garbage = false;
  std::uint8_t vpd[kVpdSize] = {};
  Answer answers[kOperationCount] = {};
  /// Once the adapter holds kept firmware (a good download of this run, or
  /// firmware the machine was loaded with), `after_download` takes the place
  /// of `answers`, as new firmware would change how the adapter answers.
  /// Without it, `answers` stay.
  bool has_after_download = false;
  Answer after_download[kOperationCount] = {};
  /// How long each download request takes the adapter, whatever its
  /// answer: 0 to kMaxDownloadMs milliseconds.
  std::uint32_t download_ms = 0;
  /// What a carried-out identify writes at the start of ParmIn, in place of
  /// zero bytes with the partner byte: the answer a captured adapter gave.
  bool has_identify_bytes = false;
  std::uint8_t identify_bytes[kIdentifyAnswerSize] = {};
};

struct MachineConfig {
  PortConfig ports[kPortCount] = {};
  int adapter_count = 0;
  AdapterConfig adapters[kMaxAdapters] = {};
};

/// Where the garbage generator starts at each load.
inline constexpr std::uint32_t kGarbageSeed = 0x9E3779B9u;

/// What an adapter keeps of its last good download; download_count 0 means
/// it has had none. The count stops at its largest value.
struct FirmwareRecord {
  std::uint32_t length = 0;
  std::uint32_t lrc = 0;
  std::uint8_t code_id[kCodeIdSize] = {};
  std::uint32_t download_count = 0;
};

/// The adapters' changing state, indexed like MachineConfig::adapters.
struct MachineState {
  FirmwareRecord firmware[kMaxAdapters] = {};
  /// Transactions served on each port so far.
  std::uint32_t transactions[kPortCount] = {};
  /// The generator of an adapter's garbage bytes: the same after each load.
  std::uint32_t garbage = kGarbageSeed;
};

/// The adapters' state, with a request served aside: what the request
/// changes becomes the adapters' own only when its caller keeps it, once the
/// request's trace line (or the stand-in driver's record) is out, so that no
/// request happens that the trace lacks. The one home of "serve on a copy,
/// then commit" for both builds.
class StagedState {
 public:
  MachineState& current() { return current_; }
  const MachineState& current() const { return current_; }

  /// The state of a machine just loaded: no firmware, nothing served.
  void Reset();

  /// ServeMiniportRequest on a copy of the current state, which stays as it
  /// was until Keep.
  [[nodiscard]] bool ServeAside(const MachineConfig& config, int port, std::uint8_t* buffer,
                                std::uint32_t size, std::uint32_t* busy_ms);

  /// Makes what the last ServeAside did the adapters' own.
  void Keep() { current_ = aside_; }

 private:
  MachineState current_;
  MachineState aside_;
};

/// The answers the adapter gives now: `after_download` once it holds kept
/// firmware and has them, `answers` otherwise.
const Answer* CurrentAnswers(const AdapterConfig& adapter, const FirmwareRecord& firmware);

/// True when the port's driver is exactly "qarmix", the only driver whose
/// devices answer requests.
bool PortIsServed(const PortConfig& port);

/// The download checksum: 0xAAAAAAAA plus every whole little-endian 32-bit
/// word of the first `length` bytes (a trailing partial word is not counted).
/// REQUIRES: `data` points at `length` readable bytes.
std::uint32_t DownloadLrc(const std::uint8_t* data, std::uint32_t length);

/// Index of the adapter answering to `node` in config.adapters, or -1.
int FindAdapter(const MachineConfig& config, std::uint32_t node);

/// Answers one IOCTL_SCSI_MINIPORT request that arrived on `port` in the
/// caller's buffer (input and output alike), updating `state` for a good
/// download. Returns false when DeviceIoControl must return 0: port not
/// served, malformed packet, an injected failure. The core can't wait: when
/// the request takes the adapter time (a download), it sets *busy_ms to the
/// milliseconds its caller is to wait before the answer counts as given
/// (0 otherwise); a null busy_ms ignores the time.
/// Reads and writes only buffer[0, size).
/// REQUIRES: 0 <= port < kPortCount; `buffer` points at `size` bytes.
[[nodiscard]] bool ServeMiniportRequest(const MachineConfig& config, MachineState& state, int port,
                                        std::uint8_t* buffer, std::uint32_t size,
                                        std::uint32_t* busy_ms = nullptr);

}  // namespace sim

#endif  // QXFW_SIM_DRIVER_CORE_H_
