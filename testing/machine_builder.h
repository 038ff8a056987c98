// Simulated machines for tests, built field by field rather than written as
// text: ports, adapters and the faults they inject, as the machine file
// (docs/simulated-machine.md) spells them. A field the test does not set is
// left out of the file, so that the machine's own default holds.
#ifndef QXFW_TESTING_MACHINE_BUILDER_H_
#define QXFW_TESTING_MACHINE_BUILDER_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

/// The operations whose answers an adapter's `answers` can replace.
inline constexpr const char* kAnswerOperations[] = {
    "mode", "read", "read2", "identify", "download", "pre_notice", "post_notice"};

/// One injected answer: "fail" (DeviceIoControl returns 0), or an object of
/// the status, flag and code given (each left out unless set).
class Reply {
 public:
  /// An object with no field: the operation is carried out and answered 0.
  Reply();
  /// The request is lost: DeviceIoControl returns 0 and nothing happens.
  static Reply Fail();

  /// REQUIRES: not Fail(). Each adds its field to the object.
  Reply& Status(int status);
  Reply& Flag(int flag);
  Reply& Code(int code);

  const nlohmann::json& json() const { return json_; }

 private:
  explicit Reply(nlohmann::json json) : json_(std::move(json)) {}
  nlohmann::json json_;
};

/// One entry of "ports".
class Port {
 public:
  /// {"port": number}: a key in the registry and nothing more.
  explicit Port(int number);

  Port& Driver(std::string_view name);
  /// Driver("qarmix"), the only driver whose devices answer.
  Port& Qarmix() { return Driver("qarmix"); }
  /// The byte a node query answers.
  Port& Node(int node);
  /// "device": "missing": the device does not open.
  Port& DeviceMissing();
  /// "node_query": "ok", "fail" or "silent".
  Port& NodeQuery(std::string_view how);
  /// "transactions": "fail": every transaction on the port returns 0.
  Port& TransactionsFail();
  /// The device goes away after serving `served` transactions.
  Port& FailAfter(std::uint32_t served);

  const nlohmann::json& json() const { return json_; }

 private:
  nlohmann::json json_;
};

/// Port(number).Qarmix().Node(node).
Port QarmixPort(int number, int node);

/// One entry of "adapters".
class Adapter {
 public:
  /// {"node": node}: VPD without an LL of its own ("00"), mode 0.
  explicit Adapter(std::uint32_t node);

  /// The machine's own record, whose *LL keyword is `ll` (two characters).
  Adapter& Ll(std::string_view ll);
  /// The machine's own record, whose *LL keyword is `ll` and whose *SN
  /// keyword is `serial` (1 to 64 printable characters).
  Adapter& LlAndSerial(std::string_view ll, std::string_view serial);
  /// The 256-byte record as 512 hex digits, used as they stand (a test may
  /// give digits the machine refuses).
  Adapter& VpdHex(std::string_view hex);
  /// The record whose first bytes are `start`, zero bytes after.
  /// REQUIRES: start.size() <= 256.
  Adapter& VpdBytes(std::string_view start);
  Adapter& Mode(int mode);
  Adapter& Partner(bool partner = true);
  Adapter& Garbage(bool garbage = true);
  /// The 8 bytes an identify answer carries, as 16 hex digits, in place of
  /// Partner() (which it drops).
  Adapter& IdentifyBytes(std::string_view hex);
  /// How long each download takes the adapter.
  Adapter& DownloadMs(int ms);
  /// answers[operation] = reply; `operation` is one of kAnswerOperations.
  Adapter& Answer(std::string_view operation, const Reply& reply);
  /// after_download[operation] = reply: given once the adapter holds a kept
  /// firmware, in the form of Answer.
  Adapter& AfterDownload(std::string_view operation, const Reply& reply);
  /// after_download = {} where none is set yet: once the adapter holds a
  /// kept firmware, it carries out every request its AfterDownload() calls
  /// don't answer, whatever `answers` say.
  Adapter& HealthyAfterDownload();

  std::uint32_t node() const { return node_; }
  /// The LL given with Ll(); none when the record was given otherwise.
  std::optional<std::string> ll() const;
  bool partner() const { return json_.value("partner", false); }
  const nlohmann::json& json() const { return json_; }

 private:
  std::uint32_t node_;
  nlohmann::json json_;
};

/// A whole machine file: {"ports": [...], "adapters": [...]}, both lists
/// always present (an empty list is the machine's default).
class Machine {
 public:
  Machine() = default;
  explicit Machine(std::vector<Port> ports, std::vector<Adapter> adapters = {})
      : ports_(std::move(ports)), adapters_(std::move(adapters)) {}

  /// One qarmix port per node, numbered from 0, each answering its node.
  static Machine WithPortsFor(const std::vector<int>& nodes);

  Machine& Add(Port port);
  Machine& Add(Adapter adapter);

  std::vector<Port>& ports() { return ports_; }
  std::vector<Adapter>& adapters() { return adapters_; }
  const std::vector<Adapter>& adapters() const { return adapters_; }
  /// The adapter answering to `node`, or null.
  const Adapter* FindAdapter(std::uint32_t node) const;

  nlohmann::json json() const;
  /// The file's text, as a test writes it for QXFW_MACHINE.
  std::string Text() const { return json().dump(); }

 private:
  std::vector<Port> ports_;
  std::vector<Adapter> adapters_;
};

}  // namespace testing_support

#endif  // QXFW_TESTING_MACHINE_BUILDER_H_
