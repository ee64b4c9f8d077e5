// Ogg pages of one logical stream, built in memory: packets in, pages (capture pattern, granule
// position, sequence number, CRC and lacing) out. Enough for a file written whole, front to back:
// no stream is multiplexed with another, and a packet never continues onto the next page.
#ifndef SIGPAT_OGG_PAGES_H
#define SIGPAT_OGG_PAGES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sigpat {

class OggPages {
 public:
  // Pages are appended to `out`; `serial` names the stream in every page.
  OggPages(std::vector<unsigned char>& out, std::uint32_t serial) : out_(out), serial_(serial) {}
  // The largest packet taken: one page's 255 lacing values.
  static constexpr std::size_t kMaxPacket = 255 * 254;
  // Adds a packet to the page being filled, which is written first when the packet does not fit
  // in it. `granule` is the stream's position at the packet's end. Throws std::length_error for
  // a packet over kMaxPacket.
  void Add(const unsigned char* data, std::size_t n, std::int64_t granule);
  // Writes the page being filled (nothing when it holds no packet). `last` marks the end of the
  // stream; the granule is that of the page's last packet, or `endGranule` when given (>= 0): a
  // last page may end before its packets do, which tells a decoder to drop the rest.
  void Flush(bool last = false, std::int64_t endGranule = -1);
 private:
  std::vector<unsigned char>& out_;
  std::uint32_t serial_;
  std::uint32_t sequence_ = 0;
  std::int64_t granule_ = 0;  // of the last packet added
  std::vector<unsigned char> lacing_, body_;
};

}  // namespace sigpat

#endif
