// Hand-built miniport packets for the simulated machine's tests, laid out as
// the pass-through lays them out, with explicit little-endian encoding.
#ifndef QXFW_SIM_TEST_PACKETS_H_
#define QXFW_SIM_TEST_PACKETS_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/driver_core.h"

namespace sim::test_packets {

using Bytes = std::vector<std::uint8_t>;

inline void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t GetLe32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

inline std::int16_t GetLe16(const Bytes& b, std::size_t at) {
  return static_cast<std::int16_t>(b[at] | b[at + 1] << 8);
}

inline Bytes Le32s(std::initializer_list<std::uint32_t> words) {
  Bytes b(4 * words.size());
  std::size_t at = 0;
  for (std::uint32_t w : words) PutLe32(b, (at++) * 4, w);
  return b;
}

inline constexpr std::uint8_t kUnset = 0xCC;

// Writes the 28-byte header; bytes the transport leaves unset stay kUnset.
inline Bytes Header(std::uint32_t control_code, std::size_t size) {
  Bytes b(size, kUnset);
  PutLe32(b, 0, 28);
  std::memcpy(&b[4], "qarmix ", 7);
  PutLe32(b, 12, 4096);
  PutLe32(b, 16, control_code);
  PutLe32(b, 24, static_cast<std::uint32_t>(size - 28));
  return b;
}

struct Request {
  std::uint32_t node = 11;
  std::uint8_t tx_class = 3;
  std::uint32_t unit = 0;
  std::uint16_t code = 0;
  Bytes parm_out = {};
  std::uint32_t data_in = 0;
  Bytes data_out = {};
  std::uint32_t parm_in = 0;
};

// Area offsets from the data area, in the order the pass-through lays them out.
struct Layout {
  std::size_t parm_out, data_in, data_out, parm_in;
};

inline Layout LayoutOf(const Request& r) {
  Layout l;
  l.parm_out = 0;
  l.data_in = l.parm_out + r.parm_out.size();
  l.data_out = l.data_in + r.data_in;
  l.parm_in = l.data_out + r.data_out.size();
  return l;
}

inline Bytes Transaction(const Request& r) {
  const Layout l = LayoutOf(r);
  Bytes b = Header(kTransactionControlCode, 143 + l.parm_in + r.parm_in);
  PutLe32(b, 60, r.node);
  PutLe32(b, 64, r.unit);
  b[68] = static_cast<std::uint8_t>(r.code);
  b[69] = static_cast<std::uint8_t>(r.code >> 8);
  b[70] = r.tx_class;
  const auto describe = [&](std::size_t at, std::size_t base, std::size_t length) {
    b[at + 3] = 1;
    PutLe32(b, at + 4, static_cast<std::uint32_t>(base));
    PutLe32(b, at + 8, 0);
    PutLe32(b, at + 12, static_cast<std::uint32_t>(length));
  };
  describe(72, l.parm_out, r.parm_out.size());
  describe(88, l.data_out, r.data_out.size());
  describe(104, l.data_in, r.data_in);
  describe(120, l.parm_in, r.parm_in);
  std::copy(r.parm_out.begin(), r.parm_out.end(), b.begin() + 140 + l.parm_out);
  std::copy(r.data_out.begin(), r.data_out.end(), b.begin() + 140 + l.data_out);
  return b;
}

inline Bytes Slice(const Bytes& b, std::size_t from, std::size_t count) {
  return Bytes(b.begin() + from, b.begin() + from + count);
}

inline Bytes ParmIn(const Request& r, const Bytes& b) {
  return Slice(b, 140 + LayoutOf(r).parm_in, r.parm_in);
}
inline Bytes DataIn(const Request& r, const Bytes& b) {
  return Slice(b, 140 + LayoutOf(r).data_in, r.data_in);
}

inline Request ModeQuery() { return Request{.code = 11, .parm_in = 4}; }
inline Request Read(std::uint32_t address, std::uint32_t count, std::uint32_t into) {
  return Request{.code = 4, .parm_out = Le32s({address, count}), .data_in = into};
}
inline Request Read2(std::uint32_t address, std::uint32_t count, std::uint32_t into) {
  return Request{
      .tx_class = 2, .unit = 17, .code = 3, .parm_out = Le32s({address, count}), .parm_in = into};
}
inline Request Identify() { return Request{.code = 1, .parm_in = 8}; }
inline Request Notice(std::uint16_t code) {
  return Request{.tx_class = 2, .unit = 31, .code = code};
}

inline Request Download(const Bytes& image, std::uint32_t length, std::uint32_t lrc) {
  Bytes parm = Le32s({length, lrc});
  for (char c : std::string("CODEID01")) parm.push_back(static_cast<std::uint8_t>(c));
  return Request{.code = 7, .parm_out = parm, .data_out = image};
}

inline Request GoodDownload(const Bytes& image) {
  return Download(image, static_cast<std::uint32_t>(image.size()),
                  DownloadLrc(image.data(), static_cast<std::uint32_t>(image.size())));
}

}  // namespace sim::test_packets

#endif  // QXFW_SIM_TEST_PACKETS_H_
