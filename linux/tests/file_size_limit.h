#pragma once

// A full disk for this process: writes past `bytes` fail with EFBIG (and no
// SIGXFSZ) until the limit saved in `saved` is set again.

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

namespace quillbox::test_support {

inline void limit_file_size(rlim_t bytes, rlimit& saved) {
  ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = bytes;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
}

}  // namespace quillbox::test_support
