#include "platform/paths.h"

#include <cstdint>
#include <vector>

namespace tessel::platform {

bool isPathSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\' || c == ':';
#else
  return c == '/';
#endif
}

size_t lastSeparator(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (isPathSeparator(path[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

char separatorFor(std::string_view path) {
  const size_t at = lastSeparator(path);
  return at != std::string_view::npos && path[at] == '\\' ? '\\' : '/';
}

std::string withoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() != ':' && isPathSeparator(path.back())) {
#ifdef _WIN32
    if (path[path.size() - 2] == ':') break;  // "C:\" is the root of drive C, "C:" is not
#endif
    path.pop_back();
  }
  return path;
}

bool hasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

namespace {

// UTF-8 text split into characters (a lead byte and its continuation bytes), so that `?` stands
// for one character.
using Characters = std::vector<std::string_view>;

Characters characters(std::string_view text) {
  Characters out;
  for (size_t i = 0; i < text.size();) {
    size_t j = i + 1;
    while (j < text.size() && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) ++j;
    out.push_back(text.substr(i, j - i));
    i = j;
  }
  return out;
}

bool sameCharacter(std::string_view a, std::string_view b) {
  if (a.size() == 1 && b.size() == 1) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; };
    return fold(a[0]) == fold(b[0]);
  }
  return a == b;
}

bool matches(const Characters& pattern, const Characters& name) {
  // Glob match with single-star backtracking.
  size_t p = 0, n = 0, starP = SIZE_MAX, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == "?" || sameCharacter(pattern[p], name[n]))) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == "*") {
      starP = p++, starN = n;
    } else if (starP != SIZE_MAX) {
      p = starP + 1, n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == "*") ++p;
  return p == pattern.size();
}

}  // namespace

bool wildcardMatch(std::string_view pattern, std::string_view name) {
  Characters p = characters(pattern);
  const Characters n = characters(name);
  if (matches(p, n)) return true;
  if (p.size() >= 2 && p[p.size() - 2] == "." && p.back() == "*") {
    p.resize(p.size() - 2);
    return matches(p, n);
  }
  return false;
}

}  // namespace tessel::platform
