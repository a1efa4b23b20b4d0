// What a sanitizer build changes for tests that load the real server: AddressSanitizer makes the
// server (and the test) about three times slower, ThreadSanitizer about five, so loads and time
// bounds are scaled by kSlowdown. Both add shadow memory (AddressSanitizer also keeps freed
// memory in quarantine), so the server's resident size says nothing about what it holds there.
#pragma once

#if !defined(__has_feature)
#define __has_feature(x) 0
#endif

namespace pv::test {

#if defined(__SANITIZE_THREAD__) || __has_feature(thread_sanitizer)
constexpr bool kRssMeaningful = false;
constexpr int kSlowdown = 5;
#elif defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kRssMeaningful = false;
constexpr int kSlowdown = 3;
#else
constexpr bool kRssMeaningful = true;
constexpr int kSlowdown = 1;
#endif

}  // namespace pv::test
