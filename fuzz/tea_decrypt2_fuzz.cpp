// ku_symmetry_decrypt2 (mode 2) with arbitrary input and capacity; see tea_fuzz_body.h.
#include "tea_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return teafuzz::FuzzDecrypt(2, ku_symmetry_encrypt2, ku_symmetry_decrypt2, data, size);
}
