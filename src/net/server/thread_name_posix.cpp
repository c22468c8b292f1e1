#include "net/server/thread_name.h"

#include <pthread.h>
#include <sched.h>

#include <string>

#include "common/text.h"

namespace tessarine::server {

void SetCurrentThreadName(std::u16string_view name) noexcept {
  try {
    std::string text = name.empty() ? std::string("IdThread (unknown)") : ToUtf8(name);
    // Linux refuses names over 15 bytes instead of shortening them.
    if (text.size() > 15) text.resize(15);
    pthread_setname_np(pthread_self(), text.c_str());
  } catch (...) {
    // A name is only a diagnostic aid.
  }
}

void SetCurrentThreadBatch() noexcept {
  sched_param parameters{};
  parameters.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
}

}  // namespace tessarine::server
