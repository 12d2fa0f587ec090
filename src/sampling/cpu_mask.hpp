// The CPU mask of a pool worker, kept in step with the process's own without overwriting a mask that
// someone else set on the worker.
#pragma once

#ifdef __linux__
#include <sched.h>
#endif

namespace quorvix {

// One per worker, used only by the worker's own thread. "The process's mask" is the mask of the
// process's main thread as it is now, the one that `taskset -p` and os.sched_setaffinity(pid) set;
// a mask is never restored from an earlier reading. The worker's mask is written only while it is
// still the one last written here, so a mask set on the worker from outside is left as it is.
class FollowedCpuMask {
 public:
  // Takes the process's mask: a thread starts with its creator's, which may have been narrowed
  // for that thread alone.
  void adopt();
  // Takes the process's mask when it has changed since, and the worker's is still ours.
  void follow();
  // Moves the thread off `cpu` to another CPU the process may run on (the kernel migrates a thread
  // at once when its CPU is taken from it), then takes the process's mask as it is by then.
  void leave(int cpu);

 private:
#ifdef __linux__
  // Sets the thread's mask to the process's, again while the process's changes meanwhile.
  void set_to_process_mask();
  // Whether the thread's mask is still the one last written here.
  bool still_ours() const;

  cpu_set_t written_{};
  bool owned_ = false;  // written_ is the thread's mask as last set here
#endif
};

}  // namespace quorvix
