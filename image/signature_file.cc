#include "image/signature_file.h"

#include <cerrno>

#include "image/image_file.h"

SignatureFileRead ReadSignatureFile(const char* image_path) {
  SignatureFileRead result;
  result.path = std::string(image_path) + ".p7s";
  errno = 0;
  const ImageFileRead read =
      ReadImageFile(result.path.c_str(), kHeapAllocator, kLargestSignatureFile);
  if (read.ok()) {
    result.outcome = SignatureFileRead::kRead;
    result.bytes.assign(reinterpret_cast<const char*>(read.buffer), read.size);
    kHeapAllocator.release(read.buffer);
    return result;
  }
  // Only a name that is absent is "no signature": a file that is there but
  // can't be read is the administrator's to fix, and is said so.
  const bool absent = read.failure == ImageFailure::kOpen && errno == ENOENT;
  result.outcome = absent ? SignatureFileRead::kMissing : SignatureFileRead::kUnreadable;
  return result;
}
