// The libFuzzer entry of one target, chosen when it is built
// (TESSEL_FUZZ_TARGET names a function of targets.hpp). Each input runs on a
// thread with a small stack, so that a phase recursing without checking the
// stack guard crashes here instead of passing on the main thread's 8 MiB.
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "targets.hpp"

namespace {

constexpr std::size_t kStackBytes = 256 * 1024;

void* run(void* input) {
  quarl::fuzz::TESSEL_FUZZ_TARGET(*static_cast<const std::string_view*>(input));
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  pthread_attr_t attr;
  pthread_t thread;
  if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, kStackBytes) != 0 ||
      pthread_create(&thread, &attr, run, &input) != 0)
    std::abort();
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  return 0;
}
