#pragma once

// The few C library calls the tests make that Windows spells otherwise.

#include <cstddef>
#include <cstdlib>

#include <malloc.h>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace tessarine::test_support {

inline size_t HeapBlockSize(void* block) {
#ifdef _WIN32
  return _msize(block);
#else
  return malloc_usable_size(block);
#endif
}

inline void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  ::setenv(name, value, 1);
#endif
}

inline void UnsetEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  ::unsetenv(name);
#endif
}

// Whether taking a folder's write permission away stops this process writing there: not for the superuser, and
// not on Windows, where a folder's read-only attribute does not stop files being made in it.
inline bool FolderPermissionsBindUs() {
#ifdef _WIN32
  return false;
#else
  return ::geteuid() != 0;
#endif
}

}  // namespace tessarine::test_support
