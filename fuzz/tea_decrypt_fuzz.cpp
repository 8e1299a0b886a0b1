// ku_symmetry_decrypt (mode 1) with arbitrary input and capacity; see tea_fuzz_body.h.
#include "tea_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return teafuzz::FuzzDecrypt(1, ku_symmetry_encrypt, ku_symmetry_decrypt, data, size);
}
