// The saved index's reader against any bytes: it never reads outside them, it refuses a file
// without putting anything into the index, and what it accepts loads whole and saves back to
// exactly the same bytes (the format has one form for one index, its numbers and its section),
// or, from a file of version 1 or with values the index does not keep, to the same entries in
// version 2 or 3. A section goes back as it came; read as the map's chunk order, it is refused
// or loads into an order that saves back to the same bytes.
//
// Input: one byte of mode, then the file. With bit 0 of the mode set, the file's last four bytes
// are first made the checksum of the rest, so that mutations get past the checksum and reach the
// checks behind it (size, version, parameters, flags, slot order, values) and the loading itself.
// With bit 1 set, the index keeps values.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "checksums.h"
#include "fuzz_check.h"
#include "index/index_state.h"
#include "map/chunk_order.h"
#include "memory_io.h"

using namespace chunksieve;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // An exact-size copy, so that a read past the file is a finding.
    std::vector<std::uint8_t> file(data + 1, data + size);
    if (data[0] & 1) test::reseal_state(file);

    FingerprintIndex index;
    CHECK(index.create((data[0] & 2) != 0));
    const StateCheck c = load_state(file.data(), file.size(), index);
    CHECK(c.error == check_state(file.data(), file.size()).error);
    if (c.error != StateError::none) {
        CHECK(c.error != StateError::no_memory && c.error != StateError::write_failed);
        CHECK(index.entries() == 0);
        return 0;
    }
    const bool v1 = c.version == STATE_VERSION_1;
    const std::size_t header = v1 ? STATE_HEADER_BYTES_1 : STATE_HEADER_BYTES;
    const std::size_t entry = state_entry_bytes(c.has_values);
    CHECK(file.size() == header + entry * c.entries + c.section_bytes + STATE_CHECKSUM_BYTES);
    CHECK((c.section != nullptr) == (c.version == STATE_VERSION));
    if (c.section)
        CHECK(c.section == file.data() + header + entry * c.entries &&
              c.section_bytes >= STATE_SECTION_HEAD_BYTES);
    CHECK(index.entries() == c.entries);
    CHECK(index.unknown_values() == (index.keeps_values() && !c.has_values ? c.entries : 0));
    if (c.section) {
        ChunkOrder order(true);
        if (order.load_section(c.section, c.section_bytes, c.new_chunks))
            CHECK(order.section() ==
                  std::vector<std::uint8_t>(c.section, c.section + c.section_bytes));
        else
            CHECK(order.stretches() == 0);
    }
    MemorySink saved;
    CHECK(save_state(index, {c.total, c.new_chunks, c.state_id, c.section, c.section_bytes},
                     saved) == StateError::none);
    // Values are saved when the index keeps them and knows every one (an empty index knows all).
    const bool values = index.keeps_values() && index.unknown_values() == 0;
    if (!v1 && values == c.has_values) {
        CHECK(saved.bytes == file);
        return 0;
    }
    const StateCheck again = check_state(saved.bytes.data(), saved.bytes.size());
    CHECK(again.error == StateError::none &&
          again.version == (c.section ? STATE_VERSION : STATE_VERSION_2));
    CHECK(again.section_bytes == c.section_bytes &&
          (!c.section || std::memcmp(again.section, c.section, c.section_bytes) == 0));
    CHECK(again.entries == c.entries && again.total == c.total && again.has_values == values);
    CHECK(again.state_id == c.state_id && again.new_chunks == c.new_chunks);
    const std::size_t saved_entry = state_entry_bytes(values);
    for (std::uint64_t i = 0; i < c.entries; ++i)
        CHECK(std::memcmp(&saved.bytes[STATE_HEADER_BYTES + i * saved_entry],
                          &file[header + i * entry], STATE_ENTRY_BYTES) == 0);
    return 0;
}
