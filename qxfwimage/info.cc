#include "qxfwimage/info.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "image/image_file.h"
#include "image/signature_file.h"
#include "util/json_text.h"
#include "util/printable_text.h"

namespace {

/// A length as the downloader's summary shows it: decimal, then hexadecimal.
std::string LengthText(std::uint32_t length) {
  char text[40];
  std::snprintf(text, sizeof text, "%lu (0x%05lx)", static_cast<unsigned long>(length),
                static_cast<unsigned long>(length));
  return text;
}

std::string LrcText(std::uint32_t lrc) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(lrc));
  return text;
}

const char* FormatName(ImageFormat format) {
  return format == ImageFormat::kAif ? "AIF image" : "adapter firmware file";
}

/// The report's CodeID as "%8s" would print it: up to its first NUL.
std::string_view CodeIdText(const ImageReport& report) {
  return report.check.has_header ? std::string_view(report.check.header.CodeID)
                                 : std::string_view(report.check.image.CodeID);
}

bool HasCodeId(const ImageReport& report) {
  return report.check.has_header || (report.format == ImageFormat::kAif && report.check.ok());
}

void AddLine(std::string* out, const char* label, std::string_view value) {
  char padded[24];
  std::snprintf(padded, sizeof padded, "%-14s", label);
  out->append(padded).append(value).append("\n");
}

void AddHeaderText(const FirmwareHeader& header, std::string* out) {
  AddLine(out, "DataLength:", LengthText(header.DataLength));
  AddLine(out, "header LRC:", LrcText(header.LRC));
}

void AddCopyrightText(const FirmwareHeader& header, std::string* out) {
  out->append("copyright:\n---\n");
  out->append(PrintableText(header.CopyrightText, true)).append("\n---\n");
}

std::string ResultText(const ImageCheck& check) {
  return check.ok() ? std::string("valid") : "invalid: " + PrintableText(check.message, false);
}

/// The signature file's check, started before the image is read so that the
/// image is hashed as it is read (as qxfwload does it).
SignatureCheck StartSignatureCheck(const std::string& image_path) {
  SignatureFileRead file = ReadSignatureFile(image_path.c_str());
  const std::size_t slash = file.path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? file.path : file.path.substr(slash + 1);
  if (file.outcome == SignatureFileRead::kMissing) return SignatureCheck::Missing(std::move(name));
  if (file.outcome == SignatureFileRead::kUnreadable) {
    return SignatureCheck::Unreadable(std::move(name));
  }
  return SignatureCheck::FromBytes(std::move(name), file.bytes);
}

std::string SignatureText(const ImageReport& report) {
  const SignatureVerdict& verdict = report.signature;
  std::string text = SignatureStateName(verdict.state);
  if (!verdict.signer.empty()) text += ", signer \"" + verdict.signer + "\"";
  if (!verdict.anchor.empty()) text += ", anchor " + verdict.anchor;
  text += report.signature_required ? ", required by trusted-publishers" : ", not required";
  if (verdict.state != SignatureState::kValid) text += ": " + verdict.reason;
  return PrintableText(text, false);
}

nlohmann::ordered_json SignatureJson(const ImageReport& report) {
  if (!report.signature_examined) return nullptr;
  const SignatureVerdict& verdict = report.signature;
  const nlohmann::ordered_json null;
  nlohmann::ordered_json json;
  json["required"] = report.signature_required;
  json["state"] = SignatureStateName(verdict.state);
  json["signer"] = verdict.signer.empty() ? null : JsonText(verdict.signer);
  json["anchor"] = verdict.anchor.empty() ? null : JsonText(verdict.anchor);
  json["reason"] = verdict.state == SignatureState::kValid ? null : JsonText(verdict.reason);
  return json;
}

}  // namespace

ImageReport InspectImageFile(const std::string& path, ImageFormat format, const char* ll,
                             const TrustFolder& trust) {
  ImageReport report;
  report.path = path;
  report.format = format;
  report.has_ll = ll != nullptr;
  if (ll != nullptr) report.ll.assign(ll, 2);
  SignatureCheck signature = StartSignatureCheck(path);
  const ImageFileRead read = ReadImageFile(
      path.c_str(), kHeapAllocator, LargestImageFile(format),
      [&signature](const std::uint8_t* piece, std::uint32_t size) { signature.Feed(piece, size); });
  report.measured = read.measured;
  report.size = read.size;
  if (!read.ok()) {
    report.check.failure = read.failure;
    report.check.message = read.message;
    return report;
  }
  report.check = CheckImageBytes(read.buffer, read.size, format, path.c_str(), read.whole_file_lrc);
  report.has_computed_lrc = report.check.has_header || report.check.ok();
  report.signature_examined = true;
  report.signature_required = trust.configured;
  report.signature = signature.Finish(read.buffer, read.size, trust);
  if (!trust.error.empty()) report.signature.reason += " (" + trust.error + ")";
  kHeapAllocator.release(read.buffer);
  report.check.image.Data = nullptr;  // it pointed into the block just released
  return report;
}

std::string FormatReportText(const ImageReport& report) {
  std::string out;
  AddLine(&out, "file:", PrintableText(report.path, false));
  AddLine(&out, "format:", FormatName(report.format));
  if (report.measured) AddLine(&out, "size:", std::to_string(report.size) + " bytes");
  if (HasCodeId(report)) AddLine(&out, "CodeID:", PrintableText(CodeIdText(report), false));
  if (report.check.has_header) AddHeaderText(report.check.header, &out);
  if (report.format == ImageFormat::kAif && report.check.ok()) {
    AddLine(&out, "length:", LengthText(report.check.image.Length));
  }
  if (report.has_computed_lrc) AddLine(&out, "computed LRC:", LrcText(report.check.computed_lrc));
  AddLine(&out, "LL from name:", report.has_ll ? PrintableText(report.ll, false) : "none");
  if (report.check.has_header) AddCopyrightText(report.check.header, &out);
  AddLine(&out, "result:", ResultText(report.check));
  if (report.signature_examined) AddLine(&out, "signature:", SignatureText(report));
  return out;
}

std::string FormatReportJson(const ImageReport& report) {
  const bool header = report.check.has_header;
  const FirmwareHeader& fields = report.check.header;
  const nlohmann::ordered_json null;
  nlohmann::ordered_json json;
  json["file"] = JsonText(report.path);
  json["format"] = report.format == ImageFormat::kAif ? "aif" : "adapter";
  json["size"] = report.measured ? nlohmann::ordered_json(report.size) : null;
  json["ll"] = report.has_ll ? JsonText(report.ll) : null;
  json["code_id"] = HasCodeId(report) ? JsonText(CodeIdText(report)) : null;
  json["data_length"] = header ? nlohmann::ordered_json(fields.DataLength) : null;
  json["header_lrc"] = header ? nlohmann::ordered_json(fields.LRC) : null;
  json["computed_lrc"] =
      report.has_computed_lrc ? nlohmann::ordered_json(report.check.computed_lrc) : null;
  json["copyright"] = header ? JsonText(fields.CopyrightText) : null;
  json["valid"] = report.check.ok();
  json["error"] = report.check.ok() ? null : JsonText(report.check.message);
  json["signature"] = SignatureJson(report);
  // ensure_ascii: every character past ASCII as \u00XX, as the bytes were.
  return json.dump(-1, ' ', true) + "\n";
}
