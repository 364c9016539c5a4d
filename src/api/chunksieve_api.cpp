// The public C interface over the filter, the map, expand and the saved index. The filter runs
// as a coroutine on the caller's thread: each call hands it the caller's input in whole blocks
// (the last of a run may be short) and takes its full output blocks, so that the bytes are the
// same as a run of the command's, however the input is split between calls.
#include "chunksieve/chunksieve.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "engine/checksum_io.h"
#include "engine/file_streams.h"
#include "engine/run.h"
#include "filter/dedup_filter.h"
#include "index/crc32c.h"
#include "index/index_state.h"
#include "map/chunk_order.h"
#include "map/expand.h"
#include "map/map_writer.h"
#include "stream/byte_sink.h"

#if defined(CHUNKSIEVE_VERSION)
static_assert(std::string_view(CHUNKSIEVE_VERSION) == CHUNKSIEVE_VERSION_STRING,
              "the header's version is the project's");
#endif

namespace {

using namespace chunksieve;

// Bytes written by the filter's map or a save, held until the caller takes them.
class HeldBytes final : public ByteSink {
  public:
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        try {
            bytes_.insert(bytes_.end(), data, data + n);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    std::size_t left() const { return bytes_.size() - taken_; }
    // As many as `out` has room for.
    void drain(chunksieve_out_buffer* out) {
        const std::size_t n = std::min(left(), out->size - out->pos);
        if (n == 0) return;
        std::memcpy(static_cast<std::uint8_t*>(out->dst) + out->pos, bytes_.data() + taken_, n);
        out->pos += n;
        taken_ += n;
        if (taken_ == bytes_.size()) {
            bytes_.clear();
            taken_ = 0;
        }
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t taken_ = 0;
};

bool buffer_ok(const chunksieve_out_buffer* b) {
    return b && b->pos <= b->size && (b->dst || b->size == 0);
}

chunksieve_error state_error(StateError e) {
    switch (e) {
        case StateError::none:
            return CHUNKSIEVE_OK;
        case StateError::empty:
            return CHUNKSIEVE_ERROR_STATE_EMPTY;
        case StateError::not_state:
            return CHUNKSIEVE_ERROR_STATE_NOT_STATE;
        case StateError::truncated:
            return CHUNKSIEVE_ERROR_STATE_TRUNCATED;
        case StateError::version:
            return CHUNKSIEVE_ERROR_STATE_VERSION;
        case StateError::parameters:
            return CHUNKSIEVE_ERROR_STATE_PARAMETERS;
        case StateError::damaged:
            return CHUNKSIEVE_ERROR_STATE_DAMAGED;
        case StateError::no_memory:
            return CHUNKSIEVE_ERROR_NO_MEMORY;
        case StateError::write_failed:
            return CHUNKSIEVE_ERROR_WRITE;
    }
    return CHUNKSIEVE_ERROR_STATE_DAMAGED;
}

chunksieve_error expand_error(ExpandError e) {
    switch (e) {
        case ExpandError::none:
            return CHUNKSIEVE_OK;
        case ExpandError::map_read:
        case ExpandError::data_read:
        case ExpandError::restored_read:
            return CHUNKSIEVE_ERROR_READ;
        case ExpandError::map_empty:
            return CHUNKSIEVE_ERROR_MAP_EMPTY;
        case ExpandError::not_map:
            return CHUNKSIEVE_ERROR_NOT_MAP;
        case ExpandError::map_version:
            return CHUNKSIEVE_ERROR_MAP_VERSION;
        case ExpandError::map_features:
            return CHUNKSIEVE_ERROR_MAP_FEATURES;
        case ExpandError::map_parameters:
            return CHUNKSIEVE_ERROR_MAP_PARAMETERS;
        case ExpandError::map_damaged:
            return CHUNKSIEVE_ERROR_MAP_DAMAGED;
        case ExpandError::map_truncated:
            return CHUNKSIEVE_ERROR_MAP_TRUNCATED;
        case ExpandError::map_trailing:
            return CHUNKSIEVE_ERROR_MAP_TRAILING;
        case ExpandError::map_invalid:
            return CHUNKSIEVE_ERROR_MAP_INVALID;
        case ExpandError::data_mismatch:
            return CHUNKSIEVE_ERROR_DATA_MISMATCH;
        case ExpandError::data_short:
            return CHUNKSIEVE_ERROR_DATA_SHORT;
        case ExpandError::data_long:
            return CHUNKSIEVE_ERROR_DATA_LONG;
        case ExpandError::restored_write:
            return CHUNKSIEVE_ERROR_WRITE;
        case ExpandError::checksum:
            return CHUNKSIEVE_ERROR_CHECKSUM;
        case ExpandError::needs_links:
            return CHUNKSIEVE_ERROR_NEEDS_LINKS;
        case ExpandError::no_chain:
            return CHUNKSIEVE_ERROR_NO_CHAIN;
        case ExpandError::first_link:
            return CHUNKSIEVE_ERROR_FIRST_LINK;
        case ExpandError::broken_chain:
            return CHUNKSIEVE_ERROR_BROKEN_CHAIN;
        case ExpandError::no_memory:
            return CHUNKSIEVE_ERROR_NO_MEMORY;
    }
    return CHUNKSIEVE_ERROR_MAP_INVALID;
}

}  // namespace

struct chunksieve_ctx {
    std::unique_ptr<DedupFilter> filter;
    bool with_map = false;
    bool one_run = false;  // its map names no index: nothing goes on from it
    bool broken = false;
    bool any_run = false;  // a run has started: too late to load a state

    // The run in progress.
    bool running = false;
    bool ending = false;               // the caller said the input ends
    bool resume_after_output = false;  // the filter waits for its output block to be taken
    bool done = false;       // the filter is through; what it and the map hold is being taken
    std::size_t staged = 0;  // input bytes in the filter's input block, not yet handed over
    const std::uint8_t* out_left = nullptr;  // output held back for want of room
    std::size_t out_left_n = 0;
    std::uint32_t crc = 0;  // of the run's input, for its map
    HeldBytes map_bytes;
    std::unique_ptr<MapWriter> writer;

    // The chain, with a map: the last index's id, the new chunks so far, the chunk order.
    std::uint64_t state_id = 0, next_ordinal = 0;
    ChunkOrder order{true};
    bool order_known = false;
    // Of the last run.
    std::uint64_t found_earlier = 0, map_total = 0;

    std::size_t left() const { return out_left_n + map_bytes.left(); }
    // Whether a run may start now: not while one is in progress, and only once with one_run.
    chunksieve_error may_start() const {
        if (broken) return CHUNKSIEVE_ERROR_BROKEN;
        return running || (one_run && any_run) ? CHUNKSIEVE_ERROR_STAGE : CHUNKSIEVE_OK;
    }
    chunksieve_error start_run();
    // Starts the run's map, written to `sink`; false when the sink refused its first bytes.
    bool begin_map(ByteSink& sink);
    // Ends the run's map, for an input of checksum `input_crc`; false when its sink refused bytes.
    bool end_map(std::uint32_t input_crc);
};

chunksieve_error chunksieve_ctx::start_run() {
    running = true;
    any_run = true;
    ending = resume_after_output = done = false;
    staged = 0;
    crc = 0;
    if (with_map && !begin_map(map_bytes)) return CHUNKSIEVE_ERROR_NO_MEMORY;
    filter->start();
    return CHUNKSIEVE_OK;
}

bool chunksieve_ctx::begin_map(ByteSink& sink) {
    try {
        writer = std::make_unique<MapWriter>(sink);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // A later run goes on from the index the one before left, as a saved index carries it.
    const bool from_index = state_id != 0;
    const bool order_from_index = from_index && order_known;
    if (order_from_index) writer->order() = std::move(order);
    if (!writer->begin(MapStart{from_index, order_from_index, state_id, next_ordinal}))
        return false;
    filter->map = writer.get();
    return true;
}

bool chunksieve_ctx::end_map(std::uint32_t input_crc) {
    DedupFilter& f = *filter;
    const std::uint64_t id = one_run ? 0 : run_index_id(f, state_id, input_crc);
    if (!finish_map(f, input_crc, id)) return false;
    state_id = id;
    next_ordinal = writer->next_ordinal();
    found_earlier = writer->repeats_of_earlier_runs();
    map_total = writer->bytes_written();
    order = std::move(writer->order());
    order_known = true;
    f.map = nullptr;
    writer.reset();
    return true;
}

extern "C" {

unsigned chunksieve_version_number(void) {
    return CHUNKSIEVE_VERSION_NUMBER;
}

const char* chunksieve_version_string(void) {
    return CHUNKSIEVE_VERSION_STRING;
}

const char* chunksieve_error_name(chunksieve_error error) {
    // A C caller may pass any int: read as one, not as the enumeration, whose values in C++ are
    // only those its enumerators span.
    int value;
    static_assert(sizeof value == sizeof error);
    std::memcpy(&value, &error, sizeof value);
    switch (value) {
#define NAME(e) \
    case e:     \
        return #e;
        NAME(CHUNKSIEVE_OK)
        NAME(CHUNKSIEVE_ERROR_ARGUMENT)
        NAME(CHUNKSIEVE_ERROR_STAGE)
        NAME(CHUNKSIEVE_ERROR_NO_MEMORY)
        NAME(CHUNKSIEVE_ERROR_BROKEN)
        NAME(CHUNKSIEVE_ERROR_WRITE)
        NAME(CHUNKSIEVE_ERROR_READ)
        NAME(CHUNKSIEVE_ERROR_STATE_EMPTY)
        NAME(CHUNKSIEVE_ERROR_STATE_NOT_STATE)
        NAME(CHUNKSIEVE_ERROR_STATE_TRUNCATED)
        NAME(CHUNKSIEVE_ERROR_STATE_VERSION)
        NAME(CHUNKSIEVE_ERROR_STATE_PARAMETERS)
        NAME(CHUNKSIEVE_ERROR_STATE_DAMAGED)
        NAME(CHUNKSIEVE_ERROR_STATE_NO_MAP)
        NAME(CHUNKSIEVE_ERROR_MAP_EMPTY)
        NAME(CHUNKSIEVE_ERROR_NOT_MAP)
        NAME(CHUNKSIEVE_ERROR_MAP_VERSION)
        NAME(CHUNKSIEVE_ERROR_MAP_FEATURES)
        NAME(CHUNKSIEVE_ERROR_MAP_PARAMETERS)
        NAME(CHUNKSIEVE_ERROR_MAP_DAMAGED)
        NAME(CHUNKSIEVE_ERROR_MAP_TRUNCATED)
        NAME(CHUNKSIEVE_ERROR_MAP_TRAILING)
        NAME(CHUNKSIEVE_ERROR_MAP_INVALID)
        NAME(CHUNKSIEVE_ERROR_DATA_MISMATCH)
        NAME(CHUNKSIEVE_ERROR_DATA_SHORT)
        NAME(CHUNKSIEVE_ERROR_DATA_LONG)
        NAME(CHUNKSIEVE_ERROR_CHECKSUM)
        NAME(CHUNKSIEVE_ERROR_NEEDS_LINKS)
        NAME(CHUNKSIEVE_ERROR_NO_CHAIN)
        NAME(CHUNKSIEVE_ERROR_BROKEN_CHAIN)
        NAME(CHUNKSIEVE_ERROR_FIRST_LINK)
        NAME(CHUNKSIEVE_ERROR_MAP_WRITE)
#undef NAME
    }
    return "CHUNKSIEVE_ERROR_UNKNOWN";
}

chunksieve_ctx* chunksieve_create(unsigned flags) {
    std::unique_ptr<chunksieve_ctx> c(new (std::nothrow) chunksieve_ctx);
    if (!c) return nullptr;
    c->with_map = (flags & CHUNKSIEVE_WITH_MAP) != 0;
    c->one_run = (flags & CHUNKSIEVE_ONE_RUN) != 0;
    c->filter.reset(new (std::nothrow) DedupFilter);
    if (!c->filter || !c->filter->index.create(c->with_map)) return nullptr;
    if (flags & CHUNKSIEVE_REFERENCE_LOOP) c->filter->kernels = nullptr;
    return c.release();
}

void chunksieve_free(chunksieve_ctx* ctx) {
    delete ctx;
}

chunksieve_error chunksieve_filter_stream(chunksieve_ctx* ctx, chunksieve_out_buffer* out,
                                          chunksieve_out_buffer* map, chunksieve_in_buffer* in,
                                          int end, std::size_t* left) {
    if (!ctx || !buffer_ok(out) || (ctx->with_map && !buffer_ok(map)) || !in ||
        in->pos > in->size || (!in->src && in->size > 0))
        return CHUNKSIEVE_ERROR_ARGUMENT;
    if (ctx->broken) return CHUNKSIEVE_ERROR_BROKEN;
    const auto answer = [&](chunksieve_error e) {
        if (e != CHUNKSIEVE_OK) ctx->broken = true;
        if (left) *left = ctx->left() + (ctx->running && ctx->ending ? 1 : 0);
        return e;
    };
    if (!ctx->running) {
        if (in->pos == in->size && !end) return answer(CHUNKSIEVE_OK);
        if (const chunksieve_error e = ctx->may_start(); e != CHUNKSIEVE_OK) return e;
        if (const chunksieve_error e = ctx->start_run(); e != CHUNKSIEVE_OK) return answer(e);
    }
    ctx->ending = ctx->ending || end;
    DedupFilter& f = *ctx->filter;
    StreamChannel& ch = f.channel;
    for (;;) {
        if (ctx->with_map) ctx->map_bytes.drain(map);
        if (ctx->out_left_n > 0) {
            const std::size_t n = std::min(ctx->out_left_n, out->size - out->pos);
            std::memcpy(static_cast<std::uint8_t*>(out->dst) + out->pos, ctx->out_left, n);
            out->pos += n;
            ctx->out_left += n;
            ctx->out_left_n -= n;
            if (ctx->out_left_n > 0) return answer(CHUNKSIEVE_OK);
        }
        if (ctx->done) {
            if (ctx->map_bytes.left() == 0) ctx->running = false;  // the run is complete
            return answer(CHUNKSIEVE_OK);
        }
        if (ctx->resume_after_output) {
            ctx->resume_after_output = false;
            resume(ch);
        }
        switch (ch.request) {
            case REQ_INPUT: {
                const std::size_t take = std::min(in->size - in->pos, STREAM_BLOCK - ctx->staged);
                if (take > 0) {
                    const std::uint8_t* src = static_cast<const std::uint8_t*>(in->src) + in->pos;
                    std::memcpy(f.input_buffer() + ctx->staged, src, take);
                    ctx->crc = crc32c(ctx->crc, src, take);
                    in->pos += take;
                    ctx->staged += take;
                }
                if (ctx->staged < STREAM_BLOCK && !(ctx->ending && in->pos == in->size))
                    return answer(CHUNKSIEVE_OK);  // more input first
                // A whole block, or the input's last bytes, or (none left) its end.
                ch.input_start = f.input_buffer();
                ch.input_cursor = ch.input_start;
                ch.input_end = ch.input_start + ctx->staged;
                if (ctx->staged == 0) ch.end_of_input = 1;
                ctx->staged = 0;
                resume(ch);
                break;
            }
            case REQ_NO_MEMORY:
            case REQ_MAP_FAILED:
                return answer(CHUNKSIEVE_ERROR_NO_MEMORY);
            default: {
                // A full output block, or the run's last: taken before the filter goes on.
                ctx->out_left = ch.output_start;
                ctx->out_left_n = std::size_t(ch.output_cursor - ch.output_start);
                f.reset_output();
                if (ch.request == REQ_OUTPUT) {
                    ctx->resume_after_output = true;
                } else {
                    ctx->done = true;
                    if (ctx->with_map && !ctx->end_map(ctx->crc))
                        return answer(CHUNKSIEVE_ERROR_NO_MEMORY);
                }
                break;
            }
        }
    }
}

chunksieve_error chunksieve_filter_files(chunksieve_ctx* ctx, const chunksieve_files* files,
                                         int* system_error) {
    if (system_error) *system_error = 0;
    if (!ctx || !files || files->in == CHUNKSIEVE_NO_FILE || files->out == CHUNKSIEVE_NO_FILE ||
        ctx->with_map != (files->map != CHUNKSIEVE_NO_FILE))
        return CHUNKSIEVE_ERROR_ARGUMENT;
    if (const chunksieve_error e = ctx->may_start(); e != CHUNKSIEVE_OK) return e;
    ctx->any_run = true;
    DedupFilter& f = *ctx->filter;
    FileStreams streams(files->in, files->out, files->progress, files->progress_user);
    ChecksumIo summed(streams);  // the map's end records the input's checksum
    FileSink map_file(files->map);
    const auto failed = [&](chunksieve_error e, int code) {
        ctx->broken = true;
        if (system_error) *system_error = code;
        return e;
    };
    // The map writer stops when its sink refuses bytes (a failed write), or when it cannot hold
    // what it keeps.
    const auto map_failed = [&] {
        return failed(map_file.error() ? CHUNKSIEVE_ERROR_MAP_WRITE : CHUNKSIEVE_ERROR_NO_MEMORY,
                      map_file.error());
    };
    if (ctx->with_map && !ctx->begin_map(map_file)) return map_failed();
    switch (run_filter(f, ctx->with_map ? static_cast<StreamIo&>(summed) : streams)) {
        case RunStatus::complete:
            break;
        case RunStatus::read_failed:
            return failed(CHUNKSIEVE_ERROR_READ, streams.read_error());
        case RunStatus::write_failed:
            return failed(CHUNKSIEVE_ERROR_WRITE, streams.write_error());
        case RunStatus::no_memory:
            return failed(CHUNKSIEVE_ERROR_NO_MEMORY, 0);
        case RunStatus::map_failed:
            return map_failed();
    }
    if (ctx->with_map && !ctx->end_map(summed.crc())) return map_failed();
    return CHUNKSIEVE_OK;
}

chunksieve_error chunksieve_get_counts(const chunksieve_ctx* ctx, chunksieve_counts* counts) {
    if (!ctx || !counts) return CHUNKSIEVE_ERROR_ARGUMENT;
    const DedupFilter& f = *ctx->filter;
    const FilterCounts& c = f.counts;
    *counts = chunksieve_counts{};
    counts->input_bytes = c.chunk_bytes + c.tail_bytes;
    counts->chunks = c.chunks;
    counts->new_chunks = c.new_chunks;
    counts->found_earlier_runs =
        ctx->writer ? ctx->writer->repeats_of_earlier_runs() : ctx->found_earlier;
    counts->output_bytes = c.new_bytes + c.fill_bytes;
    counts->fill_bytes = c.fill_bytes;
    counts->tail_bytes = c.tail_bytes;
    counts->map_bytes = ctx->writer ? ctx->writer->bytes_written() : ctx->map_total;
    counts->index_entries = f.index.entries();
    counts->index_dropped = f.index.dropped();
    return CHUNKSIEVE_OK;
}

chunksieve_error chunksieve_save_state(const chunksieve_ctx* ctx,
                                       int (*write)(void* user, const void* buf, std::size_t n),
                                       void* user) {
    if (!ctx || !write) return CHUNKSIEVE_ERROR_ARGUMENT;
    if (ctx->broken) return CHUNKSIEVE_ERROR_BROKEN;
    if (ctx->running || ctx->one_run) return CHUNKSIEVE_ERROR_STAGE;
    struct Sink final : ByteSink {
        int (*write)(void*, const void*, std::size_t);
        void* user;
        bool write_all(const std::uint8_t* data, std::size_t n) override {
            return write(user, data, n) == 0;
        }
    } sink;
    sink.write = write;
    sink.user = user;
    std::vector<std::uint8_t> section;
    StateInfo info{ctx->filter->total, 0, 0};
    if (ctx->with_map) {
        try {
            section = ctx->order.section();
        } catch (const std::bad_alloc&) {
            return CHUNKSIEVE_ERROR_NO_MEMORY;
        }
        info = StateInfo{ctx->filter->total, ctx->next_ordinal, ctx->state_id, section.data(),
                         section.size()};
    }
    return state_error(save_state(ctx->filter->index, info, sink));
}

chunksieve_error chunksieve_load_state(chunksieve_ctx* ctx, const void* state, std::size_t size) {
    if (!ctx || (!state && size > 0)) return CHUNKSIEVE_ERROR_ARGUMENT;
    if (ctx->broken) return CHUNKSIEVE_ERROR_BROKEN;
    if (ctx->any_run || ctx->filter->index.entries() > 0) return CHUNKSIEVE_ERROR_STAGE;
    DedupFilter& f = *ctx->filter;
    const std::uint8_t* bytes = static_cast<const std::uint8_t*>(state);
    StateCheck c = load_state(bytes, size, f.index);
    if (c.error == StateError::none && ctx->with_map) {
        if (!state_anchors_map(c)) {
            f.index.clear();
            return CHUNKSIEVE_ERROR_STATE_NO_MAP;
        }
        if (c.section && !ctx->order.load_section(c.section, c.section_bytes, c.new_chunks))
            c.error = StateError::damaged;
    }
    if (c.error != StateError::none) {
        if (c.error == StateError::no_memory) ctx->broken = true;
        f.index.clear();
        return state_error(c.error);
    }
    f.total = c.total;
    if (ctx->with_map) {
        ctx->state_id = c.state_id;
        ctx->next_ordinal = c.new_chunks;
        ctx->order_known = c.section != nullptr;
    }
    return CHUNKSIEVE_OK;
}

unsigned chunksieve_state_format_version(const void* state, std::size_t size) {
    if (!state) return 0;
    return check_state(static_cast<const std::uint8_t*>(state), size).version;
}

}  // extern "C"

namespace {

class CSource final : public ByteSource, public ReadBack {
  public:
    explicit CSource(const chunksieve_source& s) : s_(s) {}
    std::ptrdiff_t read(std::uint8_t* buf, std::size_t capacity) override {
        return s_.read ? s_.read(s_.user, buf, capacity) : -1;
    }
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) override {
        return s_.read_at ? s_.read_at(s_.user, buf, n, offset) : -1;
    }

  private:
    chunksieve_source s_;
};

class CRestored final : public ByteSink, public ReadBack {
  public:
    explicit CRestored(const chunksieve_expand_job& j) : j_(j) {}
    bool write_all(const std::uint8_t* data, std::size_t n) override {
        return j_.write_restored(j_.restored_user, data, n) == 0;
    }
    std::ptrdiff_t read_at(std::uint8_t* buf, std::size_t n, std::uint64_t offset) override {
        return j_.read_restored_at(j_.restored_user, buf, n, offset);
    }

  private:
    const chunksieve_expand_job& j_;
};

}  // namespace

extern "C" chunksieve_error chunksieve_expand(const chunksieve_expand_job* job,
                                              chunksieve_expand_result* result) {
    if (!job || !job->map.read || !job->out.read || !job->write_restored ||
        (!job->out.read_at && !job->read_restored_at) || (job->link_count > 0 && !job->links))
        return CHUNKSIEVE_ERROR_ARGUMENT;
    for (std::size_t i = 0; i < job->link_count; ++i)
        if (!job->links[i].map.read || !job->links[i].data.read_at)
            return CHUNKSIEVE_ERROR_ARGUMENT;
    try {
        CSource map(job->map), out(job->out);
        CRestored restored(*job);
        std::vector<CSource> link_maps, link_data;
        link_maps.reserve(job->link_count);
        link_data.reserve(job->link_count);
        std::vector<ExpandLink> links;
        for (std::size_t i = 0; i < job->link_count; ++i) {
            link_maps.emplace_back(job->links[i].map);
            link_data.emplace_back(job->links[i].data);
            links.push_back(
                ExpandLink{&link_maps.back(), &link_data.back(), job->links[i].data_is_input != 0});
        }
        ExpandJob j{&map,
                    &out,
                    job->out.read_at ? static_cast<ReadBack*>(&out) : nullptr,
                    &restored,
                    job->read_restored_at ? static_cast<ReadBack*>(&restored) : nullptr,
                    links,
                    false};
        const ExpandReport r = expand(best_kernels(), j);
        if (result) {
            result->restored_bytes = r.restored_bytes;
            result->which = r.which;
            result->at = r.at;
            result->value = r.value;
            result->chunks = r.end.chunks;
            result->new_chunks = r.end.new_chunks;
        }
        return expand_error(r.error);
    } catch (const std::bad_alloc&) {
        return CHUNKSIEVE_ERROR_NO_MEMORY;
    }
}

namespace {

struct Memory {
    const std::uint8_t* bytes;
    std::size_t size, pos;
};

std::ptrdiff_t memory_read(void* user, void* buf, std::size_t capacity) {
    Memory& m = *static_cast<Memory*>(user);
    const std::size_t n = std::min(capacity, m.size - m.pos);
    if (n > 0) std::memcpy(buf, m.bytes + m.pos, n);
    m.pos += n;
    return std::ptrdiff_t(n);
}

std::ptrdiff_t memory_read_at(void* user, void* buf, std::size_t n, std::uint64_t offset) {
    const Memory& m = *static_cast<Memory*>(user);
    if (offset >= m.size) return 0;
    n = std::min<std::size_t>(n, m.size - std::size_t(offset));
    std::memcpy(buf, m.bytes + offset, n);
    return std::ptrdiff_t(n);
}

struct Room {
    std::uint8_t* bytes;
    std::size_t capacity, used;
};

int room_write(void* user, const void* buf, std::size_t n) {
    Room& r = *static_cast<Room*>(user);
    if (n > r.capacity - r.used) return -1;
    std::memcpy(r.bytes + r.used, buf, n);
    r.used += n;
    return 0;
}

}  // namespace

extern "C" chunksieve_error chunksieve_expand_buffers(const void* map, std::size_t map_size,
                                                      const void* out, std::size_t out_size,
                                                      void* restored, std::size_t capacity,
                                                      std::size_t* restored_size) {
    if ((!map && map_size > 0) || (!out && out_size > 0) || (!restored && capacity > 0) ||
        !restored_size)
        return CHUNKSIEVE_ERROR_ARGUMENT;
    Memory m{static_cast<const std::uint8_t*>(map), map_size, 0};
    Memory o{static_cast<const std::uint8_t*>(out), out_size, 0};
    Room r{static_cast<std::uint8_t*>(restored), capacity, 0};
    chunksieve_expand_job job{};
    job.map = {&m, memory_read, nullptr};
    job.out = {&o, memory_read, memory_read_at};
    job.restored_user = &r;
    job.write_restored = room_write;
    const chunksieve_error e = chunksieve_expand(&job, nullptr);
    *restored_size = r.used;
    return e;
}
