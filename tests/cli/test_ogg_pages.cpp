// Ogg pages read back by a reader of their own: each page's capture pattern, flags, granule,
// sequence and CRC, and the packets rebuilt from the lacing exactly as they went in.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "ogg_pages.h"

namespace {

struct Page {
  int flags;
  std::int64_t granule;
  std::uint32_t serial, sequence;
  bool crcOk;
};

std::uint64_t Le(const std::vector<unsigned char>& b, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
  return v;
}

// The pages of `bytes` and the packets they hold (a packet ends at a lacing value under 255).
std::vector<Page> Read(const std::vector<unsigned char>& bytes, std::vector<std::vector<unsigned char>>& packets) {
  std::vector<Page> pages;
  std::vector<unsigned char> packet;
  for (std::size_t at = 0; at < bytes.size();) {
    EXPECT_EQ(std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + 4)), "OggS");
    const std::size_t segments = bytes[at + 26];
    std::size_t body = at + 27 + segments, size = 27 + segments;
    for (std::size_t s = 0; s < segments; ++s) size += bytes[at + 27 + s];
    // The CRC bit by bit over the page with its CRC field zero.
    std::uint32_t crc = 0;
    for (std::size_t i = at; i < at + size; ++i) {
      crc ^= static_cast<std::uint32_t>(i >= at + 22 && i < at + 26 ? 0 : bytes[i]) << 24;
      for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    pages.push_back({bytes[at + 5], static_cast<std::int64_t>(Le(bytes, at + 6, 8)), static_cast<std::uint32_t>(Le(bytes, at + 14, 4)),
                     static_cast<std::uint32_t>(Le(bytes, at + 18, 4)), crc == Le(bytes, at + 22, 4)});
    for (std::size_t s = 0; s < segments; ++s) {
      const std::size_t n = bytes[at + 27 + s];
      packet.insert(packet.end(), bytes.begin() + static_cast<std::ptrdiff_t>(body), bytes.begin() + static_cast<std::ptrdiff_t>(body + n));
      body += n;
      if (n < 255) packets.push_back(packet), packet.clear();
    }
    EXPECT_TRUE(packet.empty()) << "a packet continued onto the next page";
    at += size;
  }
  return pages;
}

TEST(OggPages, PacketsComeBackWholeInPagesWithTheirGranulesAndCrc) {
  std::vector<unsigned char> out;
  sigpat::OggPages pages(out, 0x01020304);
  std::vector<std::vector<unsigned char>> in;
  // Sizes at the lacing's edges, then 300 small packets: more lacing values than a page holds.
  std::vector<std::size_t> sizes = {19, 0, 254, 255, 510, 1000, sigpat::OggPages::kMaxPacket};
  sizes.insert(sizes.end(), 300, 3);
  std::int64_t granule = 0;
  for (std::size_t k = 0; k < sizes.size(); ++k) {
    std::vector<unsigned char> p(sizes[k]);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(k * 7 + i);
    pages.Add(p.data(), p.size(), granule += 960);
    in.push_back(p);
    if (k == 0) pages.Flush();  // a header alone on the first page
  }
  pages.Flush(true, granule - 500);  // the stream ends before its last packet does
  pages.Flush(true);                 // nothing left: no page
  EXPECT_THROW(pages.Add(out.data(), sigpat::OggPages::kMaxPacket + 1, 0), std::length_error);

  std::vector<std::vector<unsigned char>> back;
  const std::vector<Page> read = Read(out, back);
  EXPECT_EQ(back, in);
  ASSERT_GE(read.size(), 4u);  // the header's page, the big packet's, and 300 small ones over two
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_TRUE(read[i].crcOk) << i;
    EXPECT_EQ(read[i].serial, 0x01020304u);
    EXPECT_EQ(read[i].sequence, i);
    EXPECT_EQ(read[i].flags, (i == 0 ? 0x02 : 0) | (i + 1 == read.size() ? 0x04 : 0)) << i;
  }
  EXPECT_EQ(read[0].granule, 960);
  EXPECT_EQ(read.back().granule, granule - 500);
  for (std::size_t i = 1; i + 1 < read.size(); ++i) EXPECT_LT(read[i - 1].granule, read[i].granule);
}

}  // namespace
