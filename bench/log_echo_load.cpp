// The --log echo's memory when nobody reads standard error (recorded in bench/README.md):
//
//   log_echo_load [lines [characters]]   logs that many lines of that many characters (default 20,000 of
//                                        16,000) into an echo whose descriptor is a pipe that nobody reads,
//                                        and prints the resident memory before and after, and at its peak

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "shell/log_echo.h"

namespace {

long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == field) {
      long kib = 0;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const long lines = argc > 1 ? std::atol(argv[1]) : 20000;
  const size_t characters = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16000;
  int fds[2];
  if (::pipe(fds) != 0) return 1;
  const long before = StatusKiB("VmRSS:");
  long after = 0;
  {
    tessarine::shell::TLogEcho echo(fds[1]);
    const std::u16string line(characters, u'x');
    for (long i = 0; i < lines; ++i) echo.Add(line);
    after = StatusKiB("VmRSS:");
  }  // gives up what the pipe does not take within the stop wait
  std::printf("%ld lines of %zu characters: resident %.1f MiB before, %.1f MiB after (%+.1f MiB), peak %.1f MiB\n",
              lines, characters, before / 1024.0, after / 1024.0, (after - before) / 1024.0,
              StatusKiB("VmHWM:") / 1024.0);
  return 0;
}
