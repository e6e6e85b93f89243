// The .DAT header and the field descriptors: the input is a whole .DAT image.
//
// The codecs must decode any bytes, and decoding what they encoded must give
// the same bytes again. The data file handler then opens the image as a
// table's data file would be opened, makes the full definition check, turns
// the default, minimum and maximum texts into values as new records do, and
// reads every slot the header counts.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/files/DataFile.h"
#include "engine/files/DataHeader.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/FieldText.h"
#include "engine/files/RecordLayout.h"
#include "fuzz/FuzzSupport.h"

using namespace ledra;
using namespace ledra::fuzz;

namespace {

// Slots read per call, and the most slots read from one image.
constexpr int32_t kSlotRun = 64;
constexpr int32_t kMaxSlotsRead = 4096;

void CheckCodecs(const uint8_t* data, size_t size) {
  if (size < kDataHeaderSize) return;
  std::array<uint8_t, kDataHeaderSize> once{}, twice{};
  EncodeDataHeader(DecodeDataHeader(data), once.data());
  EncodeDataHeader(DecodeDataHeader(once.data()), twice.data());
  if (once != twice) Finding("data header: decoding its own encoding changed it");

  std::array<uint8_t, kFieldDescSize> descOnce{}, descTwice{};
  for (size_t at = kDataHeaderSize; at + kFieldDescSize <= size; at += kFieldDescSize) {
    EncodeFieldDesc(DecodeFieldDesc(data + at), descOnce.data());
    EncodeFieldDesc(DecodeFieldDesc(descOnce.data()), descTwice.data());
    if (descOnce != descTwice) Finding("field descriptor: decoding its own encoding changed it");
  }
}

void OpenAsDataFile(const uint8_t* data, size_t size) {
  TMemoryImage image("FUZZDATA.DAT", {data, size});
  TDataFile file(image.Name());
  file.SetInMemory(true);
  file.SetTableName("FUZZDATA");
  // Every locale counts as installed: the layout checks behind it matter more.
  file.SetLocaleCheck([](uint32_t) { return true; });
  Step([&] {
    file.OpenDataFile();
    file.VerifyHeader(DefaultTextIsValue);
    // The definition check accepted these texts, so each converts (an empty
    // text stands for none and is never converted).
    for (const TFieldDesc& desc : file.FieldDescs()) {
      for (const std::string* text : {&desc.DefaultValue, &desc.MinValue, &desc.MaxValue}) {
        if (!text->empty() && !DefaultTextIsValue(desc, *text)) Finding("an accepted value text fails");
      }
    }
    const int32_t slots = std::min(file.RecordSlotCount(), kMaxSlotsRead);
    std::vector<uint8_t> buffer(size_t(kSlotRun) * file.RecordSize());
    for (int32_t first = 1; first <= slots; first += kSlotRun) {
      file.ReadSlots(first, std::min(kSlotRun, slots - first + 1), buffer.data());
    }
    file.RefreshHeader();
    file.ReadHeader();
    file.ReadFieldDescs();
  });
  file.CloseDataFile();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckCodecs(data, size);
  OpenAsDataFile(data, size);
  return 0;
}
