// Invariant: any bytes as a flash image, a volume or an FFS file give a
// listing or one input error; anything else thrown is a fault of the tool.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Bytes.h"
#include "Firmware.h"
#include "Listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  auto Bytes = std::make_shared<const fv::Bytes>(Data, Data + Size);
  try {
    fv::Image Image = fv::ParseImage(Bytes);
    (void)fv::ListText(Image);
    (void)fv::ListJson(Image);
  } catch (const fv::InputError &) {
  }
  try {
    fv::File File = fv::ParseStandaloneFile(fv::ByteView(Bytes->data(), Bytes->size()), "fuzz");
    (void)fv::UiName(File);
    (void)fv::DepexText(File);
  } catch (const fv::InputError &) {
  }
  return 0;
}
