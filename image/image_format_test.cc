#include "image/image_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutBigEndian(Bytes* bytes, std::size_t offset, std::uint32_t value) {
  (*bytes)[offset] = static_cast<std::uint8_t>(value >> 24);
  (*bytes)[offset + 1] = static_cast<std::uint8_t>(value >> 16);
  (*bytes)[offset + 2] = static_cast<std::uint8_t>(value >> 8);
  (*bytes)[offset + 3] = static_cast<std::uint8_t>(value);
}

void PutLittleEndian(Bytes* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

/// The check value summed the plain way, word by word.
std::uint32_t ReferenceLrc(const Bytes& bytes, std::size_t offset, std::size_t words) {
  std::uint32_t sum = 0xAAAAAAAAu;
  for (std::size_t i = 0; i < words; ++i) {
    const std::size_t at = offset + 4 * i;
    sum += static_cast<std::uint32_t>(bytes[at]) |
           (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
  }
  return sum;
}

Bytes PseudoRandomBytes(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  for (std::uint8_t& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  return bytes;
}

/// An adapter firmware file laid out byte by byte: the header's numbers
/// default to the ones that make it valid.
struct FileSpec {
  Bytes data;
  std::string copyright = "Test firmware";
  std::string code_id = "ABCD1234";
  bool set_length = false;
  std::uint32_t length = 0;
  bool set_lrc = false;
  std::uint32_t lrc = 0;
};

Bytes BuildFile(const FileSpec& spec) {
  Bytes file(272 + spec.data.size(), 0);
  std::memcpy(file.data(), spec.copyright.data(),
              std::min<std::size_t>(spec.copyright.size(), 252));
  PutBigEndian(&file, 252,
               spec.set_length ? spec.length : static_cast<std::uint32_t>(spec.data.size()));
  PutBigEndian(&file, 256,
               spec.set_lrc ? spec.lrc : ReferenceLrc(spec.data, 0, spec.data.size() / 4));
  std::memcpy(file.data() + 260, spec.code_id.data(),
              std::min<std::size_t>(spec.code_id.size(), 8));
  std::copy(spec.data.begin(), spec.data.end(), file.begin() + 272);
  return file;
}

ImageCheck CheckAdapter(const Bytes& file, const char* path = "fw.L1A") {
  return CheckImageBytes(file.data(), file.size(), ImageFormat::kAdapterFirmware, path);
}

ImageCheck CheckAif(const Bytes& file, const char* path = "fw.L1A") {
  return CheckImageBytes(file.data(), file.size(), ImageFormat::kAif, path);
}

Bytes ValidAif(std::size_t size) {
  Bytes file = PseudoRandomBytes(size, 7);
  for (std::size_t offset : {0, 4, 8}) PutLittleEndian(&file, offset, 0xE1A00000u);
  PutLittleEndian(&file, 16, 0xEAFFFFFEu);
  return file;
}

TEST(ComputeLrcTest, ReferenceValues) {
  const std::uint8_t one[] = {0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(ComputeLRC(nullptr, 0), 0xAAAAAAAAu);
  EXPECT_EQ(ComputeLRC(one, 1), 0xAAAAAAABu);
  EXPECT_EQ(ComputeLRC("abcd", 1), 0x0F0E0D0Bu);
}

TEST(ComputeLrcTest, WrapsModulo2To32) {
  const std::uint8_t words[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x57, 0x55, 0x55, 0x55};
  // 0xAAAAAAAA + 0xFFFFFFFF + 0x55555557 = 0x2_00000000 exactly.
  EXPECT_EQ(ComputeLRC(words, 2), 0u);
}

TEST(ComputeLrcTest, MatchesWordByWordSumForEveryCountAndAlignment) {
  const Bytes bytes = PseudoRandomBytes(4 * 70 + 3, 42);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::uint32_t count = 0; count <= 70; ++count) {
      ASSERT_EQ(ComputeLRC(bytes.data() + offset, count), ReferenceLrc(bytes, offset, count))
          << "offset " << offset << " count " << count;
    }
  }
}

// The fast sum adds the words up to a vector boundary one by one, then
// whole blocks of vectors, then the rest one by one: every start against
// the boundaries (64 consecutive offsets cover each one), block count and
// tail length must give the plain sum, and so must the portable sum that
// stands in where the vectors are missing.
TEST(ComputeLrcTest, VectorAndPortableSumsMatchWordByWordSumAtEveryStartAndLength) {
  const Bytes bytes = PseudoRandomBytes(64 + 4 * 160, 9);
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::uint32_t count = 0; count <= 160; ++count) {
      const std::uint32_t expected = ReferenceLrc(bytes, offset, count);
      ASSERT_EQ(ComputeLRC(bytes.data() + offset, count), expected)
          << "offset " << offset << " count " << count;
      ASSERT_EQ(ComputeLRCPortable(bytes.data() + offset, count), expected)
          << "offset " << offset << " count " << count;
    }
  }
  const Bytes large = PseudoRandomBytes(1 << 20, 11);
  const std::uint32_t words = (1 << 20) / 4 - 1;
  EXPECT_EQ(ComputeLRC(large.data() + 1, words), ReferenceLrc(large, 1, words));
  EXPECT_EQ(ComputeLRC(large.data() + 4, words), ReferenceLrc(large, 4, words));
}

TEST(SwapBytes32Test, ReversesTheFourBytes) {
  EXPECT_EQ(SwapBytes32(0x11223344u), 0x44332211u);
  EXPECT_EQ(SwapBytes32(0x000000FFu), 0xFF000000u);
  EXPECT_EQ(SwapBytes32(SwapBytes32(0xDEADBEEFu)), 0xDEADBEEFu);
}

TEST(AdapterFileTest, EmptyImageOf272BytesIsValid) {
  FileSpec spec;
  spec.code_id = "EMPTY000";
  Bytes file = BuildFile(spec);
  ASSERT_EQ(file.size(), 272u);
  EXPECT_EQ(file[256], 0xAA);  // the seed itself: no words to add
  const ImageCheck check = CheckAdapter(file);
  ASSERT_TRUE(check.ok()) << check.message;
  EXPECT_EQ(check.image.Length, 0u);
  EXPECT_EQ(check.image.LRC, 0xAAAAAAAAu);
  EXPECT_EQ(check.image.Data, file.data() + 272);
  EXPECT_STREQ(check.image.CodeID, "EMPTY000");
  EXPECT_EQ(check.image.Buffer, nullptr);
}

TEST(AdapterFileTest, TailBytesOutsideWholeWordsAreSentButNotSummed) {
  for (std::size_t tail = 1; tail <= 3; ++tail) {
    FileSpec spec;
    spec.data = PseudoRandomBytes(40 + tail, static_cast<std::uint32_t>(tail));
    Bytes file = BuildFile(spec);
    file.back() ^= 0xFF;  // outside the LRC: the file stays valid
    const ImageCheck check = CheckAdapter(file);
    ASSERT_TRUE(check.ok()) << "tail " << tail << ": " << check.message;
    EXPECT_EQ(check.image.Length, 40 + tail);
    EXPECT_EQ(check.image.LRC, ReferenceLrc(spec.data, 0, 10));
  }
}

TEST(AdapterFileTest, HeaderNumbersAreBigEndian) {
  FileSpec spec;
  spec.data = PseudoRandomBytes(128000, 3);
  const Bytes file = BuildFile(spec);
  EXPECT_EQ(file[252], 0x00);
  EXPECT_EQ(file[253], 0x01);
  EXPECT_EQ(file[254], 0xF4);
  EXPECT_EQ(file[255], 0x00);
  const ImageCheck check = CheckAdapter(file);
  ASSERT_TRUE(check.ok()) << check.message;
  EXPECT_EQ(check.image.Length, 128000u);
  EXPECT_EQ(check.header.DataLength, 128000u);
}

TEST(AdapterFileTest, RefusalsCarryTheirExactMessages) {
  FileSpec long_by_one;
  long_by_one.data = Bytes(8);
  long_by_one.set_length = true;
  long_by_one.length = 9;
  FileSpec wrong_lrc;
  wrong_lrc.data = {1, 0, 0, 0};
  wrong_lrc.set_lrc = true;
  wrong_lrc.lrc = 0x12345678u;
  FileSpec huge_length;
  huge_length.set_length = true;
  huge_length.length = 0xFFFFFFFFu;

  struct Case {
    const char* name;
    Bytes file;
    ImageFailure failure;
    std::string message;
    bool has_header;
  };
  const Case cases[] = {
      {"empty",
       {},
       ImageFailure::kHeaderSize,
       "file is too small to be an adapter firmware file: fw.L1A",
       false},
      {"271 bytes", Bytes(271), ImageFailure::kHeaderSize,
       "file is too small to be an adapter firmware file: fw.L1A", false},
      {"length", BuildFile(long_by_one), ImageFailure::kLength,
       "length in header does not match length of data", true},
      {"length past the end", BuildFile(huge_length), ImageFailure::kLength,
       "length in header does not match length of data", true},
      {"LRC", BuildFile(wrong_lrc), ImageFailure::kLrc,
       "LRC in file header is 0x12345678, but LRC of firmware is 0xaaaaaaab", true},
  };
  for (const Case& c : cases) {
    const ImageCheck check = CheckAdapter(c.file);
    EXPECT_EQ(check.failure, c.failure) << c.name;
    EXPECT_EQ(check.message, c.message) << c.name;
    EXPECT_EQ(check.has_header, c.has_header) << c.name;
  }
}

TEST(AdapterFileTest, RefusedFileStillReportsWhatItsHeaderClaims) {
  FileSpec spec;
  spec.data = {1, 0, 0, 0};
  spec.set_lrc = true;
  spec.lrc = 0x0BADF00Du;
  const ImageCheck check = CheckAdapter(BuildFile(spec));
  ASSERT_EQ(check.failure, ImageFailure::kLrc);
  EXPECT_EQ(check.header.LRC, 0x0BADF00Du);
  EXPECT_EQ(check.header.DataLength, 4u);
  EXPECT_STREQ(check.header.CodeID, "ABCD1234");
  EXPECT_EQ(check.computed_lrc, 0xAAAAAAABu);
}

TEST(AdapterFileTest, PathIsTextNotFormat) {
  const ImageCheck check = CheckAdapter(Bytes(3), "dir%s/fw%n%08lx.L1A");
  EXPECT_EQ(check.message, "file is too small to be an adapter firmware file: dir%s/fw%n%08lx.L1A");
}

TEST(AdapterFileTest, CopyrightWithoutNulKeepsExactly252Bytes) {
  FileSpec spec;
  spec.copyright = std::string(252, 'C');
  Bytes file = BuildFile(spec);
  const ImageCheck check = CheckAdapter(file);
  ASSERT_TRUE(check.ok()) << check.message;
  EXPECT_EQ(std::strlen(check.header.CopyrightText), 252u);
  EXPECT_EQ(std::string(check.header.CopyrightText), spec.copyright);
}

TEST(AdapterFileTest, CodeIdBytesAreTakenAsTheyStand) {
  FileSpec spec;
  spec.code_id = std::string("AB\0DEFGH", 8);
  const ImageCheck check = CheckAdapter(BuildFile(spec));
  ASSERT_TRUE(check.ok());
  EXPECT_EQ(std::memcmp(check.image.CodeID, "AB\0DEFGH\0", 9), 0);
}

TEST(AdapterFileTest, AifImageReadAsAdapterFileTakesItsBytesAsTheHeader) {
  Bytes aif = ValidAif(300);
  PutBigEndian(&aif, 252, 28);  // 300 - 272
  PutBigEndian(&aif, 256, ReferenceLrc(aif, 272, 7));
  std::memcpy(aif.data() + 260, "AIFCODE!", 8);
  const ImageCheck check = CheckAdapter(aif);
  ASSERT_TRUE(check.ok()) << check.message;
  EXPECT_EQ(check.image.Length, 28u);
  EXPECT_STREQ(check.image.CodeID, "AIFCODE!");
}

TEST(AifImageTest, ExactlyTheHeaderIsAValidImage) {
  const Bytes aif = ValidAif(128);
  const ImageCheck check = CheckAif(aif);
  ASSERT_TRUE(check.ok()) << check.message;
  EXPECT_EQ(check.image.Length, 128u);
  EXPECT_EQ(check.image.Data, aif.data());
  EXPECT_EQ(check.image.LRC, ReferenceLrc(aif, 0, 32));
  EXPECT_STREQ(check.image.CodeID, "????????");
  EXPECT_FALSE(check.has_header);
}

TEST(AifImageTest, LrcCoversOnlyWholeWords) {
  Bytes aif = ValidAif(131);
  const std::uint32_t before = CheckAif(aif).image.LRC;
  aif.back() ^= 0xFF;
  const ImageCheck check = CheckAif(aif);
  ASSERT_TRUE(check.ok());
  EXPECT_EQ(check.image.Length, 131u);
  EXPECT_EQ(check.image.LRC, before);
}

TEST(AifImageTest, EachRequiredWordIsChecked) {
  const std::string not_aif = "file does not look like an AIF to me: fw.L1A";
  for (std::size_t offset : {0, 4, 8, 16}) {
    Bytes aif = ValidAif(128);
    aif[offset + 1] ^= 0x01;
    const ImageCheck check = CheckAif(aif);
    EXPECT_EQ(check.failure, ImageFailure::kAifWords) << offset;
    EXPECT_EQ(check.message, not_aif) << offset;
  }
  Bytes big_endian = ValidAif(128);
  PutBigEndian(&big_endian, 0, 0xE1A00000u);
  EXPECT_EQ(CheckAif(big_endian).message, not_aif);
  Bytes entry_point_changed = ValidAif(128);
  PutLittleEndian(&entry_point_changed, 12, 0x12345678u);  // not examined
  EXPECT_TRUE(CheckAif(entry_point_changed).ok());
}

TEST(AifImageTest, ShortFilesAndAdapterFilesAreRefused) {
  EXPECT_EQ(CheckAif({}).message, "file is too short to be an AIF file: fw.L1A");
  EXPECT_EQ(CheckAif(ValidAif(127)).message, "file is too short to be an AIF file: fw.L1A");
  FileSpec spec;
  spec.data = Bytes(64);
  EXPECT_EQ(CheckAif(BuildFile(spec)).failure, ImageFailure::kAifWords);
}

// A reader that summed the file while reading hands the sum over: the
// checks must come to what they find by reading the data themselves, and
// must take the sum as given rather than read the data again.
TEST(KnownFileLrcTest, GivesTheSameVerdictsAndUsesTheSumGiven) {
  FileSpec valid;
  valid.data = PseudoRandomBytes(4 * 100 + 3, 5);
  FileSpec wrong_lrc = valid;
  wrong_lrc.set_lrc = true;
  wrong_lrc.lrc = 0x12345678u;
  Bytes unused_field_set = BuildFile(valid);
  PutLittleEndian(&unused_field_set, 268, 0xDEADBEEFu);  // not examined, yet in the file's sum
  struct Case {
    Bytes file;
    ImageFormat format;
  };
  const Case cases[] = {{BuildFile(valid), ImageFormat::kAdapterFirmware},
                        {unused_field_set, ImageFormat::kAdapterFirmware},
                        {BuildFile(wrong_lrc), ImageFormat::kAdapterFirmware},
                        {Bytes(200), ImageFormat::kAdapterFirmware},
                        {ValidAif(131), ImageFormat::kAif},
                        {Bytes(20), ImageFormat::kAif}};
  for (const Case& c : cases) {
    const std::uint32_t whole = ReferenceLrc(c.file, 0, c.file.size() / 4);
    const ImageCheck read = CheckImageBytes(c.file.data(), c.file.size(), c.format, "fw");
    const ImageCheck given = CheckImageBytes(c.file.data(), c.file.size(), c.format, "fw", whole);
    EXPECT_EQ(given.failure, read.failure) << c.file.size();
    EXPECT_EQ(given.message, read.message) << c.file.size();
    EXPECT_EQ(given.computed_lrc, read.computed_lrc) << c.file.size();
    EXPECT_EQ(given.image.LRC, read.image.LRC) << c.file.size();
  }
  const Bytes file = BuildFile(valid);
  const std::uint32_t whole = ReferenceLrc(file, 0, file.size() / 4);
  const ImageCheck off_by_one =
      CheckImageBytes(file.data(), file.size(), ImageFormat::kAdapterFirmware, "fw", whole + 1);
  EXPECT_EQ(off_by_one.failure, ImageFailure::kLrc);
  EXPECT_EQ(off_by_one.computed_lrc, ReferenceLrc(valid.data, 0, 100) + 1);
}

TEST(ImageSizeTest, FilesOf4GiBOrMoreAreRefusedUnread) {
  for (const std::uint64_t size : {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 272}) {
    for (const ImageFormat format : {ImageFormat::kAdapterFirmware, ImageFormat::kAif}) {
      const ImageCheck check = CheckImageBytes(nullptr, size, format, "big.L1A");
      EXPECT_EQ(check.failure, ImageFailure::kTooLarge);
      EXPECT_EQ(check.message, "firmware file is too large: big.L1A");
    }
  }
}

// An AIF image is sent whole, so one whose download packet would not fit
// the packet's 32-bit sizes is refused, unread, with the other files too
// large. An adapter file's data is always short enough.
TEST(ImageSizeTest, AifImagesTooLargeForOneDownloadAreRefusedUnread) {
  const std::uint64_t largest_aif = LargestImageFile(ImageFormat::kAif);
  EXPECT_EQ(largest_aif, 0xFFFFFFFFu - 159);
  for (const std::uint64_t size : {largest_aif + 1, std::uint64_t{0xFFFFFFFFu}}) {
    const ImageCheck check = CheckImageBytes(nullptr, size, ImageFormat::kAif, "big.aif");
    EXPECT_EQ(check.failure, ImageFailure::kTooLarge) << size;
    EXPECT_EQ(check.message, "firmware file is too large: big.aif");
  }
  EXPECT_EQ(LargestImageFile(ImageFormat::kAdapterFirmware), 0xFFFFFFFFu);
}

TEST(FirmwareHeaderTest, EncodeLaysOutEveryField) {
  FirmwareHeader header;
  std::memcpy(header.CopyrightText, "(c) test", 8);
  header.DataLength = 0x01020304u;
  header.LRC = 0xA1B2C3D4u;
  std::memcpy(header.CodeID, "CODE0001", 8);
  Bytes out(272, 0xEE);
  EncodeFirmwareHeader(header, out.data());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), 9),
            std::string("(c) test\0", 9));
  EXPECT_EQ(out[251], 0);
  EXPECT_EQ(Bytes(out.begin() + 252, out.begin() + 260),
            (Bytes{1, 2, 3, 4, 0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(std::string(out.begin() + 260, out.begin() + 268), "CODE0001");
  EXPECT_EQ(Bytes(out.begin() + 268, out.end()), Bytes(4, 0));
  const FirmwareHeader decoded = DecodeFirmwareHeader(out.data());
  EXPECT_STREQ(decoded.CopyrightText, "(c) test");
  EXPECT_EQ(decoded.DataLength, header.DataLength);
  EXPECT_EQ(decoded.LRC, header.LRC);
  EXPECT_STREQ(decoded.CodeID, "CODE0001");
}

}  // namespace
