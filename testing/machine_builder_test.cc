// The builder against the machine it describes: generated machines, built
// with every field the builder offers, are read by the simulated machine's
// own parser, and each port and adapter must come out as the builder was
// told. A field the builder spells wrongly, leaves out or puts in the wrong
// place fails here rather than as an end-to-end test that quietly tests a
// different machine.
#include "testing/machine_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "sim/machine_file.h"

namespace {

using testing_support::Adapter;
using testing_support::kAnswerOperations;
using testing_support::Machine;
using testing_support::Port;
using testing_support::Reply;

/// What a generated machine must load as, kept beside the builder's calls.
struct Expected {
  sim::MachineConfig config;
};

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  Machine Next(Expected& expected) {
    expected.config = sim::MachineConfig{};
    Machine machine;
    std::vector<int> numbers(sim::kPortCount);
    std::iota(numbers.begin(), numbers.end(), 0);
    std::shuffle(numbers.begin(), numbers.end(), random_);
    const int port_count = Pick(0, sim::kPortCount);
    for (int i = 0; i < port_count; ++i) {
      machine.Add(MakePort(numbers[i], expected.config.ports[numbers[i]]));
    }
    const int adapter_count = Pick(0, 12);
    for (int i = 0; i < adapter_count; ++i) {
      const auto node = static_cast<std::uint32_t>(Chance(2) ? Pick(0, 60) : random_());
      if (machine.FindAdapter(node) != nullptr) continue;
      sim::AdapterConfig& adapter = expected.config.adapters[expected.config.adapter_count++];
      machine.Add(MakeAdapter(node, adapter));
    }
    return machine;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int one_in) { return Pick(1, one_in) == 1; }

  Port MakePort(int number, sim::PortConfig& expected) {
    Port port(number);
    expected.listed = true;
    if (Chance(2)) {
      const std::string names[] = {"qarmix", "atapi", "", "QARMIX", std::string(255, 'q')};
      const std::string& name = names[Pick(0, 4)];
      port.Driver(name);
      expected.has_driver = true;
      expected.driver_length = static_cast<std::uint16_t>(name.size());
      name.copy(expected.driver, name.size());
    }
    if (Chance(2)) {
      expected.node = static_cast<std::int8_t>(Pick(-128, 127));
      port.Node(expected.node);
    }
    if (Chance(4)) {
      port.DeviceMissing();
      expected.device_present = false;
    }
    if (Chance(3)) {
      const int how = Pick(0, 2);
      port.NodeQuery(how == 0 ? "ok" : how == 1 ? "fail" : "silent");
      expected.node_query = static_cast<sim::NodeQueryMode>(how);
    }
    if (Chance(4)) {
      port.TransactionsFail();
      expected.transactions_fail = true;
    }
    if (Chance(4)) {
      expected.has_transaction_limit = true;
      expected.transaction_limit = static_cast<std::uint32_t>(random_());
      port.FailAfter(expected.transaction_limit);
    }
    return port;
  }

  Reply MakeReply(sim::Answer& expected) {
    if (Chance(3)) {
      expected.kind = sim::AnswerKind::kFail;
      return Reply::Fail();
    }
    Reply reply;
    expected.kind = sim::AnswerKind::kOverride;
    if (Chance(2)) reply.Status(expected.status = static_cast<std::int8_t>(Pick(-128, 127)));
    if (Chance(2)) reply.Flag(expected.flag = static_cast<std::uint8_t>(Pick(0, 255)));
    if (Chance(2)) reply.Code(expected.code = static_cast<std::int16_t>(Pick(-32768, 32767)));
    return reply;
  }

  void SetVpd(Adapter& adapter, sim::AdapterConfig& expected) {
    sim::BuildVpdRecord('0', '0', expected.vpd);
    switch (Pick(0, 3)) {
      case 3: {
        const std::string ll = {static_cast<char>(Pick(' ', '~')),
                                static_cast<char>(Pick(' ', '~'))};
        std::string serial(static_cast<std::size_t>(Pick(1, sim::kMaxSerialLength)), ' ');
        for (char& c : serial) c = static_cast<char>(Pick('!', '~'));
        adapter.LlAndSerial(ll, serial);
        sim::BuildVpdRecord(ll[0], ll[1], serial.data(), static_cast<std::uint32_t>(serial.size()),
                            expected.vpd);
        return;
      }
      case 0: {
        const std::string ll = {static_cast<char>(Pick(' ', '~')),
                                static_cast<char>(Pick(' ', '~'))};
        adapter.Ll(ll);
        sim::BuildVpdRecord(ll[0], ll[1], expected.vpd);
        return;
      }
      case 1: {
        std::string start(static_cast<std::size_t>(Pick(0, sim::kVpdSize)), '\0');
        for (char& c : start) c = static_cast<char>(Pick(0, 255));
        adapter.VpdBytes(start);
        std::fill(std::begin(expected.vpd), std::end(expected.vpd), 0);
        std::memcpy(expected.vpd, start.data(), start.size());
        return;
      }
      default:
        return;  // the machine's default record
    }
  }

  Adapter MakeAdapter(std::uint32_t node, sim::AdapterConfig& expected) {
    Adapter adapter(node);
    expected.node = node;
    SetVpd(adapter, expected);
    if (Chance(2)) adapter.Mode(expected.mode = static_cast<std::uint8_t>(Pick(0, 255)));
    if (Chance(2)) adapter.Partner(expected.partner = Chance(2));
    if (Chance(2)) adapter.Garbage(expected.garbage = Chance(2));
    if (Chance(3)) {
      expected.download_ms = static_cast<std::uint32_t>(Pick(0, sim::kMaxDownloadMs));
      adapter.DownloadMs(static_cast<int>(expected.download_ms));
    }
    for (int op = 0; op < sim::kOperationCount; ++op) {
      if (Chance(3)) adapter.Answer(kAnswerOperations[op], MakeReply(expected.answers[op]));
    }
    if (Chance(3)) {
      // An empty after_download is still one: the adapter turns healthy.
      expected.has_after_download = true;
      adapter.HealthyAfterDownload();
      for (int op = 0; op < sim::kOperationCount; ++op) {
        if (Chance(3)) {
          adapter.AfterDownload(kAnswerOperations[op], MakeReply(expected.after_download[op]));
        }
      }
    }
    return adapter;
  }

  std::mt19937 random_;
};

void ExpectSamePort(const sim::PortConfig& got, const sim::PortConfig& want, int number) {
  EXPECT_EQ(got.listed, want.listed) << "port " << number;
  EXPECT_EQ(got.has_driver, want.has_driver) << "port " << number;
  EXPECT_EQ(std::string(got.driver, got.driver_length),
            std::string(want.driver, want.driver_length))
      << "port " << number;
  EXPECT_EQ(got.device_present, want.device_present) << "port " << number;
  EXPECT_EQ(got.node, want.node) << "port " << number;
  EXPECT_EQ(got.node_query, want.node_query) << "port " << number;
  EXPECT_EQ(got.transactions_fail, want.transactions_fail) << "port " << number;
  EXPECT_EQ(got.has_transaction_limit, want.has_transaction_limit) << "port " << number;
  EXPECT_EQ(got.transaction_limit, want.transaction_limit) << "port " << number;
}

void ExpectSameAdapter(const sim::AdapterConfig& got, const sim::AdapterConfig& want) {
  EXPECT_EQ(got.node, want.node);
  EXPECT_EQ(got.mode, want.mode) << "node " << want.node;
  EXPECT_EQ(got.partner, want.partner) << "node " << want.node;
  EXPECT_EQ(got.garbage, want.garbage) << "node " << want.node;
  EXPECT_EQ(got.download_ms, want.download_ms) << "node " << want.node;
  EXPECT_TRUE(std::equal(std::begin(got.vpd), std::end(got.vpd), std::begin(want.vpd)))
      << "node " << want.node;
  for (int op = 0; op < sim::kOperationCount; ++op) {
    const sim::Answer& a = got.answers[op];
    const sim::Answer& b = want.answers[op];
    EXPECT_TRUE(a.kind == b.kind && a.status == b.status && a.flag == b.flag && a.code == b.code)
        << "node " << want.node << ", answer to " << kAnswerOperations[op];
  }
  EXPECT_EQ(got.has_after_download, want.has_after_download) << "node " << want.node;
  for (int op = 0; op < sim::kOperationCount; ++op) {
    const sim::Answer& a = got.after_download[op];
    const sim::Answer& b = want.after_download[op];
    EXPECT_TRUE(a.kind == b.kind && a.status == b.status && a.flag == b.flag && a.code == b.code)
        << "node " << want.node << ", answer after a download to " << kAnswerOperations[op];
  }
}

TEST(MachineBuilder, GeneratedMachinesLoadAsBuilt) {
  Generator generate(20261209);
  for (int i = 0; i < 300; ++i) {
    Expected expected;
    const Machine machine = generate.Next(expected);
    sim::MachineConfig config;
    ASSERT_EQ(sim::ParseMachineFile(machine.Text(), config), "") << machine.Text();
    for (int port = 0; port < sim::kPortCount; ++port) {
      ExpectSamePort(config.ports[port], expected.config.ports[port], port);
    }
    ASSERT_EQ(config.adapter_count, expected.config.adapter_count) << machine.Text();
    for (int a = 0; a < config.adapter_count; ++a) {
      ExpectSameAdapter(config.adapters[a], expected.config.adapters[a]);
    }
    if (::testing::Test::HasFailure()) FAIL() << "machine " << i << ": " << machine.Text();
  }
}

// The answers after a download take the form of the answers themselves.
TEST(MachineBuilder, AfterDownloadTakesTheFormOfAnswers) {
  for (const Reply& reply : {Reply::Fail(), Reply(), Reply().Status(-1).Flag(2).Code(-30)}) {
    const nlohmann::json after = Adapter(12).AfterDownload("identify", reply).json();
    const nlohmann::json answers = Adapter(12).Answer("identify", reply).json();
    EXPECT_EQ(after.at("after_download"), answers.at("answers"));
    EXPECT_FALSE(after.contains("answers"));
  }
}

TEST(MachineBuilder, WhatTheTestsReadBack) {
  Machine machine = Machine::WithPortsFor({11, 12});
  machine.Add(Adapter(11).Ll("1A").Partner()).Add(Adapter(12).VpdBytes("VPD"));
  EXPECT_EQ(machine.Text(),
            std::string(R"({"adapters":[{"node":11,"partner":true,"vpd":{"ll":"1A"}},)") +
                R"({"node":12,"vpd":{"hex":"565044)" + std::string(506, '0') +
                R"("}}],"ports":[{"driver":"qarmix","node":11,"port":0},)"
                R"({"driver":"qarmix","node":12,"port":1}]})");
  EXPECT_EQ(machine.FindAdapter(11)->ll(), "1A");
  EXPECT_TRUE(machine.FindAdapter(11)->partner());
  EXPECT_EQ(machine.FindAdapter(12)->ll(), std::nullopt);
  EXPECT_EQ(machine.FindAdapter(13), nullptr);
  EXPECT_EQ(Machine().Text(), R"({"adapters":[],"ports":[]})");
}

}  // namespace
