// Prints 1 or 0 for every (built_for, running) pair given on the command line.
#include <cstdio>

#include "module/version_guard.hpp"

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::printf("%d\n", quorvix::interpreter_version_matches(argv[i], argv[i + 1]) ? 1 : 0);
  }
  return 0;
}
