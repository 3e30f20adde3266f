// The libFuzzer entry of one target, chosen when it is built
// (TESSEL_FUZZ_TARGET names a function of targets.hpp). Inputs run on one
// worker thread with a small stack, so that a phase recursing without
// checking the stack guard crashes here instead of passing on the main
// thread's 8 MiB.
#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "targets.hpp"

namespace {

constexpr std::size_t kStackBytes = 256 * 1024;

// Runs one input at a time, handed over by run(), on a thread of its own
// that lives as long as the process.
class Worker {
 public:
  Worker() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, kStackBytes) != 0 ||
        pthread_create(&thread_, &attr, &Worker::loop, this) != 0)
      std::abort();
    pthread_attr_destroy(&attr);
  }

  void run(std::string_view input) {
    std::unique_lock lock(mutex_);
    input_ = input;
    pending_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !pending_; });
  }

 private:
  static void* loop(void* self) {
    auto& worker = *static_cast<Worker*>(self);
    std::unique_lock lock(worker.mutex_);
    for (;;) {
      worker.changed_.wait(lock, [&] { return worker.pending_; });
      quarl::fuzz::TESSEL_FUZZ_TARGET(worker.input_);
      worker.pending_ = false;
      worker.changed_.notify_all();
    }
  }

  pthread_t thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string_view input_;
  bool pending_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The process's one worker, started with the first input and never
  // destroyed: its thread waits for inputs until the process exits.
  static Worker* const worker = new Worker;
  worker->run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
