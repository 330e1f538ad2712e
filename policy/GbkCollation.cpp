#include "policy/GbkCollation.h"

#include <cstdint>

namespace qbnotify::gbk {
namespace {

bool IsLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsTrail(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE); }

// The weight of a one-byte character.
std::uint32_t ByteWeight(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 'a' + 'A';
  switch (c) {
    case '[': return 0x5C;
    case '\\': return 0x5D;
    case ']': return 0x5B;
    case '~': return 'Y';
    default: break;
  }
  if (c < 0x80) return c;
  return 0xFF00u + c;  // a byte that is no character of the code page
}

std::uint32_t LikeWeight(unsigned char c) { return ByteWeight(c); }

// The weight of the character at `text[at]`, and its length through `length`.
std::uint32_t WeightAt(std::string_view text, std::size_t at, std::size_t& length) {
  const auto c = static_cast<unsigned char>(text[at]);
  if (at + 1 < text.size() && IsLead(c) && IsTrail(static_cast<unsigned char>(text[at + 1]))) {
    length = 2;
    return 0x10000u + (static_cast<std::uint32_t>(c) << 8) + static_cast<unsigned char>(text[at + 1]);
  }
  length = 1;
  return ByteWeight(c);
}

std::size_t LengthAt(std::string_view text, std::size_t at) {
  if (at + 1 < text.size() && IsLead(static_cast<unsigned char>(text[at])) &&
      IsTrail(static_cast<unsigned char>(text[at + 1])))
    return 2;
  return 1;
}

constexpr char kEscape = '\\';
constexpr char kAny = '%';
constexpr char kOne = '_';

// 0: match; 1: no match; -1: no match, and no later start of the text can match either.
int Wild(std::string_view s, std::size_t si, std::string_view w, std::size_t wi) {
  int result = -1;
  const std::size_t se = s.size();
  const std::size_t we = w.size();
  while (wi != we) {
    while (w[wi] != kAny && w[wi] != kOne) {
      if (w[wi] == kEscape && wi + 1 != we) ++wi;
      const std::size_t l = LengthAt(w, wi);
      if (l == 2) {
        if (si + 2 > se || s.substr(si, 2) != w.substr(wi, 2)) return 1;
        si += 2;
        wi += 2;
      } else {
        if (si == se || LikeWeight(static_cast<unsigned char>(w[wi])) != LikeWeight(static_cast<unsigned char>(s[si])))
          return 1;
        ++si;
        ++wi;
      }
      if (wi == we) return si != se ? 1 : 0;
      result = 1;
    }
    if (w[wi] == kOne) {
      do {
        if (si == se) return result;
        si += LengthAt(s, si);
      } while (++wi < we && w[wi] == kOne);
      if (wi == we) break;
    }
    if (w[wi] == kAny) {
      ++wi;
      for (; wi != we; ++wi) {
        if (w[wi] == kAny) continue;
        if (w[wi] == kOne) {
          if (si == se) return -1;
          si += LengthAt(s, si);
          continue;
        }
        break;
      }
      if (wi == we) return 0;
      if (si == se) return -1;
      if (w[wi] == kEscape && wi + 1 != we) ++wi;
      const std::size_t mbStart = wi;
      const std::size_t mbLength = LengthAt(w, wi) == 2 ? 2 : 0;
      const std::uint32_t cmp = LikeWeight(static_cast<unsigned char>(w[wi]));
      wi += LengthAt(w, wi);
      do {
        for (;;) {
          if (si >= se) return -1;
          if (mbLength) {
            if (si + mbLength <= se && s.substr(si, mbLength) == w.substr(mbStart, mbLength)) {
              si += mbLength;
              break;
            }
          } else if (LengthAt(s, si) == 1 && LikeWeight(static_cast<unsigned char>(s[si])) == cmp) {
            ++si;
            break;
          }
          si += LengthAt(s, si);
        }
        const int tail = Wild(s, si, w, wi);
        if (tail <= 0) return tail;
      } while (si != se);
      return -1;
    }
  }
  return si != se ? 1 : 0;
}

}  // namespace

std::size_t CharLength(std::string_view text) { return text.empty() ? 0 : LengthAt(text, 0); }

int Compare(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    std::size_t la = 0;
    std::size_t lb = 0;
    const std::uint32_t wa = WeightAt(a, i, la);
    const std::uint32_t wb = WeightAt(b, j, lb);
    if (wa != wb) return wa < wb ? -1 : 1;
    i += la;
    j += lb;
  }
  // The shorter text counts as padded with spaces.
  const int sign = i < a.size() ? 1 : -1;
  std::string_view rest = i < a.size() ? a.substr(i) : b.substr(j);
  for (std::size_t k = 0; k < rest.size();) {
    std::size_t l = 0;
    const std::uint32_t w = WeightAt(rest, k, l);
    if (w != ' ') return w < ' ' ? -sign : sign;
    k += l;
  }
  return 0;
}

bool Like(std::string_view text, std::string_view pattern) { return Wild(text, 0, pattern, 0) == 0; }

std::string WildcardsToLike(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '*') c = '%';
    else if (c == '?') c = '_';
  }
  return out;
}

}  // namespace qbnotify::gbk
