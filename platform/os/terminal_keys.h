// Key codes from the bytes a terminal sends, as Windows' console gives them; nextByte(nWaitMs)
// is the next byte when one comes within nWaitMs, else -1. An escape sequence (arrows, function
// keys: ESC [ ... final byte, or ESC O byte) is two codes, 0xE0 and its last byte, as such a key
// is on Windows; ESC followed by anything else is the Esc key, 27. A UTF-8 character of several
// bytes (a-umlaut, the euro sign) is one code, its first byte, as Windows' console gives one code
// per character: terminals send UTF-8 whatever the program's locale (a service's or an SSH
// session's C locale included).
#pragma once

#include <deque>

namespace terminal_keys {

constexpr int kEscape = 0x1B;
constexpr int kExtendedKeyPrefix = 0xE0;  // what Windows' console gives before an extended key
constexpr int kFollowMs = 30;  // how long the rest of a sequence or character may lag its first byte
constexpr int kMaxSequenceBytes = 16;

// Appends the codes of the escape sequence whose ESC has been read and returns -1, or
// returns the byte that followed a lone ESC.
template <typename NextByte>
int DecodeEscape(NextByte& nextByte, std::deque<int>& keys) {
  const int nIntroducer = nextByte(kFollowMs);
  if (nIntroducer != '[' && nIntroducer != 'O') {
    keys.push_back(kEscape);  // the Esc key itself
    return nIntroducer;
  }
  int nLast = nIntroducer;
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    const int nByte = nextByte(kFollowMs);
    if (nByte < 0) break;
    nLast = nByte;
    // SS3 (ESC O) takes one byte; a control sequence ends at a byte from 0x40 to 0x7E.
    if (nIntroducer == 'O' || (nByte >= 0x40 && nByte <= 0x7E)) break;
  }
  keys.push_back(kExtendedKeyPrefix);
  keys.push_back(nLast);
  return -1;
}

// How many bytes the UTF-8 character that starts with this byte takes (1: no such start).
constexpr int Utf8Length(int nFirst) {
  if (nFirst >= 0xC2 && nFirst <= 0xDF) return 2;
  if (nFirst >= 0xE0 && nFirst <= 0xEF) return 3;
  if (nFirst >= 0xF0 && nFirst <= 0xF4) return 4;
  return 1;
}

// Appends one code, the first byte, for the character whose first byte has been read and
// returns -1, or returns a byte that does not continue the character.
template <typename NextByte>
int DecodeCharacter(int nFirst, NextByte& nextByte, std::deque<int>& keys) {
  keys.push_back(nFirst);
  for (int i = 1; i < Utf8Length(nFirst); ++i) {
    const int nByte = nextByte(kFollowMs);
    if (nByte < 0) break;
    if (nByte < 0x80 || nByte > 0xBF) return nByte;
  }
  return -1;
}

// Appends the codes of the key whose first byte has been read, and of any key whose first
// byte was read while telling where that key ends.
template <typename NextByte>
void DecodeKey(int nFirst, NextByte&& nextByte, std::deque<int>& keys) {
  for (int nByte = nFirst; nByte >= 0;)
    nByte = nByte == kEscape ? DecodeEscape(nextByte, keys) : DecodeCharacter(nByte, nextByte, keys);
}

}  // namespace terminal_keys
