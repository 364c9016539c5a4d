// The saved index's reader against any bytes: it never reads outside them, it refuses a file
// without putting anything into the index, and what it accepts loads whole and saves back to
// exactly the same bytes (the format has one form for one index and total).
//
// Input: one byte of mode, then the file. With bit 0 of the mode set, the file's last four bytes
// are first made the checksum of the rest, so that mutations get past the checksum and reach the
// checks behind it (size, version, parameters, slot order) and the loading itself.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "index/crc32c.h"
#include "index/index_state.h"

namespace {

using namespace chunksieve;

class Bytes final : public StateSink {
  public:
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        out.insert(out.end(), data, data + n);
        return true;
    }
    std::vector<std::uint8_t> out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool reseal = data[0] & 1;
    // An exact-size copy, so that a read past the file is a finding.
    std::vector<std::uint8_t> file(data + 1, data + size);
    if (reseal && file.size() >= 4) {
        const std::uint32_t crc = crc32c(0, file.data(), file.size() - 4);
        for (int i = 0; i < 4; ++i)
            file[file.size() - 4 + i] = std::uint8_t(crc >> (8 * i));
    }

    FingerprintIndex index;
    CHECK(index.create());
    const StateCheck c = load_state(file.data(), file.size(), index);
    CHECK(c.error == check_state(file.data(), file.size()).error);
    if (c.error != StateError::none) {
        CHECK(c.error != StateError::no_memory && c.error != StateError::write_failed);
        CHECK(index.entries() == 0);
        return 0;
    }
    CHECK(file.size() == state_size(c.entries));
    CHECK(index.entries() == c.entries);
    Bytes saved;
    CHECK(save_state(index, c.total, saved) == StateError::none);
    CHECK(saved.out == file);
    return 0;
}
