// Loader frames as bytes and words (little-endian 32-bit words, a checksum word last), and
// files read whole.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vxtest {

inline std::vector<uint8_t> ToBytes(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> b(words.size() * 4);
  for (size_t i = 0; i < words.size(); ++i)
    for (int k = 0; k < 4; ++k) b[4 * i + k] = uint8_t(words[i] >> (8 * k));
  return b;
}

inline std::vector<uint32_t> ToWords(const uint8_t* p, uint32_t len) {
  std::vector<uint32_t> w(len / 4);
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
           uint32_t(p[4 * i + 3]) << 24;
  return w;
}

// The request words followed by their checksum.
inline std::vector<uint32_t> WithSum(std::vector<uint32_t> words) {
  uint32_t s = 0;
  for (uint32_t w : words) s += w;
  words.push_back(s);
  return words;
}

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace vxtest
