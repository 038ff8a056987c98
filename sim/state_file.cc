#include "sim/state_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <tuple>

#include "sim/json_syntax.h"
#include "sim/whole_file.h"

namespace sim {
namespace {

using Json = nlohmann::json;

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kCodeIdHexDigits = 2 * kCodeIdSize;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Serial numbers are written as they are, but for '%' and bytes outside
// printable ASCII, which become %XX: the file stays text whatever a VPD
// record holds.
std::string EncodeSerial(std::string_view serial) {
  std::string text;
  for (const char c : serial) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '%') {
      text += c;
    } else {
      text += '%';
      text += kHexDigits[byte >> 4];
      text += kHexDigits[byte & 0xF];
    }
  }
  return text;
}

bool DecodeSerial(std::string_view text, std::string* serial) {
  serial->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7F) return false;
    if (text[i] != '%') {
      *serial += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    *serial += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return true;
}

bool SameFirmware(const FirmwareRecord& a, const FirmwareRecord& b) {
  return a.length == b.length && a.lrc == b.lrc && a.download_count == b.download_count &&
         std::equal(a.code_id, a.code_id + kCodeIdSize, b.code_id);
}

// Checks each entry against the state format, keeping the first complaint.
class Reader {
 public:
  const std::string& error() const { return error_; }

  bool ReadState(const Json& doc, std::vector<KeptEntry>& entries) {
    if (!doc.is_object()) return Fail("", "the state must be a JSON object");
    if (!CheckFields(doc, "", {"adapters"})) return false;
    const auto adapters = doc.find("adapters");
    if (adapters == doc.end()) return Fail("", "missing required field \"adapters\"");
    if (!adapters->is_array()) return Fail("adapters", "must be an array");
    for (std::size_t i = 0; i < adapters->size(); ++i) {
      KeptEntry entry;
      const std::string path = Element("adapters", i);
      if (!ReadEntry((*adapters)[i], path, entry)) return false;
      for (std::size_t earlier = 0; earlier < entries.size(); ++earlier) {
        if (entries[earlier].node == entry.node && entries[earlier].serial == entry.serial) {
          return Fail(path, "node " + std::to_string(entry.node) + " with this \"sn\" is already " +
                                Element("adapters", earlier));
        }
      }
      entries.push_back(std::move(entry));
    }
    return true;
  }

 private:
  bool Fail(const std::string& path, const std::string& message) {
    error_ = At(path, message);
    return false;
  }

  bool CheckFields(const Json& object, const std::string& path,
                   std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : object.items()) {
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        return Fail(path, "unknown field " + Quoted(key));
      }
    }
    for (const std::string_view name : allowed) {
      if (object.find(name) == object.end()) {
        return Fail(path, "missing required field " + Quoted(name));
      }
    }
    return true;
  }

  bool ReadNumber(const Json& value, const std::string& path, std::uint32_t min,
                  std::uint32_t* out) {
    if (value.is_number_unsigned() && value.get<std::uint64_t>() >= min &&
        value.get<std::uint64_t>() <= UINT32_MAX) {
      *out = static_cast<std::uint32_t>(value.get<std::uint64_t>());
      return true;
    }
    return Fail(path, "must be an integer from " + std::to_string(min) + " to 4294967295");
  }

  bool ReadEntry(const Json& item, const std::string& path, KeptEntry& entry) {
    if (!item.is_object()) return Fail(path, "must be an object");
    if (!CheckFields(item, path, {"node", "sn", "length", "lrc", "code_id", "downloads"})) {
      return false;
    }
    FirmwareRecord& firmware = entry.firmware;
    return ReadNumber(item["node"], Member(path, "node"), 0, &entry.node) &&
           ReadSerial(item["sn"], Member(path, "sn"), &entry.serial) &&
           ReadNumber(item["length"], Member(path, "length"), 0, &firmware.length) &&
           ReadNumber(item["lrc"], Member(path, "lrc"), 0, &firmware.lrc) &&
           ReadCodeId(item["code_id"], Member(path, "code_id"), firmware.code_id) &&
           ReadNumber(item["downloads"], Member(path, "downloads"), 1, &firmware.download_count);
  }

  bool ReadSerial(const Json& value, const std::string& path, std::string* serial) {
    if (value.is_string() && DecodeSerial(value.get_ref<const std::string&>(), serial)) {
      return true;
    }
    return Fail(path, "must be a string of printable ASCII characters, with %XX for other bytes");
  }

  bool ReadCodeId(const Json& value, const std::string& path,
                  std::uint8_t (&code_id)[kCodeIdSize]) {
    const std::string complaint = "must be a string of 16 hex digits (8 bytes)";
    if (!value.is_string() || value.get_ref<const std::string&>().size() != kCodeIdHexDigits) {
      return Fail(path, complaint);
    }
    const std::string& digits = value.get_ref<const std::string&>();
    for (std::size_t i = 0; i < kCodeIdSize; ++i) {
      const int high = HexValue(digits[2 * i]);
      const int low = HexValue(digits[2 * i + 1]);
      if (high < 0 || low < 0) return Fail(path, complaint);
      code_id[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
  }

  std::string error_;
};

std::string CodeIdHex(const std::uint8_t (&code_id)[kCodeIdSize]) {
  std::string hex;
  for (const std::uint8_t byte : code_id) {
    hex += kHexDigits[byte >> 4];
    hex += kHexDigits[byte & 0xF];
  }
  return hex;
}

}  // namespace

std::string VpdSerial(const std::uint8_t (&record)[kVpdSize]) {
  std::uint32_t at = 0;
  std::uint32_t length = 0;
  if (!FindVpdSerial(record, &at, &length)) return "";
  return std::string(reinterpret_cast<const char*>(record) + at, length);
}

std::string ParseStateFile(std::string_view text, std::vector<KeptEntry>& entries) {
  entries.clear();
  if (text.empty()) return "";
  const std::string syntax_error = CheckJsonSyntax(text);
  if (!syntax_error.empty()) return syntax_error;
  const Json doc = Json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded()) return "not valid JSON";
  Reader reader;
  if (reader.ReadState(doc, entries)) return "";
  entries.clear();
  return OneLine(reader.error());
}

std::string FormatStateFile(const std::vector<KeptEntry>& entries) {
  std::vector<const KeptEntry*> ordered;
  for (const KeptEntry& entry : entries) ordered.push_back(&entry);
  std::sort(ordered.begin(), ordered.end(), [](const KeptEntry* a, const KeptEntry* b) {
    return std::tie(a->node, a->serial) < std::tie(b->node, b->serial);
  });
  std::string text = "{\"adapters\": [";
  const char* separator = "\n  ";
  for (const KeptEntry* entry : ordered) {
    nlohmann::ordered_json line;
    line["node"] = entry->node;
    line["sn"] = EncodeSerial(entry->serial);
    line["length"] = entry->firmware.length;
    line["lrc"] = entry->firmware.lrc;
    line["code_id"] = CodeIdHex(entry->firmware.code_id);
    line["downloads"] = entry->firmware.download_count;
    text += separator;
    text += line.dump();
    separator = ",\n  ";
  }
  text += ordered.empty() ? "]}\n" : "\n]}\n";
  return text;
}

std::string StateFile::ReadFromEnvironment() {
  *this = StateFile{};
  const char* path = std::getenv("QXFW_STATE");
  if (path == nullptr) return "";
  if (*path == '\0') return "QXFW_STATE is set but names no file";
  return Read(path);
}

std::string StateFile::Read(const std::string& path) {
  *this = StateFile{};
  std::string text;
  bool missing = false;
  const std::string read_error = ReadWholeFile(path, &text, &missing);
  if (!read_error.empty()) return "state file " + path + " cannot be read: " + read_error;
  const std::string error = ParseStateFile(text, entries_);
  if (!error.empty()) {
    entries_.clear();
    return "state file " + path + ": " + error;
  }
  path_ = path;
  return "";
}

void StateFile::Apply(const MachineConfig& config, MachineState& state) {
  entry_of_adapter_.assign(static_cast<std::size_t>(config.adapter_count), -1);
  for (int i = 0; i < config.adapter_count; ++i) {
    const AdapterConfig& adapter = config.adapters[i];
    const std::string serial = VpdSerial(adapter.vpd);
    state.firmware[i] = FirmwareRecord{};
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      if (entries_[e].node == adapter.node && entries_[e].serial == serial) {
        state.firmware[i] = entries_[e].firmware;
        entry_of_adapter_[i] = static_cast<int>(e);
      }
    }
  }
}

std::string StateFile::Update(const MachineConfig& config, const MachineState& state) {
  if (!persists()) return "";
  bool changed = false;
  for (int i = 0; i < config.adapter_count; ++i) {
    const FirmwareRecord& firmware = state.firmware[i];
    if (firmware.download_count == 0) continue;
    int& entry = entry_of_adapter_[i];
    if (entry < 0) {
      entries_.push_back(KeptEntry{config.adapters[i].node, VpdSerial(config.adapters[i].vpd), {}});
      entry = static_cast<int>(entries_.size() - 1);
    } else if (SameFirmware(entries_[entry].firmware, firmware)) {
      continue;
    }
    entries_[entry].firmware = firmware;
    changed = true;
  }
  if (!changed) return "";
  const std::string error = WriteFileWhole(path_, FormatStateFile(entries_));
  return error.empty() ? "" : "state file " + path_ + " cannot be written: " + error;
}

}  // namespace sim
