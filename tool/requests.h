// The requests that the tool sends to adapters. Each is one transaction: a
// DPB filled here, run by Inject, and reduced to one signed 16-bit result:
// 0 success, -3 the request failed (not delivered, or answered with its
// error flag set), any other value the adapter's own ResultCode.
#ifndef QXFW_TOOL_REQUESTS_H_
#define QXFW_TOOL_REQUESTS_H_

#include <cstdint>

#include "record/dpb.h"
#include "tool/vpd.h"

inline constexpr std::int16_t kRequestFailed = -3;
inline constexpr std::uint32_t kIdentifyAnswerSize = 8;
inline constexpr std::uint32_t kPartnerMarkerAt = 6;  // in the identify answer
inline constexpr std::uint8_t kNotAPartner = 0xFF;

/// Builders: fill the fixed fields of a transaction (number 19, flag 5, no
/// callback, the node, unit, code and class), run it through Inject and
/// reduce the outcome. The request has set the four descriptors.
std::int16_t RunClass3Request(std::uint32_t node, std::uint8_t operation, DPB* dpb);
std::int16_t RunClass2Request(std::uint32_t node, std::uint32_t unit, std::uint16_t code, DPB* dpb);

/// On result 0 sets *mode to the answer's byte 0; otherwise leaves it.
std::int16_t QueryAdapterMode(std::uint32_t node, std::uint8_t* mode);
/// Reads `length` bytes of adapter memory into `buffer` (received as data).
/// REQUIRES: `buffer` has room for `length` bytes.
std::int16_t ReadAdapterMemory(std::uint32_t node, std::uint32_t address, std::uint32_t length,
                               void* buffer);
/// The same read as a class-2 request; the bytes come back as parameters.
std::int16_t ReadAdapterMemoryClass2(std::uint32_t node, std::uint32_t unit, std::uint32_t address,
                                     std::uint32_t length, void* buffer);
/// Fills the 8-byte identify answer (on result 0; otherwise it holds nothing usable).
std::int16_t IdentifyAdapter(std::uint32_t node, std::uint8_t answer[kIdentifyAnswerSize]);
/// Sends the image with its length, LRC and 8-byte CodeID.
/// REQUIRES: `data` holds `length` bytes and `code_id` 8 (no terminator needed).
std::int16_t DownloadFirmware(std::uint32_t node, const void* data, std::uint32_t length,
                              std::uint32_t lrc, const char* code_id);
std::int16_t SendPreDownloadNotice(std::uint32_t node);
std::int16_t SendPostDownloadNotice(std::uint32_t node);

/// Which read gave a probe its VPD record.
enum class VpdRead { kNone, kClass3, kClass2 };

/// What a probe learnt besides the VPD record.
struct ProbeReport {
  bool mode_answered = false;  // the mode query's result was 0
  std::uint8_t mode = 0;       // the mode the probe went by: 0 when unanswered
  VpdRead vpd_read = VpdRead::kNone;
};

/// True when the node answers as an adapter and its 256-byte VPD record has
/// been read into `vpd`: the mode query (unanswered counts as mode 0; a mode
/// other than 0 and 1 rules the node out unread), the class-3 read of the
/// mode's VPD address, and on its failure the class-2 read. Each read sends
/// `vpd` as zero bytes, whatever the caller or a failed read left in it.
bool ProbeAdapter(std::uint32_t node, std::uint8_t vpd[kVpdSize]);

/// ProbeAdapter, telling in `report` how it went.
bool ProbeAdapter(std::uint32_t node, std::uint8_t vpd[kVpdSize], ProbeReport* report);

// FindVpdLL and kVpdSize come with tool/vpd.h.

/// Copies `count` bytes, first byte first, and answers count.
/// REQUIRES: the areas don't overlap.
std::uint32_t CopyBytes(void* dst, const void* src, std::uint32_t count);

#endif  // QXFW_TOOL_REQUESTS_H_
