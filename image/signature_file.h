// The detached signature file that goes with an image: the image's own name
// with ".p7s" added. Here it is only found and read whole; what it holds is
// judged by transport/publisher_signature.h.
#ifndef QXFW_IMAGE_SIGNATURE_FILE_H_
#define QXFW_IMAGE_SIGNATURE_FILE_H_

#include <cstdint>
#include <string>

/// A signature is a few kilobytes: anything larger is not one, and is not
/// read into memory.
inline constexpr std::uint64_t kLargestSignatureFile = std::uint64_t{1} << 20;

struct SignatureFileRead {
  enum Outcome {
    kRead,        // `bytes` holds the whole file
    kMissing,     // no file of that name
    kUnreadable,  // there, but it can't be opened or read, isn't a regular file, or is too large
  };
  Outcome outcome = kMissing;
  std::string path;  // the image's path with ".p7s" added
  std::string bytes;
};

/// Reads the signature file of the image at `image_path` whole, as an image
/// is read: only a regular file, opened without waiting.
/// REQUIRES: image_path is not null.
SignatureFileRead ReadSignatureFile(const char* image_path);

#endif  // QXFW_IMAGE_SIGNATURE_FILE_H_
