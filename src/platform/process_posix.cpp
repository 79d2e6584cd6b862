#include "platform/process.h"

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Platform {

void RaiseToRealtimePriority() {
  sched_param Param{};
  Param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &Param);  // refused without the right: fine
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

size_t ThreadCount() {
  size_t N = 0;
  if (DIR* Tasks = opendir("/proc/self/task")) {
    while (const dirent* E = readdir(Tasks))
      if (E->d_name[0] != '.') ++N;
    closedir(Tasks);
  }
  return N;
}

void NameCurrentThread(const char* Name) {
  char Short[16] = {};
  for (size_t I = 0; I + 1 < sizeof Short && Name[I]; ++I) Short[I] = Name[I];
  pthread_setname_np(pthread_self(), Short);
}

}  // namespace Platform
