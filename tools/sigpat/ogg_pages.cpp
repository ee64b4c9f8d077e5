#include "ogg_pages.h"

#include <array>
#include <stdexcept>

namespace sigpat {

namespace {

// Ogg's CRC: polynomial 0x04C11DB7, most significant bit first, starting from 0, no final XOR.
const std::array<std::uint32_t, 256>& CrcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t r = i << 24;
      for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
      t[i] = r;
    }
    return t;
  }();
  return table;
}

void PutLe(std::vector<unsigned char>& out, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

void OggPages::Add(const unsigned char* data, std::size_t n, std::int64_t granule) {
  if (n > kMaxPacket) throw std::length_error("an Ogg packet over one page");
  const std::size_t values = n / 255 + 1;  // a packet ends with a lacing value under 255
  if (lacing_.size() + values > 255) Flush();
  for (std::size_t i = 0; i + 1 < values; ++i) lacing_.push_back(255);
  lacing_.push_back(static_cast<unsigned char>(n % 255));
  body_.insert(body_.end(), data, data + n);
  granule_ = granule;
}

void OggPages::Flush(bool last, std::int64_t endGranule) {
  if (lacing_.empty()) return;
  const std::size_t at = out_.size();
  out_.resize(at + 27 + lacing_.size());
  const unsigned char head[6] = {'O', 'g', 'g', 'S', 0, 0};
  std::copy(head, head + 6, out_.begin() + static_cast<std::ptrdiff_t>(at));
  out_[at + 5] = static_cast<unsigned char>((sequence_ == 0 ? 0x02 : 0) | (last ? 0x04 : 0));  // first, last page
  PutLe(out_, at + 6, static_cast<std::uint64_t>(endGranule >= 0 ? endGranule : granule_), 8);
  PutLe(out_, at + 14, serial_, 4);
  PutLe(out_, at + 18, sequence_++, 4);
  PutLe(out_, at + 22, 0, 4);  // the CRC, counted with these bytes zero
  out_[at + 26] = static_cast<unsigned char>(lacing_.size());
  std::copy(lacing_.begin(), lacing_.end(), out_.begin() + static_cast<std::ptrdiff_t>(at + 27));
  out_.insert(out_.end(), body_.begin(), body_.end());
  const auto& table = CrcTable();
  std::uint32_t crc = 0;
  for (std::size_t i = at; i < out_.size(); ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ out_[i]) & 0xFF];
  PutLe(out_, at + 22, crc, 4);
  lacing_.clear();
  body_.clear();
}

}  // namespace sigpat
