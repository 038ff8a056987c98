#include "qxfwscan/machine_capture.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "record/dpb.h"
#include "transport/passthrough.h"
#include "util/coding.h"

namespace {

// Where the scan's requests are told apart, in the packet as sent.
constexpr std::uint32_t kNodeAt = packet::kDpbAt + dpb::Node.offset;
constexpr std::uint32_t kUnitAt = packet::kDpbAt + dpb::TxUnit.offset;
constexpr std::uint32_t kCodeAt = packet::kDpbAt + dpb::TxCode.offset;
constexpr std::uint32_t kClassAt = packet::kDpbAt + dpb::TxClass.offset;
constexpr std::uint32_t kResultCodeAt = packet::kDpbAt + dpb::ResultCode.offset;
constexpr std::uint32_t kResultFlagAt = packet::kDpbAt + dpb::ResultFlag.offset;

// The driver's answer to a node it has no adapter for.
constexpr std::int8_t kNoSuchNodeStatus = 1;

// The identify answer's partner byte, and where a read's parameters are.
constexpr std::uint32_t kPartnerByteAt = 6;
constexpr std::uint8_t kNotPartnerByte = 0xFF;
constexpr std::uint32_t kReadAddressAt = 0;

// Where an adapter keeps its VPD record in mode 1 (mode 0 elsewhere).
constexpr std::uint32_t kVpdAddressMode1 = 0x783FFF00;

// The VPD keyword's header: '*', two name characters, the length.
constexpr std::uint32_t kKeywordHeaderSize = 4;

constexpr char kTokenAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static_assert(sizeof kTokenAlphabet - 1 == 64, "one token character per six bits");
constexpr int kMaxTokenAttempts = 4096;

/// One area of a packet, located through the descriptor as sent.
struct AreaSpan {
  std::uint32_t at = 0;
  std::uint32_t length = 0;
};

AreaSpan LocateArea(const std::vector<std::uint8_t>& sent, DescriptorField field) {
  const std::uint8_t* d = sent.data() + packet::kDpbAt + field.offset;
  const std::uint64_t at = std::uint64_t{packet::kDataAreaAt} +
                           util::DecodeFixed32(d + descriptor::Base.offset) +
                           util::DecodeFixed32(d + descriptor::Offset.offset);
  const std::uint32_t length = util::DecodeFixed32(d + descriptor::Length.offset);
  if (at + length > sent.size()) return {};
  return {static_cast<std::uint32_t>(at), length};
}

/// One of the scan's requests, as the packets show it.
struct Seen {
  std::string operation;
  const ObservedRequest* request = nullptr;
  AreaSpan parm_out, data_in, parm_in;
  std::int8_t status = 0;
  std::uint8_t flag = 0;
  std::int16_t code = 0;

  bool CarriedOut() const { return request->answered && status == 0 && flag == 0; }
  bool Succeeded() const { return CarriedOut() && code == 0; }
  std::string Bytes(const AreaSpan& area) const {
    return std::string(reinterpret_cast<const char*>(request->answer.data()) + area.at,
                       area.length);
  }
};

std::string OperationOf(const std::vector<std::uint8_t>& sent) {
  const std::uint8_t tx_class = sent[kClassAt];
  const std::uint16_t code = util::DecodeFixed16(sent.data() + kCodeAt);
  const std::uint32_t unit = util::DecodeFixed32(sent.data() + kUnitAt);
  if (tx_class == 3 && code == 11) return "mode";
  if (tx_class == 3 && code == 4) return "read";
  if (tx_class == 3 && code == 1) return "identify";
  if (tx_class == 2 && unit == 17 && code == 3) return "read2";
  return "";
}

Seen Decode(const ObservedRequest& request) {
  Seen seen;
  seen.request = &request;
  seen.operation = OperationOf(request.sent);
  seen.parm_out = LocateArea(request.sent, dpb::ParmOut);
  seen.data_in = LocateArea(request.sent, dpb::DataIn);
  seen.parm_in = LocateArea(request.sent, dpb::ParmIn);
  const std::vector<std::uint8_t>& answer = request.answer;
  seen.status = static_cast<std::int8_t>(answer[packet::kStatusAt]);
  seen.flag = answer[kResultFlagAt];
  seen.code = static_cast<std::int16_t>(util::DecodeFixed16(answer.data() + kResultCodeAt));
  return seen;
}

bool Inside(std::uint32_t at, const AreaSpan& area) {
  return at >= area.at && at - area.at < area.length;
}

/// True when the answer changed bytes other than those an adapter answers
/// in: the status, ResultCode and ResultFlag, DataIn and ParmIn.
bool Scribbled(const Seen& seen) {
  const std::vector<std::uint8_t>& sent = seen.request->sent;
  const std::vector<std::uint8_t>& answer = seen.request->answer;
  for (std::uint32_t at = 0; at < sent.size(); ++at) {
    const bool answered_in = at == packet::kStatusAt ||
                             (at >= kResultCodeAt && at <= kResultFlagAt) ||
                             Inside(at, seen.data_in) || Inside(at, seen.parm_in);
    if (!answered_in && sent[at] != answer[at]) return true;
  }
  return false;
}

/// The driver's "no such node": status 1, and not a byte else written.
bool NoSuchNode(const Seen& seen) {
  const std::vector<std::uint8_t>& sent = seen.request->sent;
  const std::vector<std::uint8_t>& answer = seen.request->answer;
  if (!seen.request->answered || seen.status != kNoSuchNodeStatus) return false;
  for (std::uint32_t at = 0; at < sent.size(); ++at) {
    if (at != packet::kStatusAt && sent[at] != answer[at]) return false;
  }
  return true;
}

/// The answer entry an observed request needs, if any.
std::optional<CapturedAnswer> AnswerEntry(const Seen& seen) {
  CapturedAnswer answer;
  answer.operation = seen.operation;
  if (!seen.request->answered) {
    answer.failed = true;
    return answer;
  }
  if (seen.status == 0 && seen.flag == 0 && seen.code == 0) return std::nullopt;
  answer.status = seen.status;
  answer.flag = seen.flag;
  answer.code = seen.code;
  return answer;
}

bool AllZero(const std::array<std::uint8_t, kVpdSize>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

/// The record a node's reads brought back: the one the program went by
/// first (a read answered 0), else any read that was carried out.
void TakeRecord(const Seen* read, const Seen* read2, CapturedAdapter* adapter) {
  const Seen* chosen = nullptr;
  for (const Seen* candidate : {read, read2}) {
    if (chosen == nullptr && candidate != nullptr && candidate->Succeeded()) chosen = candidate;
  }
  for (const Seen* candidate : {read, read2}) {
    if (chosen == nullptr && candidate != nullptr && candidate->CarriedOut()) chosen = candidate;
  }
  if (chosen == nullptr) return;
  const AreaSpan& area = chosen == read ? chosen->data_in : chosen->parm_in;
  const std::string bytes = chosen->Bytes(area);
  std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), kVpdSize), adapter->vpd.begin());
}

/// The mode whose record address the scan read at.
std::optional<std::uint8_t> ModeOfReads(const Seen* read, const Seen* read2) {
  for (const Seen* candidate : {read, read2}) {
    if (candidate == nullptr || candidate->parm_out.length < 4) continue;
    const std::uint32_t address = util::DecodeFixed32(candidate->request->sent.data() +
                                                      candidate->parm_out.at + kReadAddressAt);
    return address == kVpdAddressMode1 ? 1 : 0;
  }
  return std::nullopt;
}

/// Whether identify showed a partner, and the answer's bytes where the
/// partner byte among zero bytes can't say them.
void TakeIdentify(const std::string& answer, CapturedAdapter* adapter) {
  const auto byte = [&answer](std::size_t i) {
    return i < answer.size() ? static_cast<std::uint8_t>(answer[i]) : std::uint8_t{0};
  };
  adapter->partner = byte(kPartnerByteAt) != kNotPartnerByte;
  std::array<std::uint8_t, 8> bytes = {};
  bool plain = byte(kPartnerByteAt) == 0 || byte(kPartnerByteAt) == kNotPartnerByte;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = byte(i);
    if (i != kPartnerByteAt && bytes[i] != 0) plain = false;
  }
  if (plain) return;
  adapter->partner.reset();
  adapter->identify_bytes = bytes;
}

CapturedAdapter AdapterOf(std::uint32_t node, const std::vector<Seen>& seen) {
  CapturedAdapter adapter;
  adapter.node = node;
  const Seen* by_operation[4] = {};
  const char* const operations[4] = {"mode", "read", "read2", "identify"};
  for (const Seen& s : seen) {
    for (int i = 0; i < 4; ++i) {
      if (s.operation == operations[i] && by_operation[i] == nullptr) by_operation[i] = &s;
    }
    if (s.request->answered && Scribbled(s)) adapter.garbage = true;
  }
  const Seen* mode = by_operation[0];
  const Seen* read = by_operation[1];
  const Seen* read2 = by_operation[2];
  const Seen* identify = by_operation[3];
  for (const Seen* s : by_operation) {
    if (s == nullptr) continue;
    if (std::optional<CapturedAnswer> answer = AnswerEntry(*s)) {
      adapter.answers.push_back(*answer);
    }
  }
  TakeRecord(read, read2, &adapter);
  // The memory of a simulated adapter holds its record where its mode
  // says; a mode answer that the reads contradict (only a mode the program
  // didn't go by can) gives way to the reads.
  const std::optional<std::uint8_t> read_mode = ModeOfReads(read, read2);
  if (mode != nullptr && mode->CarriedOut() && mode->parm_in.length > 0) {
    adapter.mode = mode->request->answer[mode->parm_in.at];
  } else if (read_mode) {
    adapter.mode = *read_mode;
  }
  if (read_mode && adapter.mode != *read_mode && !AllZero(adapter.vpd)) adapter.mode = *read_mode;
  if (identify != nullptr && identify->CarriedOut() && identify->parm_in.length > kPartnerByteAt) {
    TakeIdentify(identify->Bytes(identify->parm_in), &adapter);
  }
  return adapter;
}

CapturedPort PortOf(int number, const ObservedPort& observed) {
  CapturedPort port;
  port.port = number;
  if (observed.driver_read) {
    std::string driver = observed.driver;
    if (!driver.empty() && driver.back() == '\0') driver.pop_back();
    port.driver = driver;
  }
  port.device_missing = observed.open_tried && !observed.opened;
  if (observed.node_query_sent) {
    if (observed.node_query_answered) {
      port.node = static_cast<std::int8_t>(observed.node_byte);
    } else {
      port.node_query_failed = true;
    }
  }
  return port;
}

/// The serial's value bytes in one record: where the keyword walk finds
/// each *SN, up to the zero bytes that pad it.
std::vector<AreaSpan> SerialSpans(const std::array<std::uint8_t, kVpdSize>& record) {
  std::vector<AreaSpan> spans;
  for (const VpdKeyword& keyword : VpdKeywords(record.data())) {
    if (keyword.name != "*SN") continue;
    std::uint32_t length = static_cast<std::uint32_t>(keyword.value.size());
    while (length > 0 && keyword.value[length - 1] == '\0') --length;
    if (length > 0) spans.push_back({keyword.at + kKeywordHeaderSize, length});
  }
  return spans;
}

/// The token of `serial` at one attempt: HMAC blocks, six bits a character.
bool TokenFor(const std::string& serial, int attempt, const SerialMac& mac, std::string* token) {
  token->clear();
  for (int block = 0; token->size() < serial.size(); ++block) {
    std::string message = "qxfw serial";
    message += static_cast<char>(attempt >> 8);
    message += static_cast<char>(attempt & 0xFF);
    message += static_cast<char>(block);
    message += serial;
    KeyedHash hash;
    if (!mac(message, &hash)) return false;
    for (std::uint8_t byte : hash) {
      if (token->size() == serial.size()) break;
      *token += kTokenAlphabet[byte & 63];
    }
  }
  return true;
}

nlohmann::ordered_json AnswerJson(const CapturedAnswer& answer) {
  if (answer.failed) return "fail";
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  if (answer.status != 0) object["status"] = answer.status;
  if (answer.flag != 0) object["flag"] = answer.flag;
  if (answer.code != 0) object["code"] = answer.code;
  return object;
}

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

nlohmann::ordered_json PortJson(const CapturedPort& port) {
  nlohmann::ordered_json json;
  json["port"] = port.port;
  if (port.driver) json["driver"] = *port.driver;
  if (port.device_missing) json["device"] = "missing";
  if (port.node) json["node"] = *port.node;
  if (port.node_query_failed) json["node_query"] = "fail";
  return json;
}

nlohmann::ordered_json AdapterJson(const CapturedAdapter& adapter) {
  nlohmann::ordered_json json;
  json["node"] = adapter.node;
  json["mode"] = adapter.mode;
  if (adapter.partner) json["partner"] = *adapter.partner;
  if (adapter.identify_bytes) json["identify_bytes"] = Hex(*adapter.identify_bytes);
  if (adapter.garbage) json["garbage"] = true;
  if (!adapter.answers.empty()) {
    nlohmann::ordered_json answers = nlohmann::ordered_json::object();
    for (const CapturedAnswer& answer : adapter.answers) {
      answers[answer.operation] = AnswerJson(answer);
    }
    json["answers"] = answers;
  }
  json["vpd"] = {{"hex", Hex(adapter.vpd)}};
  return json;
}

// Driver names are bytes; one that isn't UTF-8 can't stand in JSON as it
// is, and any replacement leaves it a name other than the served driver's.
std::string Dumped(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

template <typename Item, typename ToJson>
std::string List(const std::vector<Item>& items, ToJson to_json) {
  std::string text = "[";
  const char* separator = "\n  ";
  for (const Item& item : items) {
    text += separator;
    text += Dumped(to_json(item));
    separator = ",\n  ";
  }
  text += items.empty() ? "]" : "\n ]";
  return text;
}

}  // namespace

CapturedMachine CaptureMachine(const std::array<ObservedPort, kPortCount>& ports,
                               const std::vector<ObservedRequest>& requests) {
  CapturedMachine machine;
  for (int number = 0; number < kPortCount; ++number) {
    if (ports[number].key_opened) machine.ports.push_back(PortOf(number, ports[number]));
  }
  std::vector<std::uint32_t> order;
  std::map<std::uint32_t, std::vector<Seen>> by_node;
  for (const ObservedRequest& request : requests) {
    if (request.sent.size() < packet::kFixedSize || request.answer.size() != request.sent.size()) {
      continue;
    }
    Seen seen = Decode(request);
    if (seen.operation.empty()) continue;
    const std::uint32_t node = util::DecodeFixed32(request.sent.data() + kNodeAt);
    if (by_node.find(node) == by_node.end()) order.push_back(node);
    by_node[node].push_back(std::move(seen));
  }
  for (std::uint32_t node : order) {
    const std::vector<Seen>& seen = by_node[node];
    if (std::all_of(seen.begin(), seen.end(), NoSuchNode)) continue;
    machine.adapters.push_back(AdapterOf(node, seen));
  }
  return machine;
}

std::string RedactSerials(CapturedMachine* machine, const SerialMac& mac) {
  std::set<std::string> serials;
  for (const CapturedAdapter& adapter : machine->adapters) {
    for (const AreaSpan& span : SerialSpans(adapter.vpd)) {
      serials.emplace(reinterpret_cast<const char*>(adapter.vpd.data()) + span.at, span.length);
    }
  }
  std::map<std::string, std::string> tokens;
  std::set<std::string> taken = serials;
  for (const std::string& serial : serials) {
    std::string token;
    int attempt = 0;
    for (; attempt < kMaxTokenAttempts; ++attempt) {
      if (!TokenFor(serial, attempt, mac, &token)) return "the platform can't compute HMAC-SHA-256";
      if (taken.insert(token).second) break;
    }
    if (attempt == kMaxTokenAttempts) return "no distinct token is left for a serial number";
    tokens[serial] = token;
  }
  for (CapturedAdapter& adapter : machine->adapters) {
    for (const AreaSpan& span : SerialSpans(adapter.vpd)) {
      const std::string serial(reinterpret_cast<const char*>(adapter.vpd.data()) + span.at,
                               span.length);
      const std::string& token = tokens[serial];
      std::copy(token.begin(), token.end(), adapter.vpd.begin() + span.at);
    }
  }
  return "";
}

std::string CaptureText(const CapturedMachine& machine, const CaptureFacts& facts) {
  nlohmann::ordered_json capture;
  capture["format"] = kCaptureFormat;
  capture["program"] = facts.program;
  capture["time"] = facts.time;
  capture["redacted"] = facts.redacted;
  return "{\"capture\": " + Dumped(capture) + ",\n \"ports\": " + List(machine.ports, PortJson) +
         ",\n \"adapters\": " + List(machine.adapters, AdapterJson) + "}\n";
}
