#include "module/version_guard.hpp"

#include <cstring>

namespace quorvix {

bool interpreter_version_matches(const char* built_for, const char* running) {
  const std::size_t length = std::strlen(built_for);
  if (std::strncmp(running, built_for, length) != 0) return false;
  const char next = running[length];
  return next < '0' || next > '9';
}

}  // namespace quorvix
