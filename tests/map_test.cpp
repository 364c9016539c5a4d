// The map and expand: round trips of every kind of input through the filter with a map and back,
// chains of runs, the record-end search that expand runs over an output, and every kind of bad
// map or output, which must fail and never restore wrong bytes.
#include <gtest/gtest.h>

#include <string>

#include "checksums.h"
#include "chunking/byte_order.h"
#include "chunking/chunk_ends.h"
#include "chunking/rolling_hash.h"
#include "index/crc32c.h"
#include "map/chunk_order.h"
#include "map_io.h"
#include "test_support.h"

namespace chunksieve {
namespace {

using test::Bytes;

using test::cat;

// A copy of b with `insert` put in at each of the offsets (taken from the end first).
Bytes edited(Bytes b, std::initializer_list<std::size_t> at, const Bytes& insert) {
    for (auto it = std::rbegin(at); it != std::rend(at); ++it)
        b.insert(b.begin() + std::ptrdiff_t(*it), insert.begin(), insert.end());
    return b;
}

// The first chunk end of data[0, len) by the per-byte rule, as the plain loop finds it: its
// length, 0 when there is none.
ChunkCut plain_first_cut(const std::uint8_t* data, std::size_t len) {
    auto hash = std::make_unique<RollingHash>();
    hash->init();
    std::uint32_t tail = 0;
    for (std::size_t i = 0; i < len; ++i) {
        tail = tail << 8 | data[i];
        hash->push(data[i]);
        const ChunkEnd end = chunk_end_after(tail, std::uint32_t(i + 1), hash->value());
        if (end != ChunkEnd::none) return ChunkCut{std::uint32_t(i + 1), end};
    }
    return ChunkCut{0, ChunkEnd::none};
}

// Chunks laid out as an output's records, each followed by a gap of stray bytes: the search from
// each record's start finds the chunk's own end, whatever stands around it.
TEST(ChunkEndFinder, FindsEachRecordsOwnEnd) {
    Bytes pinned;
    Bytes stream = test::random_bytes(40000, 3);
    for (const char* name : {"maximum-65535", "marker-first", "marker-straddles-hash-end",
                             "hash-end-at-99", "below-threshold-at-100"}) {
        ASSERT_TRUE(test::pinned_input(name, pinned));
        stream.insert(stream.end(), pinned.begin(), pinned.end());
        stream.insert(stream.end(), test::MARKER.begin(), test::MARKER.end());
    }
    const Bytes more = cat({Bytes(20, 0x99), test::MARKER, test::random_bytes(3000, 4)});
    stream.insert(stream.end(), more.begin(), more.end());
    // The stream's chunks, by the per-byte rule, and the records with gaps of stray bytes
    // (markers among them) between.
    std::vector<ChunkCut> cuts;
    Bytes records;
    std::vector<std::size_t> starts;
    const Bytes stray = cat({Bytes{0xD3, 0xFF}, test::MARKER, test::random_bytes(57, 5)});
    for (std::size_t at = 0;;) {
        const ChunkCut c = plain_first_cut(stream.data() + at, stream.size() - at);
        if (c.end == 0) break;
        cuts.push_back(c);
        starts.push_back(records.size());
        records.insert(records.end(), stream.begin() + std::ptrdiff_t(at),
                       stream.begin() + std::ptrdiff_t(at + c.end));
        records.insert(records.end(), stray.begin(),
                       stray.begin() + std::ptrdiff_t(cuts.size() % 64));
        at += c.end;
    }
    ASSERT_GT(cuts.size(), 100u);
    records.resize(records.size() + SCAN_SLACK);
    const std::size_t len = records.size() - SCAN_SLACK;
    for (const ChunkingKernels* k : test::runnable_kernel_sets()) {
        ChunkEndFinder finder(*k, records.data(), len);
        for (std::size_t j = 0; j < cuts.size(); ++j) {
            const ChunkCut got = finder.chunk_at(starts[j]);
            ASSERT_EQ(got.end, cuts[j].end) << k->name << ", chunk " << j;
            ASSERT_EQ(got.how, cuts[j].how) << k->name << ", chunk " << j;
        }
        // A chunk cut short by the span's end has no end there.
        ChunkEndFinder cut_short(*k, records.data(), starts.back() + cuts.back().end - 1);
        EXPECT_EQ(cut_short.chunk_at(starts.back()).end, 0u) << k->name;
    }
}

struct RoundTripCase {
    const char* name;
    Bytes input;
};

std::vector<RoundTripCase> round_trip_cases() {
    const Bytes r = test::random_bytes(300000, 7);
    Bytes max_chunk;
    test::pinned_input("maximum-65535", max_chunk);
    return {
        {"empty", {}},
        {"one byte", {42}},
        {"99 bytes: no chunk end, all tail", Bytes(99, 5)},
        {"a marker alone", test::MARKER},
        {"a longest chunk and a tail", cat({max_chunk, Bytes(10, 1)})},
        {"zeros, 300,000", Bytes(300000, 0)},
        {"one chunk's worth repeated", test::repeated(test::random_bytes(1000, 8), 300'000)},
        {"random, 300,000", r},
        {"random twice, edited", cat({r, edited(r, {1000, 150000, 299000}, {1, 2, 3})})},
        {"test stream, 1 MiB", test::lcg_stream(1 << 20)},
    };
}

// Every input comes back byte for byte, whether the repeats are read back from the output or
// from what was restored, and the output is the one a run without a map writes. The map is the
// same from the reference loop, the block loop and the threads, in any split of the input.
TEST(MapRoundTrip, EveryInputComesBack) {
    for (const RoundTripCase& c : round_trip_cases()) {
        SCOPED_TRACE(c.name);
        MapChain block;
        ASSERT_TRUE(block.ok());
        const MappedRun run = block.run(c.input, STREAM_BLOCK, Overlap::always);
        ASSERT_EQ(run.status, RunStatus::complete);
        EXPECT_EQ(run.out, test::run_in_memory(c.input));
        MapChain plain(nullptr);
        const MappedRun plain_run = plain.run(c.input, 7, Overlap::never);
        EXPECT_EQ(plain_run.out, run.out);
        EXPECT_EQ(plain_run.map, run.map);

        for (const auto& [out_back, restored_back] : {std::pair{true, false}, {false, true}}) {
            const Expanded e =
                expand_in_memory(run.map, run.out, {}, out_back, restored_back, 4099);
            ASSERT_EQ(e.report.error, ExpandError::none)
                << int(e.report.error) << " at " << e.report.at;
            EXPECT_TRUE(e.restored == c.input) << "restored " << e.restored.size() << " bytes";
            EXPECT_EQ(e.report.restored_bytes, c.input.size());
        }
    }
}

// What the map costs: no lengths, a run of new chunks and a run of repeats in order one record
// each, a run that starts where a recent one did or went on to one byte for its start, and
// repeats that go as the input went before one record, whatever its breaks. The
// inputs end at a marker, so that the map holds no tail bytes.
TEST(MapRoundTrip, MapSizes) {
    const Bytes r = cat({test::random_bytes(1 << 18, 11), test::MARKER});  // about 1,000 chunks
    // The header, a frame's head and checksum, and the end frame: 64 + 32 + 96.
    struct Case {
        const char* name;
        Bytes input;
        std::size_t bytes;
    } cases[] = {
        {"all new: one record of two bytes", r, 192 + 2},
        {"four copies: the new chunks, then the three copies as one replay of the "
         "chunks before them (a count of two bytes, one stretch back and 0 chunks in, a byte "
         "each)",
         cat({r, r, r, r}), 192 + 2 + 4},
        {"zeros: a new chunk, then 63 repeats of it, which a same record names in a byte fewer "
         "than a replay",
         Bytes(65535 * 64, 0), 192 + 1 + 2 + 1},
    };
    for (const Case& c : cases) {
        MapChain chain;
        const MappedRun run = chain.run(c.input);
        EXPECT_EQ(run.map.size(), c.bytes) << c.name;
    }
}

// The order against a plain list of every stretch: stretches end at breaks, at a run's start and
// at 2^24 - 1 chunks; the ring holds the last 262,144 and forgets older ones; a replay's walk
// goes from stretch to stretch; and a saved order loads back to the same one, while a section
// no save writes is refused.
TEST(ChunkOrder, AgreesWithAPlainListOfStretches) {
    struct Stretch {
        std::uint64_t start, length;
    };
    std::vector<Stretch> plain;
    ChunkOrder order(true);
    std::uint64_t prev = ~std::uint64_t(0);
    const auto add = [&](std::uint64_t ref, bool run_start) {
        if (run_start) order.begin_run();
        order.add(ref);
        if (!run_start && ref == prev + 1 && plain.back().length < (1u << 24) - 1)
            ++plain.back().length;
        else
            plain.push_back({ref, 1});
        prev = ref;
    };
    std::uint64_t seed = 7;
    const auto next = [&] { return seed = seed * 6364136223846793005 + 1442695040888963407; };
    for (std::uint64_t i = 0; i < (1u << 24) + 5; ++i)  // one stretch longer than the longest
        add(1000 + i, i == 0);
    for (int i = 0; i < 400000; ++i) {  // then more stretches than the ring holds
        const std::uint64_t r = next();
        const std::uint64_t ref = (r >> 60) < 4 ? prev + 1 : (r >> 20) % 5000000;
        add(ref, (r >> 56) % 97 == 0);
    }
    ASSERT_EQ(order.stretches(), plain.size());
    ASSERT_GT(plain.size(), 262144u + 20000);
    EXPECT_EQ(plain[0].length, (1u << 24) - 1);
    const std::uint64_t held = 262144, oldest = plain.size() - held;
    EXPECT_EQ(order.at({oldest - 1, 0}), ChunkOrder::NONE);
    for (std::uint64_t n = oldest; n < plain.size(); n += 997) {
        EXPECT_EQ(order.at({n, plain[n].length - 1}), plain[n].start + plain[n].length - 1) << n;
        EXPECT_EQ(order.at({n, plain[n].length}), ChunkOrder::NONE) << n;
    }
    // A walk of 1,000 chunks from a place in an old stretch.
    OrderPlace walk{oldest + 10, plain[oldest + 10].length - 1};
    std::uint64_t n = oldest + 10, offset = plain[n].length - 1;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(order.at(walk), plain[n].start + offset) << i;
        order.advance(walk);
        if (++offset == plain[n].length) ++n, offset = 0;
    }
    // The last stretch is found by its start, and a place near where a replay broke off.
    OrderPlace p;
    EXPECT_TRUE(order.find(plain.back().start, {}, p) && p.stretch == plain.size() - 1);
    const Stretch& s = plain[plain.size() - 3];
    EXPECT_TRUE(order.find(s.start + s.length - 1, {plain.size() - 5, 0}, p) &&
                p.stretch == plain.size() - 3 && p.offset == s.length - 1);

    const std::vector<std::uint8_t> section = order.section();
    ASSERT_EQ(section.size(), 16 + 8 * held);
    std::uint64_t reach = 0;  // the new chunks a chain must have for the stretches held
    for (std::uint64_t k = oldest; k < plain.size(); ++k)
        reach = std::max(reach, plain[k].start + plain[k].length);
    ChunkOrder loaded;
    ASSERT_TRUE(loaded.load_section(section.data(), section.size(), reach));
    EXPECT_EQ(loaded.section(), section);
    const auto changed = [&](std::size_t at, std::uint64_t v) {
        std::vector<std::uint8_t> c = section;
        store_le64(c.data() + at, v);
        return c;
    };
    struct Bad {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint64_t ordinals;
    } bad[] = {
        {"one stretch fewer than the ring holds", changed(8, held - 1), reach},
        {"a stretch count the ring would have outgrown", changed(0, 1000), reach},
        {"a stretch of no chunks", changed(16, 5), reach},
        {"a stretch past the chain's new chunks", section, reach - 1},
        {"cut short", std::vector<std::uint8_t>(section.begin(), section.end() - 8), reach},
        {"no head", std::vector<std::uint8_t>(section.begin(), section.begin() + 15), reach},
    };
    for (const Bad& b : bad) {
        ChunkOrder o;
        EXPECT_FALSE(o.load_section(b.bytes.data(), b.bytes.size(), b.ordinals)) << b.name;
        EXPECT_EQ(o.stretches(), 0u) << b.name;
    }
}

// An input of 400 pieces drawn from 50, each ending at a marker: its map has a record for each
// piece. An edited copy of it in the next run goes as it went, and its map has a few.
TEST(MapChains, AnEditedCopyReplaysTheOrderBeforeIt) {
    std::vector<Bytes> pieces;
    for (int i = 0; i < 50; ++i)
        pieces.push_back(cat({test::random_bytes(2000 + 37 * i, 100 + i), test::MARKER}));
    Bytes d1;
    std::uint64_t seed = 5;
    for (int i = 0; i < 400; ++i) {
        seed = seed * 6364136223846793005 + 1442695040888963407;
        const Bytes& p = pieces[(seed >> 33) % 50];
        d1.insert(d1.end(), p.begin(), p.end());
    }
    const Bytes d2 = edited(d1, {d1.size() / 3, d1.size() / 2}, {1, 2, 3});
    MapChain chain;
    const MappedRun r1 = chain.run(d1), r2 = chain.run(d2);
    ASSERT_EQ(r2.status, RunStatus::complete);
    EXPECT_GT(r1.map.size(), 192u + 400);
    EXPECT_LT(r2.map.size(), 192u + 40);
    const Expanded e = expand_in_memory(r2.map, r2.out, {{&r1.map, &r1.out, false}});
    ASSERT_EQ(e.report.error, ExpandError::none) << int(e.report.error);
    EXPECT_TRUE(e.restored == d2);
}

// Three runs that share an index, each an edited copy of the one before: each map refers to the
// runs before it, and expands with them given as links, by their outputs or their inputs.
TEST(MapChains, ThreeRunsExpandWithTheirLinks) {
    const Bytes d1 = cat({test::random_bytes(200000, 21), test::lcg_stream(100000)});
    const Bytes d2 = edited(d1, {5000, 120000}, {9, 9, 9, 9});
    const Bytes d3 = edited(d2, {60000, 250000}, {'x'});
    MapChain chain;
    const MappedRun r1 = chain.run(d1), r2 = chain.run(d2), r3 = chain.run(d3);
    ASSERT_EQ(r3.status, RunStatus::complete);
    EXPECT_LT(r3.out.size(), d3.size() / 20);  // most of it is in earlier runs' outputs

    const std::vector<MemoryLink> by_outputs = {{&r1.map, &r1.out, false},
                                                {&r2.map, &r2.out, false}};
    const std::vector<MemoryLink> mixed = {{&r1.map, &d1, true}, {&r2.map, &r2.out, false}};
    for (const auto* links : {&by_outputs, &mixed}) {
        const Expanded e = expand_in_memory(r3.map, r3.out, *links);
        ASSERT_EQ(e.report.error, ExpandError::none) << int(e.report.error);
        EXPECT_TRUE(e.restored == d3);
    }
    const Expanded e2 = expand_in_memory(r2.map, r2.out, {{&r1.map, &r1.out, false}}, false, true);
    ASSERT_EQ(e2.report.error, ExpandError::none) << int(e2.report.error);
    EXPECT_TRUE(e2.restored == d2);

    // A missing, misplaced or foreign link is refused by name, before anything is restored.
    MapChain other;
    const MappedRun foreign = other.run(d2);
    struct Bad {
        const char* name;
        std::vector<MemoryLink> links;
        ExpandError error;
        int which;
    } bad[] = {
        {"no links", {}, ExpandError::needs_links, -1},
        {"the middle link missing", {{&r1.map, &r1.out, false}}, ExpandError::broken_chain, -1},
        {"the first link missing", {{&r2.map, &r2.out, false}}, ExpandError::first_link, 0},
        {"out of order",
         {{&r2.map, &r2.out, false}, {&r1.map, &r1.out, false}},
         ExpandError::first_link,
         0},
        {"a link of another chain",
         {{&foreign.map, &foreign.out, false}, {&r2.map, &r2.out, false}},
         ExpandError::broken_chain,
         1},
    };
    for (const Bad& b : bad) {
        const Expanded e = expand_in_memory(r3.map, r3.out, b.links);
        EXPECT_EQ(e.report.error, b.error) << b.name;
        EXPECT_EQ(e.report.which, b.which) << b.name;
        EXPECT_TRUE(e.restored.empty()) << b.name;
    }
    EXPECT_EQ(expand_in_memory(r1.map, r1.out, {{&r1.map, &r1.out, false}}).report.error,
              ExpandError::no_chain);
    // A link's data that is not its own.
    EXPECT_NE(expand_in_memory(r3.map, r3.out, {{&r1.map, &d2, true}, {&r2.map, &r2.out, false}})
                  .report.error,
              ExpandError::none);
}

// The fixture for bad inputs: a run of new chunks and repeats, and a tail.
struct BadInputs : ::testing::Test {
    void SetUp() override {
        const Bytes r = test::random_bytes(30000, 31);
        input = cat({r, Bytes(5000, 0), edited(r, {100}, {1}), Bytes(50, 7)});
        MapChain chain;
        const MappedRun run = chain.run(input);
        map = run.map;
        out = run.out;
        ASSERT_EQ(expand_in_memory(map, out).restored, input);
    }
    // Expand must fail, restoring nothing it reports as whole: repeats read back from the
    // output, and (`both`) from the restored bytes too.
    void expect_refused(const MapBytes& m, const MapBytes& o, const std::string& what,
                        ExpandError error = ExpandError::none, bool both = true) {
        for (const bool out_back : {true, false}) {
            if (!out_back && !both) break;
            const Expanded e = expand_in_memory(m, o, {}, out_back, !out_back, 1000);
            ASSERT_NE(e.report.error, ExpandError::none) << what;
            if (error != ExpandError::none) {
                EXPECT_EQ(e.report.error, error) << what;
            }
        }
    }
    Bytes input;
    MapBytes map, out;
};

TEST_F(BadInputs, EveryBitFlipOfTheMap) {
    for (std::size_t i = 0; i < map.size(); ++i)
        for (int bit = 0; bit < 8; ++bit) {
            MapBytes m = map;
            m[i] ^= std::uint8_t(1 << bit);
            expect_refused(m, out, "map byte " + std::to_string(i) + " bit " + std::to_string(bit),
                           ExpandError::none, false);
        }
}

TEST_F(BadInputs, TheMapCutAnywhereOrExtended) {
    for (std::size_t n = 0; n < map.size(); ++n)
        expect_refused(MapBytes(map.begin(), map.begin() + std::ptrdiff_t(n)), out,
                       "map cut to " + std::to_string(n),
                       n == 0 ? ExpandError::map_empty : ExpandError::map_truncated);
    MapBytes longer = map;
    longer.push_back(0);
    expect_refused(longer, out, "a byte after the end", ExpandError::map_trailing);
}

TEST_F(BadInputs, TheOutputChanged) {
    for (std::size_t i = 0; i < out.size(); i += 61)
        for (int bit = 0; bit < 8; bit += 3) {
            MapBytes o = out;
            o[i] ^= std::uint8_t(1 << bit);
            expect_refused(map, o, "output byte " + std::to_string(i), ExpandError::none, false);
        }
    for (const std::size_t n : {std::size_t(0), std::size_t(64), out.size() / 2, out.size() - 1})
        expect_refused(map, MapBytes(out.begin(), out.begin() + std::ptrdiff_t(n)),
                       "output cut to " + std::to_string(n));
    MapBytes longer = out;
    longer.insert(longer.end(), 64, 0);
    expect_refused(map, longer, "a record too many", ExpandError::data_long);
    // Another run's output and map.
    MapChain other;
    const MappedRun run = other.run(cat({Bytes(1000, 1), input}));
    expect_refused(map, run.out, "another output");
    expect_refused(run.map, out, "another map");
}

// Maps that are whole and sealed, yet say what this build cannot read or no run writes.
TEST_F(BadInputs, SealedMapsThatCannotBeRead) {
    const auto changed = [&](auto&& change) {
        MapBytes m = map;
        change(m);
        test::reseal_map(m);
        return m;
    };
    expect_refused(changed([](MapBytes& m) { m[8] = 3; }), out, "version 3",
                   ExpandError::map_version);
    expect_refused(changed([](MapBytes& m) { m[12] |= 4; }), out, "a mandatory feature",
                   ExpandError::map_features);
    // An optional feature bit is no reason to refuse.
    const Expanded optional = expand_in_memory(changed([](MapBytes& m) { m[16] |= 4; }), out);
    EXPECT_EQ(optional.report.error, ExpandError::none);
    expect_refused(changed([](MapBytes& m) { m[20] = 101; }), out, "another shortest chunk",
                   ExpandError::map_parameters);
    // The first record repeats a chunk before any was restored: distance 1 of ordinal 0.
    const std::size_t first_record = MAP_HEADER_BYTES + FRAME_HEAD_BYTES;
    expect_refused(changed([&](MapBytes& m) {
                       m[first_record] = std::uint8_t(1 << 2 | 1);
                       m[first_record + 1] = 1;
                   }),
                   out, "a repeat of a chunk not yet restored", ExpandError::map_invalid);
    // A count of no chunks, and a frame whose counts disagree with what came before.
    expect_refused(changed([&](MapBytes& m) { m[first_record] = 0; }), out, "count 0",
                   ExpandError::map_invalid);
    expect_refused(changed([&](MapBytes& m) { m[MAP_HEADER_BYTES + 4] = 1; }), out,
                   "a frame's chunk count", ExpandError::data_mismatch);
}

// The restored bytes are checked whole: a map whose input checksum is not the input's fails at
// the end, although every record fitted.
TEST_F(BadInputs, TheInputChecksum) {
    MapBytes m = map;
    const std::size_t end_frame = m.size() - FRAME_CHECK_BYTES - MAP_END_BYTES - FRAME_HEAD_BYTES;
    ASSERT_EQ(m[end_frame], std::uint8_t(FrameKind::end));
    m[end_frame + FRAME_HEAD_BYTES + 32] ^= 1;
    test::reseal_map(m);
    expect_refused(m, out, "input checksum", ExpandError::checksum);
}

// A sink that refuses bytes stops expand at once, and so does a restored input that grows
// past a limit: no map makes expand run on without bound.
TEST_F(BadInputs, TheRestoredBytesRefused) {
    const Expanded e = expand_in_memory(map, out, {}, true, false, 1 << 20, 1000);
    EXPECT_EQ(e.report.error, ExpandError::restored_write);
}

}  // namespace
}  // namespace chunksieve
