#include "sim/machine_file.h"

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/json_syntax.h"

namespace sim {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kVpdHexDigits = 2 * kVpdSize;

// The format of a machine that qxfwscan --save-machine wrote.
constexpr std::int64_t kCaptureFormat = 1;

constexpr std::string_view kOperationNames[kOperationCount] = {
    "mode", "read", "read2", "identify", "download", "pre_notice", "post_notice"};

// Checks each part of the document against the machine format, keeping the
// first complaint.
class Reader {
 public:
  explicit Reader(MachineConfig& config) : config_(config) {}

  const std::string& error() const { return error_; }

  bool ReadMachine(const Json& doc) {
    if (!doc.is_object()) return Fail("", "the machine must be a JSON object");
    if (!CheckFields(doc, "", {"capture", "ports", "adapters"})) return false;
    if (const Json* capture = Find(doc, "capture")) {
      if (!ReadCapture(*capture, "capture")) return false;
    }
    if (const Json* ports = Find(doc, "ports")) {
      if (!ReadList(*ports, "ports", kPortCount, &Reader::ReadPort)) return false;
    }
    if (const Json* adapters = Find(doc, "adapters")) {
      if (!ReadList(*adapters, "adapters", kMaxAdapters, &Reader::ReadAdapter)) return false;
    }
    return true;
  }

 private:
  using ItemReader = bool (Reader::*)(const Json&, const std::string&);

  bool Fail(const std::string& path, const std::string& message) {
    error_ = At(path, message);
    return false;
  }

  static const Json* Find(const Json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
  }

  bool CheckFields(const Json& object, const std::string& path,
                   std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : object.items()) {
      bool known = false;
      for (std::string_view name : allowed) known = known || key == name;
      if (!known) return Fail(path, "unknown field " + Quoted(key));
    }
    return true;
  }

  bool RequireObject(const Json& value, const std::string& path) {
    return value.is_object() || Fail(path, "must be an object");
  }

  bool ReadList(const Json& list, const std::string& path, std::size_t max_items,
                ItemReader read_item) {
    if (!list.is_array()) return Fail(path, "must be an array");
    if (list.size() > max_items) {
      return Fail(path, "holds " + std::to_string(list.size()) + " entries, at most " +
                            std::to_string(max_items) + " are allowed");
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!(this->*read_item)(list[i], Element(path, i))) return false;
    }
    return true;
  }

  bool ReadInteger(const Json& value, const std::string& path, std::int64_t min, std::int64_t max,
                   std::int64_t* out) {
    const std::string range =
        "must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
    if (!value.is_number_integer()) return Fail(path, range);
    if (value.is_number_unsigned()) {
      const std::uint64_t big = value.get<std::uint64_t>();
      if (big > static_cast<std::uint64_t>(max)) return Fail(path, range);
      *out = static_cast<std::int64_t>(big);
      return true;
    }
    const std::int64_t number = value.get<std::int64_t>();
    if (number < min || number > max) return Fail(path, range);
    *out = number;
    return true;
  }

  // Reads one of `choices` into *index.
  bool ReadChoice(const Json& value, const std::string& path,
                  std::initializer_list<std::string_view> choices, int* index) {
    if (value.is_string()) {
      int i = 0;
      for (std::string_view choice : choices) {
        if (value.get_ref<const std::string&>() == choice) {
          *index = i;
          return true;
        }
        ++i;
      }
    }
    std::string message = "must be";
    int i = 0;
    for (std::string_view choice : choices) {
      message += i == 0 ? " " : (i + 1 == static_cast<int>(choices.size()) ? " or " : ", ");
      message += Quoted(choice);
      ++i;
    }
    return Fail(path, message);
  }

  // Reads an optional integer field into *out, leaving it alone when absent.
  template <typename T>
  bool OptionalInteger(const Json& object, const std::string& path, std::string_view key,
                       std::int64_t min, std::int64_t max, T* out) {
    const Json* value = Find(object, key);
    if (value == nullptr) return true;
    std::int64_t number = 0;
    if (!ReadInteger(*value, Member(path, key), min, max, &number)) return false;
    *out = static_cast<T>(number);
    return true;
  }

  bool OptionalChoice(const Json& object, const std::string& path, std::string_view key,
                      std::initializer_list<std::string_view> choices, int* index) {
    const Json* value = Find(object, key);
    return value == nullptr || ReadChoice(*value, Member(path, key), choices, index);
  }

  // A machine that qxfwscan --save-machine wrote. Its format is checked
  // before its other fields, so that a later format is refused by its
  // number rather than by a field this one doesn't know.
  bool ReadCapture(const Json& capture, const std::string& path) {
    if (!RequireObject(capture, path)) return false;
    const Json* format = Find(capture, "format");
    if (format == nullptr) return Fail(path, "missing required field \"format\"");
    if (!format->is_number_integer() || format->get<std::int64_t>() != kCaptureFormat ||
        (format->is_number_unsigned() && format->get<std::uint64_t>() != kCaptureFormat)) {
      return Fail(Member(path, "format"), "capture format " + format->dump() +
                                              " is unknown: this simulated machine plays " +
                                              "captures of format " +
                                              std::to_string(kCaptureFormat) + " only");
    }
    if (!CheckFields(capture, path, {"format", "program", "time", "redacted"})) return false;
    for (const std::string_view text : {"program", "time"}) {
      const Json* value = Find(capture, text);
      if (value != nullptr && !value->is_string())
        return Fail(Member(path, text), "must be a string");
    }
    bool redacted = false;
    return ReadFlag(capture, path, "redacted", &redacted);
  }

  bool ReadPort(const Json& item, const std::string& path) {
    if (!RequireObject(item, path)) return false;
    if (!CheckFields(
            item, path,
            {"port", "driver", "device", "node", "node_query", "transactions", "fail_after"})) {
      return false;
    }
    const Json* number = Find(item, "port");
    if (number == nullptr) return Fail(path, "missing required field \"port\"");
    std::int64_t index = 0;
    if (!ReadInteger(*number, Member(path, "port"), 0, kPortCount - 1, &index)) return false;
    PortConfig& port = config_.ports[index];
    if (port.listed) {
      return Fail(Member(path, "port"), "port " + std::to_string(index) + " is listed twice");
    }
    port.listed = true;
    int device = 0;
    int node_query = 0;
    int transactions = 0;
    if (!ReadDriver(item, path, port) ||
        !OptionalChoice(item, path, "device", {"present", "missing"}, &device) ||
        !OptionalInteger(item, path, "node", -128, 127, &port.node) ||
        !OptionalChoice(item, path, "node_query", {"ok", "fail", "silent"}, &node_query) ||
        !OptionalChoice(item, path, "transactions", {"ok", "fail"}, &transactions) ||
        !OptionalInteger(item, path, "fail_after", 0, UINT32_MAX, &port.transaction_limit)) {
      return false;
    }
    port.has_transaction_limit = Find(item, "fail_after") != nullptr;
    port.device_present = device == 0;
    port.node_query = static_cast<NodeQueryMode>(node_query);
    port.transactions_fail = transactions == 1;
    return true;
  }

  bool ReadDriver(const Json& item, const std::string& path, PortConfig& port) {
    const Json* driver = Find(item, "driver");
    if (driver == nullptr) return true;
    const std::string field = Member(path, "driver");
    if (!driver->is_string()) return Fail(field, "must be a string");
    const std::string& name = driver->get_ref<const std::string&>();
    if (name.size() > static_cast<std::size_t>(kMaxDriverNameLength)) {
      return Fail(field, "is longer than " + std::to_string(kMaxDriverNameLength) + " bytes");
    }
    port.has_driver = true;
    port.driver_length = static_cast<std::uint16_t>(name.size());
    name.copy(port.driver, name.size());
    return true;
  }

  bool ReadAdapter(const Json& item, const std::string& path) {
    if (!RequireObject(item, path)) return false;
    if (!CheckFields(item, path,
                     {"node", "mode", "vpd", "partner", "garbage", "answers", "after_download",
                      "download_ms", "identify_bytes"})) {
      return false;
    }
    const Json* node = Find(item, "node");
    if (node == nullptr) return Fail(path, "missing required field \"node\"");
    AdapterConfig& adapter = config_.adapters[config_.adapter_count];
    std::int64_t number = 0;
    if (!ReadInteger(*node, Member(path, "node"), 0, UINT32_MAX, &number)) return false;
    adapter.node = static_cast<std::uint32_t>(number);
    const int earlier = FindAdapter(config_, adapter.node);
    if (earlier >= 0) {
      return Fail(Member(path, "node"), "node " + std::to_string(number) + " is already used by " +
                                            Element("adapters", earlier));
    }
    BuildVpdRecord('0', '0', adapter.vpd);
    if (!OptionalInteger(item, path, "mode", 0, 255, &adapter.mode) ||
        !ReadVpd(item, path, adapter) || !ReadFlag(item, path, "partner", &adapter.partner) ||
        !ReadFlag(item, path, "garbage", &adapter.garbage) ||
        !ReadAnswers(item, path, "answers", adapter.answers) ||
        !ReadAfterDownload(item, path, adapter) ||
        !OptionalInteger(item, path, "download_ms", 0, kMaxDownloadMs, &adapter.download_ms) ||
        !ReadIdentifyBytes(item, path, adapter)) {
      return false;
    }
    ++config_.adapter_count;
    return true;
  }

  bool ReadFlag(const Json& item, const std::string& path, std::string_view key, bool* out) {
    const Json* flag = Find(item, key);
    if (flag == nullptr) return true;
    if (!flag->is_boolean()) return Fail(Member(path, key), "must be true or false");
    *out = flag->get<bool>();
    return true;
  }

  bool ReadVpd(const Json& item, const std::string& path, AdapterConfig& adapter) {
    const Json* vpd = Find(item, "vpd");
    if (vpd == nullptr) return true;
    const std::string field = Member(path, "vpd");
    if (!RequireObject(*vpd, field) || !CheckFields(*vpd, field, {"ll", "sn", "hex"})) {
      return false;
    }
    const Json* ll = Find(*vpd, "ll");
    const Json* hex = Find(*vpd, "hex");
    if ((ll == nullptr) == (hex == nullptr)) {
      return Fail(field, "must hold exactly one of \"ll\" and \"hex\"");
    }
    if (hex != nullptr) {
      if (vpd->size() != 1) return Fail(field, "\"sn\" goes with \"ll\", not with \"hex\"");
      return ReadVpdHex(*hex, Member(field, "hex"), adapter);
    }
    if (!CheckPrintable(*ll, Member(field, "ll"), 2, 2)) return false;
    const std::string& text = ll->get_ref<const std::string&>();
    const Json* sn = Find(*vpd, "sn");
    if (sn == nullptr) {
      BuildVpdRecord(text[0], text[1], adapter.vpd);
      return true;
    }
    if (!CheckPrintable(*sn, Member(field, "sn"), 1, kMaxSerialLength)) return false;
    const std::string& serial = sn->get_ref<const std::string&>();
    BuildVpdRecord(text[0], text[1], serial.data(), static_cast<std::uint32_t>(serial.size()),
                   adapter.vpd);
    return true;
  }

  bool CheckPrintable(const Json& value, const std::string& path, std::size_t min,
                      std::size_t max) {
    const auto printable = [](char c) { return c >= ' ' && c < 0x7F; };
    bool fits = value.is_string();
    if (fits) {
      const std::string& text = value.get_ref<const std::string&>();
      fits = text.size() >= min && text.size() <= max;
      for (const char c : text) fits = fits && printable(c);
    }
    if (fits) return true;
    const std::string count =
        min == 2 && max == 2 ? "two" : std::to_string(min) + " to " + std::to_string(max);
    return Fail(path, "must be a string of " + count + " printable ASCII characters");
  }

  // A captured adapter's identify answer, whose byte 6 says what "partner"
  // would: the two can't both be given.
  bool ReadIdentifyBytes(const Json& item, const std::string& path, AdapterConfig& adapter) {
    const Json* bytes = Find(item, "identify_bytes");
    if (bytes == nullptr) return true;
    const std::string field = Member(path, "identify_bytes");
    if (Find(item, "partner") != nullptr) {
      return Fail(field, "goes without \"partner\": its byte 6 says whether it is one");
    }
    const std::string complaint = "must be a string of 16 hex digits (8 bytes)";
    if (!bytes->is_string() || bytes->get_ref<const std::string&>().size() != 16) {
      return Fail(field, complaint);
    }
    const std::string& digits = bytes->get_ref<const std::string&>();
    for (int i = 0; i < kIdentifyAnswerSize; ++i) {
      const int high = HexValue(digits[2 * i]);
      const int low = HexValue(digits[2 * i + 1]);
      if (high < 0 || low < 0) return Fail(field, complaint);
      adapter.identify_bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    adapter.has_identify_bytes = true;
    return true;
  }

  bool ReadVpdHex(const Json& hex, const std::string& path, AdapterConfig& adapter) {
    if (!hex.is_string()) return Fail(path, "must be a string of 512 hex digits");
    const std::string& digits = hex.get_ref<const std::string&>();
    if (digits.size() != kVpdHexDigits) {
      return Fail(path, "must be 512 hex digits (256 bytes), not " + std::to_string(digits.size()) +
                            " characters");
    }
    for (std::size_t i = 0; i < kVpdSize; ++i) {
      const int high = HexValue(digits[2 * i]);
      const int low = HexValue(digits[2 * i + 1]);
      if (high < 0 || low < 0) {
        return Fail(path, "holds a character that is not a hex digit near position " +
                              std::to_string(2 * i));
      }
      adapter.vpd[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
  }

  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool ReadAfterDownload(const Json& item, const std::string& path, AdapterConfig& adapter) {
    adapter.has_after_download = Find(item, "after_download") != nullptr;
    return ReadAnswers(item, path, "after_download", adapter.after_download);
  }

  bool ReadAnswers(const Json& item, const std::string& path, std::string_view key_name,
                   Answer (&into)[kOperationCount]) {
    const Json* answers = Find(item, key_name);
    if (answers == nullptr) return true;
    const std::string field = Member(path, key_name);
    if (!RequireObject(*answers, field)) return false;
    for (const auto& [key, value] : answers->items()) {
      int op = 0;
      while (op < kOperationCount && kOperationNames[op] != key) ++op;
      if (op == kOperationCount) return Fail(field, "unknown field " + Quoted(key));
      if (!ReadAnswer(value, Member(field, key), into[op])) return false;
    }
    return true;
  }

  bool ReadAnswer(const Json& value, const std::string& path, Answer& answer) {
    if (value.is_string() && value.get_ref<const std::string&>() == "fail") {
      answer.kind = AnswerKind::kFail;
      return true;
    }
    if (!value.is_object()) {
      return Fail(path, "must be \"fail\" or an object of \"status\", \"flag\" and \"code\"");
    }
    answer.kind = AnswerKind::kOverride;
    return CheckFields(value, path, {"status", "flag", "code"}) &&
           OptionalInteger(value, path, "status", -128, 127, &answer.status) &&
           OptionalInteger(value, path, "flag", 0, 255, &answer.flag) &&
           OptionalInteger(value, path, "code", -32768, 32767, &answer.code);
  }

  MachineConfig& config_;
  std::string error_;
};

}  // namespace

std::string ParseMachineFile(std::string_view text, MachineConfig& config) {
  config = MachineConfig{};
  const std::string syntax_error = CheckJsonSyntax(text);
  if (!syntax_error.empty()) return syntax_error;
  const Json doc = Json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded()) return "not valid JSON";
  Reader reader(config);
  reader.ReadMachine(doc);
  return OneLine(reader.error());
}

}  // namespace sim
