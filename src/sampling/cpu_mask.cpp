#include "sampling/cpu_mask.hpp"

#ifdef __linux__
#include <unistd.h>
#endif

namespace quorvix {

#ifdef __linux__

namespace {

bool process_mask(cpu_set_t& mask) { return sched_getaffinity(getpid(), sizeof mask, &mask) == 0; }
bool own_mask(cpu_set_t& mask) { return sched_getaffinity(0, sizeof mask, &mask) == 0; }

}  // namespace

bool FollowedCpuMask::still_ours() const {
  cpu_set_t now;
  return owned_ && own_mask(now) && CPU_EQUAL(&now, &written_);
}

void FollowedCpuMask::set_to_process_mask() {
  // The process's mask is read again after every write: a change to it made while the write was
  // on its way (taskset -a changes the main thread before the others) is then taken too.
  cpu_set_t wanted;
  if (!process_mask(wanted)) return;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (sched_setaffinity(0, sizeof wanted, &wanted) != 0) {
      owned_ = false;
      return;
    }
    written_ = wanted;
    owned_ = true;
    cpu_set_t again;
    if (!process_mask(again) || CPU_EQUAL(&again, &wanted)) return;
    wanted = again;
  }
}

void FollowedCpuMask::adopt() { set_to_process_mask(); }

void FollowedCpuMask::follow() {
  cpu_set_t own;
  cpu_set_t process;
  if (!own_mask(own) || !process_mask(process)) return;
  if (CPU_EQUAL(&own, &process)) {
    // In step, however it got there (taskset -a sets every thread): the mask may be followed again.
    written_ = own;
    owned_ = true;
  } else if (owned_ && CPU_EQUAL(&own, &written_)) {
    set_to_process_mask();
  } else {
    owned_ = false;
  }
}

void FollowedCpuMask::leave(int cpu) {
  follow();
  if (!owned_ || cpu < 0 || cpu >= CPU_SETSIZE) return;
  cpu_set_t elsewhere = written_;
  if (!CPU_ISSET(cpu, &elsewhere) || CPU_COUNT(&elsewhere) < 2) return;
  CPU_CLR(cpu, &elsewhere);
  if (sched_setaffinity(0, sizeof elsewhere, &elsewhere) != 0) return;
  written_ = elsewhere;
  // Changed from outside meanwhile: that mask stands.
  if (still_ours()) set_to_process_mask();
}

#else

void FollowedCpuMask::adopt() {}
void FollowedCpuMask::follow() {}
void FollowedCpuMask::leave(int) {}

#endif

}  // namespace quorvix
