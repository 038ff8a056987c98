// qxfwimage info: what a firmware file holds and whether the downloader
// accepts it, as text for people or as one JSON object for scripts.
#ifndef QXFW_QXFWIMAGE_INFO_H_
#define QXFW_QXFWIMAGE_INFO_H_

#include <cstdint>
#include <string>

#include "image/image_format.h"
#include "transport/publisher_signature.h"
#include "util/printable_text.h"  // PrintableText, for the texts of a report

/// Everything that info reports about one file.
struct ImageReport {
  std::string path;
  ImageFormat format = ImageFormat::kAdapterFirmware;
  bool measured = false;  // the file was opened and its size taken
  std::uint64_t size = 0;
  bool has_ll = false;  // the name ends in .Lxx
  std::string ll;
  /// The downloader's verdict, with its message for the first failure and,
  /// as far as the checks got, the header fields and the computed LRC.
  ImageCheck check;
  bool has_computed_lrc = false;
  /// The signature's verdict, once the file was read; and whether the trust
  /// folder makes qxfwload require a valid one. Reported, never refused on:
  /// this is the publisher's tool.
  bool signature_examined = false;
  bool signature_required = false;
  SignatureVerdict signature;
};

/// Reads and validates `path` as `format` with the downloader's own loading
/// and checks. `ll` is the LL that the downloader's name rule takes from
/// the path, or null when the name has none.
/// The image's signature (path + ".p7s") is judged against `trust`, the
/// trust folder that qxfwload would read.
/// REQUIRES: ll, when not null, addresses two characters.
ImageReport InspectImageFile(const std::string& path, ImageFormat format, const char* ll,
                             const TrustFolder& trust = TrustFolder{});

/// The report as lines of "label: value" text, with "result: valid" or
/// "result: invalid: MESSAGE", then the signature's line once examined.
std::string FormatReportText(const ImageReport& report);

/// The report as one JSON object and a newline.
std::string FormatReportJson(const ImageReport& report);

#endif  // QXFW_QXFWIMAGE_INFO_H_
