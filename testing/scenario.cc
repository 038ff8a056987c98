#include "testing/scenario.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "testing/bytes.h"
#include "testing/scratch_dir.h"

namespace testing_support {
namespace {

void PutBigEndian(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

std::string OpName(std::uint8_t tx_class, std::uint32_t unit, std::uint16_t code) {
  if (tx_class == 3 && code == 11) return "mode";
  if (tx_class == 3 && code == 4) return "read";
  if (tx_class == 3 && code == 1) return "identify";
  if (tx_class == 3 && code == 7) return "download";
  if (tx_class == 2 && unit == 17 && code == 3) return "read2";
  if (tx_class == 2 && unit == 31 && code == 0x225) return "pre_notice";
  if (tx_class == 2 && unit == 31 && code == 0x224) return "post_notice";
  return "other";
}

/// The bytes of one area of a sent packet, located through its descriptor.
std::string Area(const std::string& packet, std::size_t descriptor_at) {
  const std::uint32_t base = WordAt(packet, descriptor_at + 4);
  const std::uint32_t length = WordAt(packet, descriptor_at + 12);
  if (140u + base + length > packet.size()) return {};
  return packet.substr(140 + base, length);
}

Transaction Decode(const nlohmann::json& line) {
  const std::string sent = StringFromHex(line["sent"].get<std::string>());
  const std::string answer = StringFromHex(line["answer"].get<std::string>());
  Transaction t;
  t.node = WordAt(sent, 60);
  t.unit = WordAt(sent, 64);
  t.code = static_cast<std::uint16_t>(WordAt(sent, 68) & 0xFFFF);
  t.tx_class = static_cast<std::uint8_t>(sent[70]);
  t.op = OpName(t.tx_class, t.unit, t.code);
  t.port = line.value("port", -1);
  t.parm_out = Area(sent, 72);
  t.data_out = Area(sent, 88);
  t.data_in = Area(sent, 104);
  t.parm_in = Area(sent, 120);
  t.delivered = line["result"].get<int>() != 0;
  t.status = static_cast<std::int8_t>(answer.size() > 39 ? answer[39] : 0);
  return t;
}

}  // namespace

std::string WithAifHeader(std::string body) {
  const std::string no_op("\x00\x00\xa0\xe1", 4);
  body.replace(0, 4, no_op).replace(4, 4, no_op).replace(8, 4, no_op);
  return body.replace(16, 4, "\xfe\xff\xff\xea");
}

std::uint32_t PayloadLrc(std::string_view payload) {
  std::uint32_t sum = 0xAAAAAAAAu;
  for (std::size_t at = 0; at + 4 <= payload.size(); at += 4) sum += WordAt(payload, at);
  return sum;
}

std::string AdapterFirmwareFile(std::string_view payload, std::string_view code_id,
                                std::string_view copyright) {
  std::string file(272, '\0');
  file.replace(0, std::min<std::size_t>(copyright.size(), 251), copyright.substr(0, 251));
  PutBigEndian(file, 252, static_cast<std::uint32_t>(payload.size()));
  PutBigEndian(file, 256, PayloadLrc(payload));
  file.replace(260, std::min<std::size_t>(code_id.size(), 8), code_id.substr(0, 8));
  file.append(payload);
  return file;
}

std::string TestPayload(std::size_t size, unsigned seed) {
  std::string payload(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : payload) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return payload;
}

std::vector<Transaction> DecodeTransactions(const std::vector<std::string>& lines) {
  std::vector<Transaction> transactions;
  for (const std::string& text : lines) {
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || line.value("op", "") != "DeviceIoControl") continue;
    const std::string sent = StringFromHex(line["sent"].get<std::string>());
    if (sent.size() < 143 || WordAt(sent, 16) != 0x80000001u) continue;
    transactions.push_back(Decode(line));
  }
  return transactions;
}

ScenarioFiles::ScenarioFiles(const std::string& machine_json,
                             const std::vector<std::pair<std::string, std::string>>& files)
    : machine_(dir_.Write("machine.json", machine_json)), trace_(dir_.path() + "/trace.jsonl") {
  for (const auto& [name, contents] : files) dir_.Write(name, contents);
}

std::vector<std::string> ScenarioFiles::Args(const std::vector<std::string>& args) const {
  std::vector<std::string> resolved;
  for (const std::string& arg : args) {
    resolved.push_back(arg.size() > 1 && arg[0] == '@' ? dir_.path() + "/" + arg.substr(1) : arg);
  }
  return resolved;
}

ProcessOptions ScenarioFiles::Options() const {
  ProcessOptions options;
  options.env = {"QXFW_MACHINE=" + machine_, "QXFW_TRACE=" + trace_};
  return options;
}

ScenarioResult ScenarioFiles::Result(ProcessResult run) const {
  ScenarioResult result;
  result.run = std::move(run);
  std::istringstream lines(ReadFile(trace_));
  for (std::string line; std::getline(lines, line);) result.trace.push_back(line);
  result.transactions = DecodeTransactions(result.trace);
  std::remove(trace_.c_str());
  return result;
}

const std::string& ScenarioFiles::dir() const { return dir_.path(); }

ScenarioResult RunScenario(const std::string& machine_json,
                           const std::vector<std::pair<std::string, std::string>>& files,
                           const std::vector<std::string>& args, const std::string& input,
                           const std::string& program) {
  const ScenarioFiles scenario(machine_json, files);
  ProcessOptions options = scenario.Options();
  options.input = input;
  return scenario.Result(RunProcess(BuiltProgram(program), scenario.Args(args), options));
}

std::vector<Transaction> OfOp(const std::vector<Transaction>& all, const std::string& op) {
  std::vector<Transaction> selected;
  for (const Transaction& t : all) {
    if (t.op == op) selected.push_back(t);
  }
  return selected;
}

}  // namespace testing_support
