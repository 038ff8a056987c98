#include "sim/machine_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace sim {
namespace {

using Json = nlohmann::json;

// The machine format nests five levels deep; anything much deeper is refused
// before a document is built from it.
constexpr std::size_t kMaxNesting = 32;
constexpr std::size_t kVpdHexDigits = 2 * kVpdSize;

constexpr std::string_view kOperationNames[kOperationCount] = {
    "mode", "read", "read2", "identify", "download", "pre_notice", "post_notice"};

std::string Member(const std::string& path, std::string_view key) {
  std::string result = path;
  if (!result.empty()) result += '.';
  result += key;
  return result;
}

std::string Element(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::string At(const std::string& path, const std::string& message) {
  return path.empty() ? message : path + ": " + message;
}

// Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about a
// literal added to a temporary string.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted += text;
  quoted += '"';
  return quoted;
}

// A first pass over the text that reports where the JSON is broken and
// catches repeated keys, which a document would silently collapse to one.
class SyntaxChecker : public nlohmann::json_sax<Json> {
 public:
  const std::string& error() const { return error_; }

  bool null() override { return ValueDone(); }
  bool boolean(bool) override { return ValueDone(); }
  bool number_integer(number_integer_t) override { return ValueDone(); }
  bool number_unsigned(number_unsigned_t) override { return ValueDone(); }
  bool number_float(number_float_t, const string_t&) override { return ValueDone(); }
  bool string(string_t&) override { return ValueDone(); }
  bool binary(binary_t&) override { return ValueDone(); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& name) override {
    Frame& top = frames_.back();
    if (!top.keys.insert(name).second) {
      error_ = At(PathOf(frames_.size() - 1), "duplicate field " + Quoted(name));
      return false;
    }
    top.key = name;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const Json::exception& ex) override {
    std::string what = ex.what();
    const std::size_t tag_end = what.find("] ");
    if (tag_end != std::string::npos) what.erase(0, tag_end + 2);
    error_ = "not valid JSON: " + what;
    return false;
  }

 private:
  struct Frame {
    bool is_object = false;
    std::set<std::string> keys;
    std::string key;
    std::size_t index = 0;
  };

  bool Open(bool is_object) {
    if (frames_.size() >= kMaxNesting) {
      error_ = At(PathOf(frames_.size()), "nested too deeply");
      return false;
    }
    frames_.push_back(Frame{is_object, {}, {}, 0});
    return true;
  }

  bool Close() {
    frames_.pop_back();
    return ValueDone();
  }

  bool ValueDone() {
    if (!frames_.empty() && !frames_.back().is_object) ++frames_.back().index;
    return true;
  }

  // The path of the value being read inside the first `depth` frames.
  std::string PathOf(std::size_t depth) const {
    std::string path;
    for (std::size_t i = 0; i < depth; ++i) {
      path = frames_[i].is_object ? Member(path, frames_[i].key) : Element(path, frames_[i].index);
    }
    return path;
  }

  std::vector<Frame> frames_;
  std::string error_;
};

// Checks each part of the document against the machine format, keeping the
// first complaint.
class Reader {
 public:
  explicit Reader(MachineConfig& config) : config_(config) {}

  const std::string& error() const { return error_; }

  bool ReadMachine(const Json& doc) {
    if (!doc.is_object()) return Fail("", "the machine must be a JSON object");
    if (!CheckFields(doc, "", {"ports", "adapters"})) return false;
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
                     {"node", "mode", "vpd", "partner", "garbage", "answers", "download_ms"})) {
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
        !ReadFlag(item, path, "garbage", &adapter.garbage) || !ReadAnswers(item, path, adapter) ||
        !OptionalInteger(item, path, "download_ms", 0, kMaxDownloadMs, &adapter.download_ms)) {
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
    if (!RequireObject(*vpd, field) || !CheckFields(*vpd, field, {"ll", "hex"})) return false;
    if (vpd->size() != 1) return Fail(field, "must hold exactly one of \"ll\" and \"hex\"");
    if (const Json* ll = Find(*vpd, "ll")) return ReadLl(*ll, Member(field, "ll"), adapter);
    return ReadVpdHex(*Find(*vpd, "hex"), Member(field, "hex"), adapter);
  }

  bool ReadLl(const Json& ll, const std::string& path, AdapterConfig& adapter) {
    const auto printable = [](char c) { return c >= ' ' && c < 0x7F; };
    if (!ll.is_string() || ll.get_ref<const std::string&>().size() != 2 ||
        !printable(ll.get_ref<const std::string&>()[0]) ||
        !printable(ll.get_ref<const std::string&>()[1])) {
      return Fail(path, "must be a string of two printable ASCII characters");
    }
    const std::string& text = ll.get_ref<const std::string&>();
    BuildVpdRecord(text[0], text[1], adapter.vpd);
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

  bool ReadAnswers(const Json& item, const std::string& path, AdapterConfig& adapter) {
    const Json* answers = Find(item, "answers");
    if (answers == nullptr) return true;
    const std::string field = Member(path, "answers");
    if (!RequireObject(*answers, field)) return false;
    for (const auto& [key, value] : answers->items()) {
      int op = 0;
      while (op < kOperationCount && kOperationNames[op] != key) ++op;
      if (op == kOperationCount) return Fail(field, "unknown field " + Quoted(key));
      if (!ReadAnswer(value, Member(field, key), adapter.answers[op])) return false;
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

// The error is printed as one line: the names it quotes come from the file
// and may hold any character.
std::string OneLine(const std::string& error) {
  std::string line;
  for (const char c : error) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      constexpr char kHex[] = "0123456789abcdef";
      line += "\\u00";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    } else {
      line += c;
    }
  }
  return line;
}

std::string ReadWholeFile(const char* path, std::string* contents) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return std::strerror(errno);
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) contents->append(chunk, got);
  const int error = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  return error != 0 ? std::strerror(error) : "";
}

// With a standard stream closed, the file would take its descriptor, and
// whatever the program writes to that stream would land in the trace: the
// trace moves above the three, and the stream stays closed.
int AboveStandardStreams(int fd, const char* path, std::string* error) {
  constexpr int kFirstFreeDescriptor = 3;
  if (fd >= kFirstFreeDescriptor) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
  const int saved_errno = errno;
  close(fd);
  if (moved < 0) {
    *error = "trace file " + std::string(path) + " cannot be opened: " + strerror(saved_errno);
  }
  return moved;
}

}  // namespace

std::string ReadMachineFromEnvironment(MachineConfig& config) {
  const char* path = std::getenv("QXFW_MACHINE");
  if (path == nullptr) return ParseMachineFile("{}", config);  // the empty machine
  if (*path == '\0') return "QXFW_MACHINE is set but names no file";
  std::string text;
  const std::string read_error = ReadWholeFile(path, &text);
  if (!read_error.empty()) return std::string(path) + ": cannot be read: " + read_error;
  const std::string error = ParseMachineFile(text, config);
  return error.empty() ? "" : std::string(path) + ": " + error;
}

int OpenTraceFromEnvironment(std::string* error) {
  const char* path = std::getenv("QXFW_TRACE");
  if (path == nullptr) return -1;
  if (*path == '\0') {
    *error = "QXFW_TRACE is set but names no file";
    return -1;
  }
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "trace file " + std::string(path) + " cannot be opened: " + strerror(errno);
    return -1;
  }
  return AboveStandardStreams(fd, path, error);
}

std::string ParseMachineFile(std::string_view text, MachineConfig& config) {
  config = MachineConfig{};
  SyntaxChecker checker;
  if (!Json::sax_parse(text.begin(), text.end(), &checker)) {
    return checker.error().empty() ? "not valid JSON" : OneLine(checker.error());
  }
  const Json doc = Json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded()) return "not valid JSON";
  Reader reader(config);
  reader.ReadMachine(doc);
  return OneLine(reader.error());
}

}  // namespace sim
