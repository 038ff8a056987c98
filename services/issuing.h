// The routines through which the rest of the system issues the common local
// services: printing, code reports, allocation and release, and Assert. Each
// fills a DPB and passes it to the dispatcher through InjectEntry.
#ifndef QXFW_SERVICES_ISSUING_H_
#define QXFW_SERVICES_ISSUING_H_

#include <concepts>
#include <cstdint>
#include <initializer_list>

#include "services/print_format.h"

/// One argument word of a print request: a number of at most 32 bits, or a
/// text, whose host pointer stands beside its word.
class PrintArg {
 public:
  template <std::integral T>
  requires(sizeof(T) <= 4) PrintArg(T value)
      : word_(static_cast<std::uint32_t>(value)) {}  // NOLINT: implicit by design
  PrintArg(const char* text) : text_(text) {}        // NOLINT: implicit by design

  std::uint32_t word() const { return word_; }
  const char* text() const { return text_; }

 private:
  std::uint32_t word_ = 0;
  const char* text_ = nullptr;
};

/// Issues a print block on `channel` (1 standard output, 2 standard error and
/// end of process) and answers the dispatcher's result.
/// REQUIRES: at most four arguments; `format` is one of the system's own texts.
std::int32_t DpbPrintOn(std::uint8_t channel, const char* format,
                        std::initializer_list<PrintArg> args);

/// Ends the process with status 30 should a registered dispatcher have
/// returned from a fatal print.
[[noreturn]] void EndAfterFatalPrint();

/// Prints on standard output (flushed at once).
template <typename... Args>
std::int32_t DpbPrint(const char* format, const Args&... args) {
  static_assert(sizeof...(Args) <= kPrintWords, "a print block carries four argument words");
  return DpbPrintOn(1, format, {PrintArg(args)...});
}

/// Prints on standard error, closes the adapter handles and ends the process
/// with status 30.
template <typename... Args>
[[noreturn]] void DpbPrintFatal(const char* format, const Args&... args) {
  static_assert(sizeof...(Args) <= kPrintWords, "a print block carries four argument words");
  DpbPrintOn(2, format, {PrintArg(args)...});
  EndAfterFatalPrint();
}

/// Code reports through service 32 (the low 8 bits of `code`); the
/// dispatcher takes them without effect.
void DpbReportCode(std::uint32_t code);
void DpbFatalCode(std::uint32_t code);

/// A block of `size` bytes, or null when no memory was available.
void* DpbAllocate(std::uint32_t size, std::uint8_t selector);

/// Releases a block of DpbAllocate; null is accepted.
void DpbFree(void* block);

/// Writes "Assert FILE(LINE): TEXT" on standard error and ends the process
/// with status 30, adapter handles closed.
[[noreturn]] void Assert(const char* file, std::int32_t line, const char* text);

#endif  // QXFW_SERVICES_ISSUING_H_
