// An empty ICU data package, built as the libicudata that the wheel carries
// in place of ICU's own (30 MB). tessel uses ICU only for full case mapping
// with the root locale, which reads the case properties compiled into ICU's
// common library and never the data package; an ICU built to load its data
// from a separate archive links the same kind of empty package. The Python
// tests, upper() and lower() among them, run against the wheel built so.
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstdint>

namespace {

// A data package's header and its table of contents, here of no items.
struct EmptyPackage {
  std::uint16_t header_size;
  std::uint8_t magic1;
  std::uint8_t magic2;
  UDataInfo info;
  char padding[8];
  std::uint32_t item_count;
  std::uint32_t table[2];
};

static_assert(sizeof(UDataInfo) + 12 == 32, "the header is 32 bytes long");

}  // namespace

extern "C" U_EXPORT const EmptyPackage U_ICUDATA_ENTRY_POINT = {
    32,
    0xda,
    0x27,
    {sizeof(UDataInfo), 0, U_IS_BIG_ENDIAN, U_CHARSET_FAMILY, sizeof(UChar), 0,
     {0x54, 0x6f, 0x43, 0x50},  // "ToCP": a table of contents
     {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {},
    0,
    {0, 0}};
