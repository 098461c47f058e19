// libFuzzer target: any bytes as a picture's header, through the size
// reader and the bounds the alerts decode by. Built and run by scripts/fuzz.sh.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "alerts/picture_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> bytes(data, data + size);
    PictureSize picture;
    if (!ReadPictureSize(bytes, picture)) return 0;
    if (picture.width == 0 || picture.height == 0) std::abort();
    PictureBudget budget;
    const bool taken = TakePicturePixels(budget, picture);
    if (taken != IsDrawablePictureSize(picture)) std::abort();
    if (taken && budget.pixelsLeft + uint64_t{picture.width} * picture.height != DocumentPicturePixels) std::abort();
    return 0;
}
