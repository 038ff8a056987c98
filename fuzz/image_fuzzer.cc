// Image validation over arbitrary file contents, as an adapter firmware file
// and as an AIF image: the verdict must agree with the rules written out
// plainly below, an accepted image must lie inside the file, and every text
// made from the file (error line, qxfwimage's reports) must stay in bounds.
// The bytes sit in a heap block of exactly their size, so that ASan reports
// any read past the file.
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "image/image_format.h"
#include "qxfwimage/info.h"

namespace {

// A path full of conversions: it must only ever be copied as text.
constexpr char kPath[] = "fw%s%n%x%08lx.L1A";

std::uint32_t LittleWord(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t BigWord(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

std::uint32_t PlainLrc(const std::uint8_t* p, std::size_t bytes) {
  std::uint32_t sum = 0xAAAAAAAAu;
  for (std::size_t at = 0; at + 4 <= bytes; at += 4) sum += LittleWord(p + at);
  return sum;
}

/// The verdict by the rules, in their order.
ImageFailure ExpectedFailure(const std::uint8_t* p, std::size_t size, ImageFormat format) {
  if (format == ImageFormat::kAif) {
    if (size < 128) return ImageFailure::kAifSize;
    const bool words = LittleWord(p) == 0xE1A00000u && LittleWord(p + 4) == 0xE1A00000u &&
                       LittleWord(p + 8) == 0xE1A00000u && LittleWord(p + 16) == 0xEAFFFFFEu;
    return words ? ImageFailure::kNone : ImageFailure::kAifWords;
  }
  if (size < 272) return ImageFailure::kHeaderSize;
  if (size - 272 != BigWord(p + 252)) return ImageFailure::kLength;
  if (PlainLrc(p + 272, size - 272) != BigWord(p + 256)) return ImageFailure::kLrc;
  return ImageFailure::kNone;
}

void CheckAccepted(const ImageCheck& check, const std::uint8_t* p, std::size_t size,
                   ImageFormat format) {
  const std::size_t start = format == ImageFormat::kAif ? 0 : 272;
  FUZZ_CHECK(check.image.Data == p + start);
  FUZZ_CHECK(check.image.Length == size - start);
  FUZZ_CHECK(check.image.LRC == PlainLrc(p + start, size - start));
  FUZZ_CHECK(check.image.CodeID[kCodeIdSize] == '\0');
  if (format == ImageFormat::kAdapterFirmware) {
    FUZZ_CHECK(std::memcmp(check.image.CodeID, p + 260, kCodeIdSize) == 0);
  } else {
    FUZZ_CHECK(std::strcmp(check.image.CodeID, kUnknownCodeId) == 0);
  }
}

void CheckHeader(const ImageCheck& check, const std::uint8_t* p, std::size_t size) {
  FUZZ_CHECK(check.has_header == (size >= 272));
  if (!check.has_header) return;
  // Each text is cut at the end of its field: 252 and 8 bytes at most.
  FUZZ_CHECK(std::memcmp(check.header.CopyrightText, p, 252) == 0);
  FUZZ_CHECK(check.header.CopyrightText[252] == '\0');
  FUZZ_CHECK(check.header.CodeID[kCodeIdSize] == '\0');
  FUZZ_CHECK(check.header.DataLength == BigWord(p + 252));
  FUZZ_CHECK(check.header.LRC == BigWord(p + 256));
}

/// The refusal's message, and qxfwimage's two reports, free of control
/// characters that a terminal would act on.
void CheckTexts(const ImageCheck& check, std::size_t size, ImageFormat format) {
  if (!check.ok()) {
    if (check.failure != ImageFailure::kLength && check.failure != ImageFailure::kLrc) {
      FUZZ_CHECK(check.message.ends_with(kPath));
    }
  }
  ImageReport report;
  report.path = kPath;
  report.format = format;
  report.measured = true;
  report.size = size;
  report.has_ll = true;
  report.ll = "1A";
  report.check = check;
  report.has_computed_lrc = check.has_header || check.ok();
  const std::string text = FormatReportText(report);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // A CR is kept only as the start of a CR LF line end.
    const bool crlf = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    FUZZ_CHECK(byte >= 0x20 || text[i] == '\n' || text[i] == '\t' || crlf);
    FUZZ_CHECK(byte != 0x7F);
  }
  const nlohmann::json json = nlohmann::json::parse(FormatReportJson(report), nullptr, false);
  FUZZ_CHECK(!json.is_discarded());
  FUZZ_CHECK(json["valid"] == check.ok());
}

void CheckFormat(const std::uint8_t* p, std::size_t size, ImageFormat format) {
  const ImageCheck check = CheckImageBytes(p, size, format, kPath);
  FUZZ_CHECK(check.failure == ExpectedFailure(p, size, format));
  FUZZ_CHECK(check.ok() == check.message.empty());
  if (check.ok()) CheckAccepted(check, p, size, format);
  if (format == ImageFormat::kAdapterFirmware) CheckHeader(check, p, size);
  CheckTexts(check, size, format);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A block of exactly the file's size (a zero-byte file still gets a block).
  std::vector<std::uint8_t> file(data, data + size);
  file.shrink_to_fit();
  const std::uint8_t* bytes = file.empty() ? data : file.data();
  CheckFormat(bytes, size, ImageFormat::kAdapterFirmware);
  CheckFormat(bytes, size, ImageFormat::kAif);
  return 0;
}
