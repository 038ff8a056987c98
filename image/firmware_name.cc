#include "image/firmware_name.h"

#include <cstring>

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

const char* FindFirmwareLL(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (dot == nullptr || (dot[1] != 'L' && dot[1] != 'l')) return nullptr;
  const char* ll = dot + 2;
  if (!IsHexDigit(ll[0]) || !IsHexDigit(ll[1]) || ll[2] != '\0') return nullptr;
  return ll;
}
