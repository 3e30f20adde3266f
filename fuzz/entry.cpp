// The libFuzzer entry of one target, chosen when it is built
// (TESSEL_FUZZ_TARGET names a function of targets.hpp).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarl::fuzz::TESSEL_FUZZ_TARGET(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
