#include "transport/adapters.h"

#include <gtest/gtest.h>

#include "testing/bytes.h"
#include "testing/machine_builder.h"
#include "testing/sim_session.h"

namespace {

using testing_support::FromHex;
using testing_support::Load;
using testing_support::Machine;
using testing_support::Port;
using testing_support::QarmixPort;
using testing_support::TraceOf;
using testing_support::WordAt;

/// The handle that the simulated machine gave the port, from the trace.
AdapterHandle HandleOfPort(int port) {
  for (const nlohmann::json& open : TraceOf("CreateFileA")) {
    if (open["name"] == "\\\\.\\Scsi" + std::to_string(port) + ":") {
      return reinterpret_cast<AdapterHandle>(open["handle"].get<std::intptr_t>());
    }
  }
  return kInvalidAdapterHandle;
}

void Discover(const Machine& machine) {
  Load(machine);
  DiscoverAdapters();
}

TEST(Discovery, NoPortsLeavesEveryLookupInvalid) {
  Discover(Machine());
  for (const NodeSlot& slot : CurrentNodeTable()) {
    EXPECT_EQ(slot.Handle, kInvalidAdapterHandle);
    EXPECT_EQ(slot.NodeNumber, 0);
  }
  for (std::uint32_t node : {0u, 11u, 21u, 48u, 0xFFFFFFFFu}) {
    EXPECT_EQ(FindAdapterHandle(node), kInvalidAdapterHandle);
  }
  const auto opens = TraceOf("RegOpenKeyExA");
  ASSERT_EQ(opens.size(), 16u);
  for (int port = 0; port < 16; ++port) {
    EXPECT_EQ(opens[port]["path"], "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(port));
    EXPECT_EQ(opens[port]["access"], 1);
  }
  CloseAdapters();
  EXPECT_TRUE(TraceOf("CloseHandle").empty());
  EXPECT_TRUE(TraceOf("CreateFileA").empty());
}

TEST(Discovery, OnlyTheExactDriverNameIsServed) {
  Discover(Machine({Port(0).Driver("qarmix2"), Port(1).Driver("QARMIX"), Port(2).Driver("qarmi"),
                    Port(3), Port(4).Driver("qarmixqarmixqarmix"), Port(5).Driver("atapi"),
                    QarmixPort(6, 12)}));
  for (int port = 0; port < 6; ++port)
    EXPECT_EQ(CurrentNodeTable()[port].Handle, kInvalidAdapterHandle);
  EXPECT_NE(CurrentNodeTable()[6].Handle, kInvalidAdapterHandle);
  EXPECT_EQ(CurrentNodeTable()[6].NodeNumber, 12);
  const auto queries = TraceOf("RegQueryValueExA");
  ASSERT_EQ(queries.size(), 7u);
  for (const auto& q : queries) {
    EXPECT_EQ(q["name"], "Driver");
    EXPECT_EQ(q["size"], 16);
  }
  ASSERT_EQ(TraceOf("CreateFileA").size(), 1u);
}

TEST(Discovery, UnopenableDeviceIsNeitherQueriedNorClosed) {
  Discover(Machine({QarmixPort(3, 11).DeviceMissing()}));
  EXPECT_EQ(CurrentNodeTable()[3].Handle, kInvalidAdapterHandle);
  EXPECT_EQ(CurrentNodeTable()[3].NodeNumber, 0);
  EXPECT_TRUE(TraceOf("DeviceIoControl").empty());
  CloseAdapters();
  EXPECT_TRUE(TraceOf("CloseHandle").empty());
}

TEST(Discovery, TwoDigitPortsUseTwoDigitNames) {
  Discover(Machine({QarmixPort(15, 33)}));
  const auto opens = TraceOf("CreateFileA");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0]["name"], "\\\\.\\Scsi15:");
  EXPECT_EQ(opens[0]["access"], 0xC0000000u);
  EXPECT_EQ(opens[0]["share"], 1);
  EXPECT_EQ(opens[0]["disposition"], 3);
  EXPECT_EQ(opens[0]["flags"], 0);
  EXPECT_EQ(CurrentNodeTable()[15].NodeNumber, 33);
  EXPECT_EQ(CurrentNodeTable()[15].Handle, HandleOfPort(15));
}

TEST(Discovery, NodeQueryPacketAndSignExtension) {
  Discover(Machine({QarmixPort(1, -128), QarmixPort(2, -16)}));
  EXPECT_EQ(CurrentNodeTable()[1].NodeNumber, -128);
  EXPECT_EQ(CurrentNodeTable()[2].NodeNumber, -16);
  EXPECT_EQ(FindAdapterHandle(0xFFFFFF80u), HandleOfPort(1));
  const auto calls = TraceOf("DeviceIoControl");
  ASSERT_EQ(calls.size(), 2u);
  const std::vector<std::uint8_t> sent = FromHex(calls[0]["sent"].get<std::string>());
  ASSERT_EQ(sent.size(), 144u);
  EXPECT_EQ(calls[0]["code"], 0x4D008);
  EXPECT_EQ(calls[0]["size"], 144);
  EXPECT_EQ(WordAt(sent, 0), 28u);
  EXPECT_EQ(std::string(sent.begin() + 4, sent.begin() + 11), "qarmix ");
  EXPECT_EQ(WordAt(sent, 12), 4096u);
  EXPECT_EQ(WordAt(sent, 16), 0x80000002u);
  EXPECT_EQ(WordAt(sent, 24), 116u);
  // The same buffer goes to the next port: the first answer is still in it.
  const std::vector<std::uint8_t> second = FromHex(calls[1]["sent"].get<std::string>());
  EXPECT_EQ(second[140], 0x80);
}

TEST(Discovery, FailedAndSilentQueries) {
  Discover(Machine({QarmixPort(0, 5).NodeQuery("fail"), QarmixPort(1, 12),
                    QarmixPort(2, 40).NodeQuery("silent")}));
  EXPECT_EQ(CurrentNodeTable()[0].NodeNumber, 0);
  EXPECT_NE(CurrentNodeTable()[0].Handle, kInvalidAdapterHandle);
  EXPECT_EQ(CurrentNodeTable()[1].NodeNumber, 12);
  // A silent driver leaves the buffer as the port before it answered.
  EXPECT_EQ(CurrentNodeTable()[2].NodeNumber, 12);
  // Node 0 matches the open port whose query failed.
  EXPECT_EQ(FindAdapterHandle(0), HandleOfPort(0));
  CloseAdapters();
  const auto closes = TraceOf("CloseHandle");
  ASSERT_EQ(closes.size(), 3u);
  for (int port = 0; port < 3; ++port) EXPECT_EQ(closes[port]["port"], port);
}

TEST(Discovery, LookupOrder) {
  Discover(Machine({QarmixPort(2, 11), QarmixPort(5, 21)}));
  EXPECT_EQ(FindAdapterHandle(21), HandleOfPort(2));  // the partner in the lower slot wins
  EXPECT_EQ(FindAdapterHandle(11), HandleOfPort(2));
  EXPECT_EQ(FindAdapterHandle(30), HandleOfPort(2));  // no match: the first port with a node
  // Node 0 matches slot 0, which is empty, although adapters are open.
  EXPECT_EQ(FindAdapterHandle(0), kInvalidAdapterHandle);

  Discover(Machine({QarmixPort(4, 17)}));
  EXPECT_EQ(FindAdapterHandle(40), HandleOfPort(4));
  EXPECT_EQ(FindAdapterHandle(27), HandleOfPort(4));
  EXPECT_EQ(FindAdapterHandle(17), HandleOfPort(4));
}

// The route that a report shows is the one the lookup takes, with its reason.
TEST(Discovery, RoutesSayWhyTheirSlotCarriesTheNode) {
  Discover(Machine({QarmixPort(2, 11), QarmixPort(5, 21), QarmixPort(7, 30)}));
  const auto route = [](std::uint32_t node) {
    const AdapterRoute r = RouteForNode(node);
    return std::make_pair(r.reason, r.slot);
  };
  EXPECT_EQ(route(11), std::make_pair(AdapterRoute::kNode, 2));
  EXPECT_EQ(route(21), std::make_pair(AdapterRoute::kPartner, 2));  // the lower slot wins
  EXPECT_EQ(route(30), std::make_pair(AdapterRoute::kNode, 7));
  EXPECT_EQ(route(40), std::make_pair(AdapterRoute::kFirstPort, 2));
  EXPECT_EQ(route(0), std::make_pair(AdapterRoute::kNode, 0));  // slot 0: empty, node 0
  EXPECT_EQ(FindAdapterHandle(0), kInvalidAdapterHandle);
  Discover(Machine());
  EXPECT_EQ(route(11), std::make_pair(AdapterRoute::kNoSlot, -1));
  EXPECT_EQ(route(0), std::make_pair(AdapterRoute::kNode, 0));
  Discover(Machine(
      {Port(3).Qarmix().DeviceMissing(), QarmixPort(6, 12).NodeQuery("fail"), QarmixPort(9, 13)}));
  EXPECT_EQ(route(40), std::make_pair(AdapterRoute::kFirstPort, 9));
  const auto& ports = DiscoveredPorts();
  EXPECT_TRUE(ports[3].drivers && !ports[3].opened && !ports[3].node_answered);
  EXPECT_TRUE(ports[6].drivers && ports[6].opened && !ports[6].node_answered);
  EXPECT_TRUE(ports[9].drivers && ports[9].opened && ports[9].node_answered);
  EXPECT_FALSE(ports[0].drivers);
  EXPECT_EQ(PortDeviceName(12), "\\\\.\\Scsi12:");
}

TEST(Discovery, PartnerNodes) {
  const struct {
    std::uint32_t node;
    std::int32_t partner;
  } cases[] = {{11, 21}, {18, 28}, {21, 11}, {28, 18}, {0, -1},          {10, -1},
               {19, -1}, {20, -1}, {29, -1}, {48, -1}, {0xFFFFFFFFu, -1}};
  for (const auto& c : cases) EXPECT_EQ(PartnerNode(c.node), c.partner) << c.node;
}

}  // namespace
