// The benchmark cases. Each is registered beside its baseline, the best the
// machine does with the same bytes, so that every figure the suite reports
// is a ratio of two measurements taken in the same run. Names are
// "GROUP_SIZE/WHAT": the two of a pair share GROUP_SIZE.
#ifndef QXFW_BENCH_CASES_H_
#define QXFW_BENCH_CASES_H_

#include <cstdint>
#include <vector>

namespace bench {

/// ComputeLRC over each size, against glibc's memchr searching the same
/// buffer for a byte that isn't there: the read bandwidth of that buffer.
void RegisterLrcCases(const std::vector<std::uint32_t>& sizes, int iterations);

/// Loading and validating an adapter firmware file of `file_size` bytes
/// through the downloader's image phase, against one fread of the file
/// into a fresh buffer of its size. The file stays in the page cache.
void RegisterLoadCases(std::uint32_t file_size, int iterations);

/// Loading an adapter firmware file of `file_size` bytes with a publisher
/// trusted and the file signed (the trust folder and the signature read, the
/// file hashed as it is read, the signature verified), against one fread of
/// the file and SHA-256 over it through the same library.
void RegisterSignatureCases(std::uint32_t file_size, int iterations);

/// One download request of an `image_size`-byte image on the in-process
/// simulated machine (packet built, the driver checks the LRC in place),
/// against allocating a buffer of that size, copying the image into it and
/// summing it once.
void RegisterDownloadCases(std::uint32_t image_size, int iterations);

}  // namespace bench

#endif  // QXFW_BENCH_CASES_H_
