// The import-time check that the running interpreter is the one the module was built for.
#pragma once

namespace quorvix {

// True when `running` (the interpreter's version string, e.g. "3.11.7 (main, ...)") starts with the
// major.minor string `built_for` (e.g. "3.11") and the next character is not a digit, so that a
// "3.1" build refuses "3.11" and a "3.11" build refuses "3.110".
bool interpreter_version_matches(const char* built_for, const char* running);

}  // namespace quorvix
