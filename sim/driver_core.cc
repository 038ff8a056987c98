#include "sim/driver_core.h"

#include "util/coding.h"

namespace sim {
namespace {

// Packet layout: a 28-byte header, the DPB copy from offset 28, the data area
// from offset 140.
constexpr std::uint32_t kHeaderLength = 28;
constexpr std::uint32_t kHeaderLengthOffset = 0;
constexpr std::uint32_t kSignatureOffset = 4;
constexpr std::uint32_t kControlCodeOffset = 16;
constexpr std::uint32_t kLengthOffset = 24;
constexpr std::uint32_t kNodeAnswerOffset = 140;
constexpr std::uint32_t kStatusOffset = 39;
constexpr std::uint32_t kNodeOffset = 60;
constexpr std::uint32_t kUnitOffset = 64;
constexpr std::uint32_t kCodeOffset = 68;
constexpr std::uint32_t kClassOffset = 70;
constexpr std::uint32_t kParmOutDescriptor = 72;
constexpr std::uint32_t kDataOutDescriptor = 88;
constexpr std::uint32_t kDataInDescriptor = 104;
constexpr std::uint32_t kParmInDescriptor = 120;
constexpr std::uint32_t kResultCodeOffset = 136;
constexpr std::uint32_t kResultFlagOffset = 138;
constexpr std::uint32_t kDataAreaOffset = 140;
constexpr std::uint32_t kMinTransactionSize = 143;

// A descriptor: Base and Offset count from the data area, then Length.
constexpr std::uint32_t kDescriptorBaseAt = 4;
constexpr std::uint32_t kDescriptorOffsetAt = 8;
constexpr std::uint32_t kDescriptorLengthAt = 12;

// What the adapters understand, as their firmware defines it. These are the
// driver's own numbers, not taken from the tool's requests, so that a wrong
// number there shows up as a request the adapter doesn't know.
constexpr std::uint8_t kClass3 = 3;
constexpr std::uint8_t kClass2 = 2;
constexpr std::uint16_t kOpIdentify = 1;
constexpr std::uint16_t kOpReadMemory = 4;
constexpr std::uint16_t kOpDownload = 7;
constexpr std::uint16_t kOpModeQuery = 11;
constexpr std::uint32_t kClass2ReadUnit = 17;
constexpr std::uint16_t kClass2ReadCode = 3;
constexpr std::uint32_t kNoticeUnit = 31;
constexpr std::uint16_t kPreNoticeCode = 0x225;
constexpr std::uint16_t kPostNoticeCode = 0x224;

// The parameters a read and a download carry in ParmOut.
constexpr std::uint32_t kReadAddressAt = 0;
constexpr std::uint32_t kReadCountAt = 4;
constexpr std::uint32_t kDownloadLengthAt = 0;
constexpr std::uint32_t kDownloadLrcAt = 4;
constexpr std::uint32_t kDownloadCodeIdAt = 8;

/// One request the adapters know: class-3 requests are known by their code
/// whatever their unit, class-2 requests by unit and code.
struct KnownRequest {
  std::uint8_t tx_class;
  std::uint32_t unit;  // class 2 only
  std::uint16_t code;
  Operation op;
};
constexpr KnownRequest kKnownRequests[] = {
    {kClass3, 0, kOpModeQuery, Operation::kModeQuery},
    {kClass3, 0, kOpReadMemory, Operation::kRead},
    {kClass3, 0, kOpIdentify, Operation::kIdentify},
    {kClass3, 0, kOpDownload, Operation::kDownload},
    {kClass2, kClass2ReadUnit, kClass2ReadCode, Operation::kRead2},
    {kClass2, kNoticeUnit, kPreNoticeCode, Operation::kPreNotice},
    {kClass2, kNoticeUnit, kPostNoticeCode, Operation::kPostNotice},
};

constexpr std::uint8_t kNoSuchNodeStatus = 0x01;
constexpr std::uint8_t kRejectedFlag = 1;
constexpr std::uint8_t kNotPartnerByte = 0xFF;
constexpr std::uint32_t kIdentifyPartnerIndex = 6;
constexpr std::uint32_t kReadParmSize = 8;
constexpr std::uint32_t kDownloadParmSize = 16;
constexpr std::uint32_t kLrcSeed = 0xAAAAAAAAu;

constexpr char kServedDriver[] = "qarmix";
constexpr std::uint16_t kServedDriverLength = sizeof(kServedDriver) - 1;
constexpr char kSignature[] = "qarmix ";
constexpr std::uint32_t kCheckedSignatureLength = sizeof(kSignature) - 1;

void CopyBytes(std::uint8_t* to, const std::uint8_t* from, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) to[i] = from[i];
}

void FillZero(std::uint8_t* to, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) to[i] = 0;
}

std::uint32_t Min(std::uint32_t a, std::uint32_t b) { return a < b ? a : b; }

// One of the four areas a descriptor names, already checked to lie inside
// the caller's buffer.
struct Area {
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
};

struct Transaction {
  std::uint32_t node = 0;
  std::uint32_t unit = 0;
  std::uint16_t code = 0;
  std::uint8_t tx_class = 0;
  Area parm_out;
  Area data_out;
  Area data_in;
  Area parm_in;
};

struct Result {
  std::uint8_t flag = 0;
  std::int16_t code = 0;
};

bool HeaderIsWellFormed(const std::uint8_t* buffer, std::uint32_t size) {
  if (size < kHeaderLength) return false;
  if (util::DecodeFixed32(buffer + kHeaderLengthOffset) != kHeaderLength) return false;
  if (util::DecodeFixed32(buffer + kLengthOffset) != size - kHeaderLength) return false;
  for (std::uint32_t i = 0; i < kCheckedSignatureLength; ++i) {
    if (buffer[kSignatureOffset + i] != static_cast<std::uint8_t>(kSignature[i])) return false;
  }
  return true;
}

// Base and Offset count from the data area; the sums are done in 64 bits so
// that no descriptor can wrap around into the buffer.
bool LocateArea(std::uint8_t* buffer, std::uint32_t size, std::uint32_t descriptor, Area* area) {
  const std::uint8_t* d = buffer + descriptor;
  const std::uint64_t start = std::uint64_t{kDataAreaOffset} +
                              util::DecodeFixed32(d + kDescriptorBaseAt) +
                              util::DecodeFixed32(d + kDescriptorOffsetAt);
  const std::uint32_t length = util::DecodeFixed32(d + kDescriptorLengthAt);
  if (start + length > size) return false;
  area->data = buffer + start;
  area->length = length;
  return true;
}

bool DecodeTransaction(std::uint8_t* buffer, std::uint32_t size, Transaction* tx) {
  if (size < kMinTransactionSize) return false;
  tx->node = util::DecodeFixed32(buffer + kNodeOffset);
  tx->unit = util::DecodeFixed32(buffer + kUnitOffset);
  tx->code = util::DecodeFixed16(buffer + kCodeOffset);
  tx->tx_class = buffer[kClassOffset];
  return LocateArea(buffer, size, kParmOutDescriptor, &tx->parm_out) &&
         LocateArea(buffer, size, kDataOutDescriptor, &tx->data_out) &&
         LocateArea(buffer, size, kDataInDescriptor, &tx->data_in) &&
         LocateArea(buffer, size, kParmInDescriptor, &tx->parm_in);
}

// Returns false for a request the driver does not recognise.
bool ClassifyOperation(const Transaction& tx, Operation* op) {
  for (const KnownRequest& known : kKnownRequests) {
    if (tx.tx_class == known.tx_class && tx.code == known.code &&
        (known.tx_class == kClass3 || tx.unit == known.unit)) {
      *op = known.op;
      return true;
    }
  }
  return false;
}

void WriteAnswer(std::uint8_t* buffer, std::int8_t status, std::uint8_t flag, std::int16_t code) {
  buffer[kStatusOffset] = static_cast<std::uint8_t>(status);
  util::EncodeFixed16(buffer + kResultCodeOffset, static_cast<std::uint16_t>(code));
  buffer[kResultFlagOffset] = flag;
}

// Adapter memory holds the VPD record at the mode's address and zero bytes
// everywhere else; modes other than 0 and 1 have no record at all.
std::uint8_t MemoryByte(const AdapterConfig& adapter, std::uint64_t address) {
  std::uint64_t base = 0;
  if (adapter.mode == 0) {
    base = kVpdAddressMode0;
  } else if (adapter.mode == 1) {
    base = kVpdAddressMode1;
  } else {
    return 0;
  }
  if (address < base || address >= base + kVpdSize) return 0;
  return adapter.vpd[address - base];
}

Result ReadMemory(const AdapterConfig& adapter, const Area& parm_out, const Area& into) {
  if (parm_out.length < kReadParmSize) return {kRejectedFlag, 0};
  const std::uint32_t address = util::DecodeFixed32(parm_out.data + kReadAddressAt);
  const std::uint32_t count = Min(util::DecodeFixed32(parm_out.data + kReadCountAt), into.length);
  for (std::uint32_t i = 0; i < count; ++i) {
    into.data[i] = MemoryByte(adapter, std::uint64_t{address} + i);
  }
  return {};
}

// A receiving area shorter than the answer gets what fits.
void AnswerOneByte(const Area& into, std::uint32_t index, std::uint8_t value) {
  FillZero(into.data, into.length);
  if (index < into.length) into.data[index] = value;
}

Result Download(const Transaction& tx, FirmwareRecord& firmware) {
  if (tx.parm_out.length < kDownloadParmSize) return {kRejectedFlag, 0};
  const std::uint32_t length = util::DecodeFixed32(tx.parm_out.data + kDownloadLengthAt);
  const std::uint32_t lrc = util::DecodeFixed32(tx.parm_out.data + kDownloadLrcAt);
  if (length != tx.data_out.length) return {0, kDownloadRejectedCode};
  if (DownloadLrc(tx.data_out.data, tx.data_out.length) != lrc) {
    return {0, kDownloadRejectedCode};
  }
  firmware.length = length;
  firmware.lrc = lrc;
  CopyBytes(firmware.code_id, tx.parm_out.data + kDownloadCodeIdAt, kCodeIdSize);
  if (firmware.download_count != UINT32_MAX) ++firmware.download_count;
  return {};
}

Result CarryOut(Operation op, const AdapterConfig& adapter, FirmwareRecord& firmware,
                const Transaction& tx) {
  switch (op) {
    case Operation::kModeQuery:
      AnswerOneByte(tx.parm_in, 0, adapter.mode);
      return {};
    case Operation::kRead:
      return ReadMemory(adapter, tx.parm_out, tx.data_in);
    case Operation::kRead2:
      return ReadMemory(adapter, tx.parm_out, tx.parm_in);
    case Operation::kIdentify:
      AnswerOneByte(tx.parm_in, kIdentifyPartnerIndex, adapter.partner ? 0 : kNotPartnerByte);
      if (adapter.has_identify_bytes) {
        CopyBytes(tx.parm_in.data, adapter.identify_bytes,
                  Min(tx.parm_in.length, kIdentifyAnswerSize));
      }
      return {};
    case Operation::kDownload:
      return Download(tx, firmware);
    case Operation::kPreNotice:
    case Operation::kPostNotice:
      return {};
  }
  return {kRejectedFlag, 0};
}

// xorshift32: any bytes will do, as long as a run can be repeated.
std::uint8_t NextGarbageByte(std::uint32_t& x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return static_cast<std::uint8_t>(x >> 24);
}

bool Inside(std::uint32_t at, const std::uint8_t* buffer, const Area& area) {
  const auto start = static_cast<std::uint32_t>(area.data - buffer);
  return at >= start && at - start < area.length;
}

// Leaves what the system reads back: the status byte, ResultCode and
// ResultFlag, and the DataIn and ParmIn areas.
void Scribble(std::uint8_t* buffer, std::uint32_t size, const Transaction& tx,
              std::uint32_t& generator) {
  for (std::uint32_t at = 0; at < size; ++at) {
    const bool kept = at == kStatusOffset || (at >= kResultCodeOffset && at <= kResultFlagOffset) ||
                      Inside(at, buffer, tx.data_in) || Inside(at, buffer, tx.parm_in);
    if (!kept) buffer[at] = NextGarbageByte(generator);
  }
}

// A port whose device has gone away fails every call from its limit on.
bool PortStillAnswers(const PortConfig& port, std::uint32_t& served) {
  if (port.transactions_fail) return false;
  if (port.has_transaction_limit && served >= port.transaction_limit) return false;
  ++served;
  return true;
}

bool ServeTransaction(const MachineConfig& config, MachineState& state, int port_index,
                      std::uint8_t* buffer, std::uint32_t size, std::uint32_t& busy_ms) {
  if (!PortStillAnswers(config.ports[port_index], state.transactions[port_index])) return false;
  Transaction tx;
  if (!DecodeTransaction(buffer, size, &tx)) return false;
  const int index = FindAdapter(config, tx.node);
  if (index < 0) {
    buffer[kStatusOffset] = kNoSuchNodeStatus;
    return true;
  }
  Operation op;
  if (!ClassifyOperation(tx, &op)) {
    WriteAnswer(buffer, 0, kRejectedFlag, 0);
    return true;
  }
  const AdapterConfig& adapter = config.adapters[index];
  if (op == Operation::kDownload) busy_ms = adapter.download_ms;
  const Answer& answer = CurrentAnswers(adapter, state.firmware[index])[static_cast<int>(op)];
  if (answer.kind == AnswerKind::kFail) return false;
  const bool overridden = answer.kind == AnswerKind::kOverride;
  if (overridden && (answer.status != 0 || answer.flag != 0)) {
    WriteAnswer(buffer, answer.status, answer.flag, answer.code);
  } else {
    const Result result = CarryOut(op, adapter, state.firmware[index], tx);
    WriteAnswer(buffer, 0, result.flag, overridden ? answer.code : result.code);
  }
  if (adapter.garbage) Scribble(buffer, size, tx, state.garbage);
  return true;
}

bool ServeNodeQuery(const PortConfig& port, std::uint8_t* buffer, std::uint32_t size) {
  if (size <= kNodeAnswerOffset) return false;
  switch (port.node_query) {
    case NodeQueryMode::kOk:
      buffer[kNodeAnswerOffset] = static_cast<std::uint8_t>(port.node);
      return true;
    case NodeQueryMode::kSilent:
      return true;
    case NodeQueryMode::kFail:
      return false;
  }
  return false;
}

// Field by field, so that no machine-sized temporary lands on a kernel stack.
void ResetState(MachineState& state) {
  for (FirmwareRecord& firmware : state.firmware) firmware = FirmwareRecord{};
  for (std::uint32_t& served : state.transactions) served = 0;
  state.garbage = kGarbageSeed;
}

bool ServeRequest(const MachineConfig& config, MachineState& state, int port, std::uint8_t* buffer,
                  std::uint32_t size, std::uint32_t& busy_ms) {
  const PortConfig& port_config = config.ports[port];
  if (!port_config.listed || !PortIsServed(port_config)) return false;
  if (!HeaderIsWellFormed(buffer, size)) return false;
  switch (util::DecodeFixed32(buffer + kControlCodeOffset)) {
    case kNodeQueryControlCode:
      return ServeNodeQuery(port_config, buffer, size);
    case kTransactionControlCode:
      return ServeTransaction(config, state, port, buffer, size, busy_ms);
    default:
      return false;
  }
}

}  // namespace

bool PortIsServed(const PortConfig& port) {
  if (!port.has_driver || port.driver_length != kServedDriverLength) return false;
  for (std::uint16_t i = 0; i < kServedDriverLength; ++i) {
    if (port.driver[i] != kServedDriver[i]) return false;
  }
  return true;
}

std::uint32_t DownloadLrc(const std::uint8_t* data, std::uint32_t length) {
  // Images are megabytes. One running sum makes every add wait for the one
  // before it; eight independent lanes let the compiler keep them in vector
  // registers, and the sum goes at the speed the memory delivers the words.
  // Addition modulo 2^32 commutes, so the lanes may be summed in any order.
  constexpr std::size_t kLanes = 8;
  const std::size_t words = length / 4;
  std::uint32_t lanes[kLanes] = {};
  std::size_t index = 0;
  for (; words - index >= kLanes; index += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      lanes[lane] += util::DecodeFixed32(data + 4 * (index + lane));
    }
  }
  std::uint32_t sum = kLrcSeed;
  for (std::uint32_t lane : lanes) sum += lane;
  for (; index < words; ++index) sum += util::DecodeFixed32(data + 4 * index);
  return sum;
}

const Answer* CurrentAnswers(const AdapterConfig& adapter, const FirmwareRecord& firmware) {
  const bool changed = adapter.has_after_download && firmware.download_count > 0;
  return changed ? adapter.after_download : adapter.answers;
}

int FindAdapter(const MachineConfig& config, std::uint32_t node) {
  for (int i = 0; i < config.adapter_count; ++i) {
    if (config.adapters[i].node == node) return i;
  }
  return -1;
}

void StagedState::Reset() {
  ResetState(current_);
  ResetState(aside_);
}

bool StagedState::ServeAside(const MachineConfig& config, int port, std::uint8_t* buffer,
                             std::uint32_t size, std::uint32_t* busy_ms) {
  aside_ = current_;
  return ServeMiniportRequest(config, aside_, port, buffer, size, busy_ms);
}

bool ServeMiniportRequest(const MachineConfig& config, MachineState& state, int port,
                          std::uint8_t* buffer, std::uint32_t size, std::uint32_t* busy_ms) {
  std::uint32_t busy = 0;
  const bool answered = ServeRequest(config, state, port, buffer, size, busy);
  if (busy_ms != nullptr) *busy_ms = busy;
  return answered;
}

}  // namespace sim
