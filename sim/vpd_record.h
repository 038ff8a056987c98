// The simulated adapters' VPD record: the one place that knows its layout,
// for the machine that builds records (the driver core, the machine file)
// and for the state file, which finds an adapter's serial number in one.
//
// Freestanding, like the driver core: no allocation, no exceptions, nothing
// beyond <cstdint>/<cstddef>.
#ifndef QXFW_SIM_VPD_RECORD_H_
#define QXFW_SIM_VPD_RECORD_H_

#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr int kVpdSize = 256;

/// The longest *SN value BuildVpdRecord takes.
inline constexpr std::uint32_t kMaxSerialLength = 64;

/// Writes the VPD record the machine gives an adapter whose LL keyword is
/// `ll0` `ll1`: "VPD" at bytes 0-2, the keyword-area length at byte 4 (in
/// 2-byte units), then from byte 7 the keywords *PN, *SN ("0000000000") and
/// *LL, each as '*', two name characters, its length in 2-byte units and its
/// value padded with a zero byte to whole units; zero bytes after.
void BuildVpdRecord(char ll0, char ll1, std::uint8_t (&record)[kVpdSize]);

/// As above, with `serial` as the *SN value in place of "0000000000".
/// REQUIRES: 1 <= serial_length <= kMaxSerialLength.
void BuildVpdRecord(char ll0, char ll1, const char* serial, std::uint32_t serial_length,
                    std::uint8_t (&record)[kVpdSize]);

/// Where the first *SN value of the keyword area lies: true with *at and
/// *length set to its bytes without the zero bytes that pad it; false when
/// the walk over the area, which stops at the first keyword that doesn't
/// begin with '*' or doesn't fit, meets none.
[[nodiscard]] bool FindVpdSerial(const std::uint8_t (&record)[kVpdSize], std::uint32_t* at,
                                 std::uint32_t* length);

}  // namespace sim

#endif  // QXFW_SIM_VPD_RECORD_H_
