#include "sim/machine_image.h"

#include "util/coding.h"

namespace sim {
namespace {

// Image layout, all multi-byte numbers little-endian: a header, then one
// record per listed port, then one per adapter.
constexpr std::uint8_t kMagic[4] = {'Q', 'X', 'M', 'I'};
constexpr std::uint32_t kVersion = 5;
constexpr std::uint32_t kMagicAt = 0;          // 4 bytes
constexpr std::uint32_t kVersionAt = 4;        // u32
constexpr std::uint32_t kPortCountAt = 8;      // u32
constexpr std::uint32_t kAdapterCountAt = 12;  // u32
constexpr std::uint32_t kHeaderSize = 16;

// Port record: a fixed part, then the driver name's bytes.
constexpr std::uint32_t kPortNumberAt = 0;        // u8, 0..15
constexpr std::uint32_t kPortFlagsAt = 1;         // u8, kFlag* bits
constexpr std::uint32_t kPortNodeAt = 2;          // i8
constexpr std::uint32_t kPortNodeQueryAt = 3;     // u8, NodeQueryMode
constexpr std::uint32_t kPortLimitAt = 4;         // u32, with kFlagHasTransactionLimit
constexpr std::uint32_t kPortDriverLengthAt = 8;  // u16, at most kMaxDriverNameLength
constexpr std::uint32_t kPortFixedSize = 10;
constexpr std::uint8_t kFlagHasDriver = 1;
constexpr std::uint8_t kFlagDevicePresent = 2;
constexpr std::uint8_t kFlagTransactionsFail = 4;
constexpr std::uint8_t kFlagHasTransactionLimit = 8;
constexpr std::uint8_t kKnownPortFlags =
    kFlagHasDriver | kFlagDevicePresent | kFlagTransactionsFail | kFlagHasTransactionLimit;

// Adapter record, fixed size; the answers follow in Operation order.
constexpr std::uint32_t kAdapterNodeAt = 0;       // u32
constexpr std::uint32_t kAdapterModeAt = 4;       // u8
constexpr std::uint32_t kAdapterFlagsAt = 5;      // u8, kAdapter* bits
constexpr std::uint32_t kAdapterVpdAt = 6;        // kVpdSize bytes
constexpr std::uint32_t kAdapterAnswersAt = 262;  // kOperationCount answers
constexpr std::uint32_t kAnswerKindAt = 0;        // u8, AnswerKind
constexpr std::uint32_t kAnswerStatusAt = 1;      // i8
constexpr std::uint32_t kAnswerFlagAt = 2;        // u8
constexpr std::uint32_t kAnswerCodeAt = 3;        // i16
constexpr std::uint32_t kAnswerSize = 5;
constexpr std::uint32_t kAdapterDownloadMsAt = kAdapterAnswersAt + kOperationCount * kAnswerSize;
// u32, to kMaxDownloadMs; then the after_download answers, all zero bytes
// without kAdapterAfterDownload.
constexpr std::uint32_t kAdapterAfterDownloadAt = kAdapterDownloadMsAt + 4;
// The firmware the adapter holds at load: u32 length, u32 LRC, the CodeID,
// u32 count of good downloads; all zero bytes when the count is 0.
constexpr std::uint32_t kAdapterKeptAt = kAdapterAfterDownloadAt + kOperationCount * kAnswerSize;
constexpr std::uint32_t kKeptLengthAt = 0;
constexpr std::uint32_t kKeptLrcAt = 4;
constexpr std::uint32_t kKeptCodeIdAt = 8;
constexpr std::uint32_t kKeptCountAt = kKeptCodeIdAt + kCodeIdSize;
constexpr std::uint32_t kKeptSize = kKeptCountAt + 4;
// The identify answer's bytes, all zero without kAdapterIdentifyBytes.
constexpr std::uint32_t kAdapterIdentifyAt = kAdapterKeptAt + kKeptSize;
constexpr std::uint32_t kAdapterRecordSize = kAdapterIdentifyAt + kIdentifyAnswerSize;

constexpr std::uint8_t kAdapterPartner = 1;
constexpr std::uint8_t kAdapterGarbage = 2;
constexpr std::uint8_t kAdapterAfterDownload = 4;
constexpr std::uint8_t kAdapterIdentifyBytes = 8;
constexpr std::uint8_t kKnownAdapterFlags =
    kAdapterPartner | kAdapterGarbage | kAdapterAfterDownload | kAdapterIdentifyBytes;

static_assert(kAdapterAnswersAt == kAdapterVpdAt + kVpdSize, "answers follow the VPD record");
static_assert(kAnswerCodeAt + 2 == kAnswerSize, "the code ends the answer");
static_assert(kAdapterDownloadMsAt == 297, "the download time follows the answers");
static_assert(kAdapterKeptAt == 336 && kAdapterRecordSize == 364, "the identify bytes end it");
static_assert(kPortDriverLengthAt + 2 == kPortFixedSize, "the name follows its length");
static_assert(static_cast<int>(AnswerKind::kFail) == 2 &&
                  static_cast<int>(NodeQueryMode::kSilent) == 2,
              "the decoder's range checks know the last value of each enumeration");

// Reads an image front to back; every Take is checked against the end.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::uint32_t size) : data_(data), left_(size) {}

  const std::uint8_t* Take(std::uint32_t count) {
    if (count > left_) return nullptr;
    const std::uint8_t* at = data_;
    data_ += count;
    left_ -= count;
    return at;
  }

  bool AtEnd() const { return left_ == 0; }

 private:
  const std::uint8_t* data_;
  std::uint32_t left_;
};

void CopyBytes(std::uint8_t* to, const std::uint8_t* from, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

void FillZero(std::uint8_t* to, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) to[i] = 0;
}

// Field by field, so that no machine-sized temporary lands on a kernel stack.
void ResetMachine(MachineConfig& config) {
  for (PortConfig& port : config.ports) port = PortConfig{};
  for (AdapterConfig& adapter : config.adapters) adapter = AdapterConfig{};
  config.adapter_count = 0;
}

std::uint32_t ListedPortCount(const MachineConfig& config) {
  std::uint32_t count = 0;
  for (const PortConfig& port : config.ports) count += port.listed ? 1 : 0;
  return count;
}

std::uint8_t PortFlags(const PortConfig& port) {
  return static_cast<std::uint8_t>((port.has_driver ? kFlagHasDriver : 0) |
                                   (port.device_present ? kFlagDevicePresent : 0) |
                                   (port.transactions_fail ? kFlagTransactionsFail : 0) |
                                   (port.has_transaction_limit ? kFlagHasTransactionLimit : 0));
}

std::uint8_t* EncodePort(int number, const PortConfig& port, std::uint8_t* out) {
  out[kPortNumberAt] = static_cast<std::uint8_t>(number);
  out[kPortFlagsAt] = PortFlags(port);
  out[kPortNodeAt] = static_cast<std::uint8_t>(port.node);
  out[kPortNodeQueryAt] = static_cast<std::uint8_t>(port.node_query);
  util::EncodeFixed32(out + kPortLimitAt, port.transaction_limit);
  util::EncodeFixed16(out + kPortDriverLengthAt, port.driver_length);
  CopyBytes(out + kPortFixedSize, reinterpret_cast<const std::uint8_t*>(port.driver),
            port.driver_length);
  return out + kPortFixedSize + port.driver_length;
}

void EncodeAnswers(const Answer (&answers)[kOperationCount], std::uint8_t* out) {
  for (int op = 0; op < kOperationCount; ++op) {
    const Answer& answer = answers[op];
    std::uint8_t* at = out + op * kAnswerSize;
    at[kAnswerKindAt] = static_cast<std::uint8_t>(answer.kind);
    at[kAnswerStatusAt] = static_cast<std::uint8_t>(answer.status);
    at[kAnswerFlagAt] = answer.flag;
    util::EncodeFixed16(at + kAnswerCodeAt, static_cast<std::uint16_t>(answer.code));
  }
}

void EncodeKept(const FirmwareRecord& kept, std::uint8_t* out) {
  util::EncodeFixed32(out + kKeptLengthAt, kept.length);
  util::EncodeFixed32(out + kKeptLrcAt, kept.lrc);
  CopyBytes(out + kKeptCodeIdAt, kept.code_id, kCodeIdSize);
  util::EncodeFixed32(out + kKeptCountAt, kept.download_count);
}

void EncodeAdapter(const AdapterConfig& adapter, const FirmwareRecord* kept, std::uint8_t* out) {
  util::EncodeFixed32(out + kAdapterNodeAt, adapter.node);
  out[kAdapterModeAt] = adapter.mode;
  out[kAdapterFlagsAt] = static_cast<std::uint8_t>(
      (adapter.partner ? kAdapterPartner : 0) | (adapter.garbage ? kAdapterGarbage : 0) |
      (adapter.has_after_download ? kAdapterAfterDownload : 0) |
      (adapter.has_identify_bytes ? kAdapterIdentifyBytes : 0));
  CopyBytes(out + kAdapterVpdAt, adapter.vpd, kVpdSize);
  EncodeAnswers(adapter.answers, out + kAdapterAnswersAt);
  util::EncodeFixed32(out + kAdapterDownloadMsAt, adapter.download_ms);
  if (adapter.has_after_download) {
    EncodeAnswers(adapter.after_download, out + kAdapterAfterDownloadAt);
  } else {
    FillZero(out + kAdapterAfterDownloadAt, kOperationCount * kAnswerSize);
  }
  if (kept != nullptr && kept->download_count > 0) {
    EncodeKept(*kept, out + kAdapterKeptAt);
  } else {
    FillZero(out + kAdapterKeptAt, kKeptSize);
  }
  if (adapter.has_identify_bytes) {
    CopyBytes(out + kAdapterIdentifyAt, adapter.identify_bytes, kIdentifyAnswerSize);
  } else {
    FillZero(out + kAdapterIdentifyAt, kIdentifyAnswerSize);
  }
}

bool DecodePort(Cursor& cursor, MachineConfig& config) {
  const std::uint8_t* fixed = cursor.Take(kPortFixedSize);
  if (fixed == nullptr) return false;
  const std::uint8_t number = fixed[kPortNumberAt];
  const std::uint8_t flags = fixed[kPortFlagsAt];
  const std::uint8_t node_query = fixed[kPortNodeQueryAt];
  const std::uint16_t driver_length = util::DecodeFixed16(fixed + kPortDriverLengthAt);
  if (number >= kPortCount || config.ports[number].listed) return false;
  if ((flags & ~kKnownPortFlags) != 0) return false;
  if (node_query > static_cast<std::uint8_t>(NodeQueryMode::kSilent)) return false;
  if (driver_length > kMaxDriverNameLength) return false;
  if (driver_length != 0 && (flags & kFlagHasDriver) == 0) return false;
  const std::uint32_t limit = util::DecodeFixed32(fixed + kPortLimitAt);
  if (limit != 0 && (flags & kFlagHasTransactionLimit) == 0) return false;
  const std::uint8_t* name = cursor.Take(driver_length);
  if (name == nullptr) return false;
  PortConfig& port = config.ports[number];
  port.listed = true;
  port.has_driver = (flags & kFlagHasDriver) != 0;
  port.device_present = (flags & kFlagDevicePresent) != 0;
  port.transactions_fail = (flags & kFlagTransactionsFail) != 0;
  port.has_transaction_limit = (flags & kFlagHasTransactionLimit) != 0;
  port.transaction_limit = limit;
  port.node = static_cast<std::int8_t>(fixed[kPortNodeAt]);
  port.node_query = static_cast<NodeQueryMode>(node_query);
  port.driver_length = driver_length;
  CopyBytes(reinterpret_cast<std::uint8_t*>(port.driver), name, driver_length);
  return true;
}

bool DecodeAnswer(const std::uint8_t* at, Answer& answer) {
  if (at[kAnswerKindAt] > static_cast<std::uint8_t>(AnswerKind::kFail)) return false;
  answer.kind = static_cast<AnswerKind>(at[kAnswerKindAt]);
  answer.status = static_cast<std::int8_t>(at[kAnswerStatusAt]);
  answer.flag = at[kAnswerFlagAt];
  answer.code = static_cast<std::int16_t>(util::DecodeFixed16(at + kAnswerCodeAt));
  return true;
}

bool AllZero(const std::uint8_t* at, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (at[i] != 0) return false;
  }
  return true;
}

bool DecodeAnswers(const std::uint8_t* at, Answer (&answers)[kOperationCount]) {
  for (int op = 0; op < kOperationCount; ++op) {
    if (!DecodeAnswer(at + op * kAnswerSize, answers[op])) return false;
  }
  return true;
}

// Firmware without a download is written as zero bytes only.
bool DecodeKept(const std::uint8_t* at, FirmwareRecord& kept) {
  kept.length = util::DecodeFixed32(at + kKeptLengthAt);
  kept.lrc = util::DecodeFixed32(at + kKeptLrcAt);
  CopyBytes(kept.code_id, at + kKeptCodeIdAt, kCodeIdSize);
  kept.download_count = util::DecodeFixed32(at + kKeptCountAt);
  return kept.download_count != 0 || AllZero(at, kKeptSize);
}

bool DecodeAdapter(Cursor& cursor, MachineConfig& config, FirmwareRecord* kept) {
  const std::uint8_t* record = cursor.Take(kAdapterRecordSize);
  if (record == nullptr || (record[kAdapterFlagsAt] & ~kKnownAdapterFlags) != 0) return false;
  const std::uint32_t node = util::DecodeFixed32(record + kAdapterNodeAt);
  if (FindAdapter(config, node) >= 0) return false;
  const std::uint32_t download_ms = util::DecodeFixed32(record + kAdapterDownloadMsAt);
  if (download_ms > kMaxDownloadMs) return false;
  AdapterConfig& adapter = config.adapters[config.adapter_count];
  adapter.node = node;
  adapter.mode = record[kAdapterModeAt];
  adapter.partner = (record[kAdapterFlagsAt] & kAdapterPartner) != 0;
  adapter.garbage = (record[kAdapterFlagsAt] & kAdapterGarbage) != 0;
  adapter.download_ms = download_ms;
  adapter.has_after_download = (record[kAdapterFlagsAt] & kAdapterAfterDownload) != 0;
  CopyBytes(adapter.vpd, record + kAdapterVpdAt, kVpdSize);
  if (!DecodeAnswers(record + kAdapterAnswersAt, adapter.answers)) return false;
  if (adapter.has_after_download) {
    if (!DecodeAnswers(record + kAdapterAfterDownloadAt, adapter.after_download)) return false;
  } else if (!AllZero(record + kAdapterAfterDownloadAt, kOperationCount * kAnswerSize)) {
    return false;
  }
  adapter.has_identify_bytes = (record[kAdapterFlagsAt] & kAdapterIdentifyBytes) != 0;
  if (!adapter.has_identify_bytes && !AllZero(record + kAdapterIdentifyAt, kIdentifyAnswerSize)) {
    return false;
  }
  CopyBytes(adapter.identify_bytes, record + kAdapterIdentifyAt, kIdentifyAnswerSize);
  FirmwareRecord firmware;
  if (!DecodeKept(record + kAdapterKeptAt, firmware)) return false;
  if (kept != nullptr) kept[config.adapter_count] = firmware;
  ++config.adapter_count;
  return true;
}

bool HeaderMatches(const std::uint8_t* header) {
  for (std::uint32_t i = 0; i < sizeof kMagic; ++i) {
    if (header[kMagicAt + i] != kMagic[i]) return false;
  }
  return util::DecodeFixed32(header + kVersionAt) == kVersion;
}

}  // namespace

std::uint32_t MaxMachineImageSize() {
  return kHeaderSize + kPortCount * (kPortFixedSize + kMaxDriverNameLength) +
         kMaxAdapters * kAdapterRecordSize;
}

std::uint32_t MachineImageSize(const MachineConfig& config) {
  std::uint32_t size =
      kHeaderSize + static_cast<std::uint32_t>(config.adapter_count) * kAdapterRecordSize;
  for (const PortConfig& port : config.ports) {
    if (port.listed) size += kPortFixedSize + port.driver_length;
  }
  return size;
}

void EncodeMachineImage(const MachineConfig& config, std::uint8_t* out,
                        const FirmwareRecord* kept) {
  CopyBytes(out + kMagicAt, kMagic, sizeof kMagic);
  util::EncodeFixed32(out + kVersionAt, kVersion);
  util::EncodeFixed32(out + kPortCountAt, ListedPortCount(config));
  util::EncodeFixed32(out + kAdapterCountAt, static_cast<std::uint32_t>(config.adapter_count));
  std::uint8_t* at = out + kHeaderSize;
  for (int i = 0; i < kPortCount; ++i) {
    if (config.ports[i].listed) at = EncodePort(i, config.ports[i], at);
  }
  for (int i = 0; i < config.adapter_count; ++i) {
    EncodeAdapter(config.adapters[i], kept != nullptr ? &kept[i] : nullptr, at);
    at += kAdapterRecordSize;
  }
}

bool DecodeMachineImage(const std::uint8_t* data, std::uint32_t size, MachineConfig& config,
                        FirmwareRecord* kept) {
  ResetMachine(config);
  if (kept != nullptr) {
    for (int i = 0; i < kMaxAdapters; ++i) kept[i] = FirmwareRecord{};
  }
  Cursor cursor(data, size);
  const std::uint8_t* header = cursor.Take(kHeaderSize);
  if (header == nullptr || !HeaderMatches(header)) return false;
  const std::uint32_t ports = util::DecodeFixed32(header + kPortCountAt);
  const std::uint32_t adapters = util::DecodeFixed32(header + kAdapterCountAt);
  if (ports > kPortCount || adapters > kMaxAdapters) return false;
  for (std::uint32_t i = 0; i < ports; ++i) {
    if (!DecodePort(cursor, config)) return false;
  }
  for (std::uint32_t i = 0; i < adapters; ++i) {
    if (!DecodeAdapter(cursor, config, kept)) return false;
  }
  return cursor.AtEnd();
}

}  // namespace sim
