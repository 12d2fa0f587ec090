// Work done without the interpreter lock, the lock taken back outside any destructor.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvix {

// Runs work() with the interpreter lock released. The lock is taken back
// in ordinary code, not in a guard's destructor: a daemon thread that takes it back while the
// interpreter finalizes is ended by a forced unwind, which ends the thread cleanly from here but
// terminates the process from a destructor, where no exception may pass. work() may throw; it must
// not touch Python objects.
template <typename Work>
void without_gil(Work&& work) {
  PyThreadState* const saved = PyEval_SaveThread();
  try {
    std::forward<Work>(work)();
  } catch (...) {
    PyEval_RestoreThread(saved);
    throw;
  }
  PyEval_RestoreThread(saved);
}

}  // namespace quorvix
