#include "testing/machine_builder.h"

#include <cassert>

#include "testing/bytes.h"

namespace testing_support {

namespace {

constexpr std::size_t kVpdSize = 256;

}  // namespace

Reply::Reply() : json_(nlohmann::json::object()) {}

Reply Reply::Fail() { return Reply(nlohmann::json("fail")); }

Reply& Reply::Status(int status) {
  assert(json_.is_object());
  json_["status"] = status;
  return *this;
}

Reply& Reply::Flag(int flag) {
  assert(json_.is_object());
  json_["flag"] = flag;
  return *this;
}

Reply& Reply::Code(int code) {
  assert(json_.is_object());
  json_["code"] = code;
  return *this;
}

Port::Port(int number) : json_({{"port", number}}) {}

Port& Port::Driver(std::string_view name) {
  json_["driver"] = std::string(name);
  return *this;
}

Port& Port::Node(int node) {
  json_["node"] = node;
  return *this;
}

Port& Port::DeviceMissing() {
  json_["device"] = "missing";
  return *this;
}

Port& Port::NodeQuery(std::string_view how) {
  json_["node_query"] = std::string(how);
  return *this;
}

Port& Port::TransactionsFail() {
  json_["transactions"] = "fail";
  return *this;
}

Port& Port::FailAfter(std::uint32_t served) {
  json_["fail_after"] = served;
  return *this;
}

Port QarmixPort(int number, int node) { return Port(number).Qarmix().Node(node); }

Adapter::Adapter(std::uint32_t node) : node_(node), json_({{"node", node}}) {}

Adapter& Adapter::Ll(std::string_view ll) {
  json_["vpd"] = {{"ll", std::string(ll)}};
  return *this;
}

Adapter& Adapter::LlAndSerial(std::string_view ll, std::string_view serial) {
  json_["vpd"] = {{"ll", std::string(ll)}, {"sn", std::string(serial)}};
  return *this;
}

Adapter& Adapter::VpdHex(std::string_view hex) {
  json_["vpd"] = {{"hex", std::string(hex)}};
  return *this;
}

Adapter& Adapter::VpdBytes(std::string_view start) {
  assert(start.size() <= kVpdSize);
  std::string record(start);
  record.resize(kVpdSize, '\0');
  return VpdHex(ToHex(record));
}

Adapter& Adapter::Mode(int mode) {
  json_["mode"] = mode;
  return *this;
}

Adapter& Adapter::Partner(bool partner) {
  json_["partner"] = partner;
  return *this;
}

Adapter& Adapter::IdentifyBytes(std::string_view hex) {
  json_.erase("partner");
  json_["identify_bytes"] = std::string(hex);
  return *this;
}

Adapter& Adapter::Garbage(bool garbage) {
  json_["garbage"] = garbage;
  return *this;
}

Adapter& Adapter::DownloadMs(int ms) {
  json_["download_ms"] = ms;
  return *this;
}

Adapter& Adapter::Answer(std::string_view operation, const Reply& reply) {
  json_["answers"][std::string(operation)] = reply.json();
  return *this;
}

Adapter& Adapter::AfterDownload(std::string_view operation, const Reply& reply) {
  json_["after_download"][std::string(operation)] = reply.json();
  return *this;
}

Adapter& Adapter::HealthyAfterDownload() {
  if (!json_.contains("after_download")) json_["after_download"] = nlohmann::json::object();
  return *this;
}

std::optional<std::string> Adapter::ll() const {
  const auto vpd = json_.find("vpd");
  if (vpd == json_.end() || !vpd->contains("ll")) return std::nullopt;
  return (*vpd)["ll"].get<std::string>();
}

Machine Machine::WithPortsFor(const std::vector<int>& nodes) {
  Machine machine;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    machine.Add(QarmixPort(static_cast<int>(i), nodes[i]));
  }
  return machine;
}

Machine& Machine::Add(Port port) {
  ports_.push_back(std::move(port));
  return *this;
}

Machine& Machine::Add(Adapter adapter) {
  adapters_.push_back(std::move(adapter));
  return *this;
}

const Adapter* Machine::FindAdapter(std::uint32_t node) const {
  for (const Adapter& adapter : adapters_) {
    if (adapter.node() == node) return &adapter;
  }
  return nullptr;
}

nlohmann::json Machine::json() const {
  nlohmann::json ports = nlohmann::json::array();
  for (const Port& port : ports_) ports.push_back(port.json());
  nlohmann::json adapters = nlohmann::json::array();
  for (const Adapter& adapter : adapters_) adapters.push_back(adapter.json());
  return {{"ports", std::move(ports)}, {"adapters", std::move(adapters)}};
}

}  // namespace testing_support
