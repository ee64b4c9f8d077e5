#include "SpeedVariantName.h"

#include <cstdio>
#include <cstdlib>

namespace sp {

namespace {

constexpr char kMark[] = ".speed";
constexpr std::size_t kMarkLength = sizeof(kMark) - 1;
constexpr char kExtension[] = ".tvs";
constexpr std::size_t kExtensionLength = sizeof(kExtension) - 1;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string SpeedLabel(double percent) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+g", percent);
  return buf;
}

std::string SpeedVariantName(const std::string& patternFile, double percent) {
  const std::string part = kMark + SpeedLabel(percent);
  const std::size_t n = patternFile.size();
  if (n > kExtensionLength && patternFile.compare(n - kExtensionLength, kExtensionLength, kExtension) == 0)
    return patternFile.substr(0, n - kExtensionLength) + part + kExtension;
  return patternFile + part;
}

bool ParseSpeedVariantName(const std::string& name, std::string* mainName, double* percent) {
  const std::size_t mark = name.rfind(kMark);
  if (mark == std::string::npos) return false;
  std::size_t i = mark + kMarkLength;
  if (i >= name.size() || (name[i] != '+' && name[i] != '-')) return false;
  ++i;
  if (i >= name.size() || !IsDigit(name[i])) return false;
  while (i < name.size() && IsDigit(name[i])) ++i;
  if (i + 1 < name.size() && name[i] == '.' && IsDigit(name[i + 1])) {
    ++i;
    while (i < name.size() && IsDigit(name[i])) ++i;
  }
  if (i < name.size() && name[i] != '.') return false;
  if (percent != nullptr) *percent = std::strtod(name.c_str() + mark + kMarkLength, nullptr);
  if (mainName != nullptr) *mainName = name.substr(0, mark) + name.substr(i);
  return true;
}

}  // namespace sp
