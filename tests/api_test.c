/* The library through its public header alone, from C: the version, the error names, a round
 * trip through the filter with a map and back, the same bytes whatever the split of the input
 * and the room of the output, a run between open files, a saved index that a second context goes
 * on from, and the errors a caller meets. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "chunksieve/chunksieve.h"

#if defined(_WIN32)
#include <io.h>
static chunksieve_file file_of(FILE* f) {
    return (chunksieve_file)_get_osfhandle(_fileno(f));
}
#else
static chunksieve_file file_of(FILE* f) {
    return fileno(f);
}
#endif

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

#define EXPECT_ERROR(call, error)                                                     \
    do {                                                                              \
        const chunksieve_error e_ = (call);                                           \
        if (e_ != (error)) {                                                          \
            fprintf(stderr, "%s:%d: %s gave %s, not %s\n", __FILE__, __LINE__, #call, \
                    chunksieve_error_name(e_), chunksieve_error_name(error));         \
            ++failures;                                                               \
        }                                                                             \
    } while (0)

typedef struct {
    unsigned char* bytes;
    size_t size, capacity;
} Bytes;

static void append(Bytes* b, const void* p, size_t n) {
    if (n == 0) return;
    if (b->size + n > b->capacity) {
        b->capacity = (b->size + n) * 2;
        b->bytes = realloc(b->bytes, b->capacity);
        if (!b->bytes) abort();
    }
    memcpy(b->bytes + b->size, p, n);
    b->size += n;
}

static uint64_t lcg_state;
static uint64_t next_random(void) {
    lcg_state = lcg_state * 6364136223846793005u + 1442695040888963407u;
    return lcg_state >> 33;
}

/* 200,000 random bytes, the same again with 5 bytes changed in its middle, and 9,999 zeros: new
 * chunks, repeats, a run of one chunk repeated and a tail the output never holds. */
static Bytes make_input(void) {
    Bytes in = {0};
    unsigned char* block = malloc(200000);
    size_t i;
    lcg_state = 42;
    for (i = 0; i < 200000; ++i)
        block[i] = (unsigned char)next_random();
    append(&in, block, 200000);
    memcpy(block + 100000, "edit!", 5);
    append(&in, block, 200000);
    memset(block, 0, 9999);
    append(&in, block, 9999);
    free(block);
    return in;
}

/* Runs `input` through `ctx`, in pieces of `piece` bytes (0: random sizes up to 70,000), with
 * output buffers of `room` bytes; the output and map go to out and map. */
static chunksieve_error run(chunksieve_ctx* ctx, const Bytes* input, size_t piece, size_t room,
                            Bytes* out, Bytes* map) {
    unsigned char *obuf = malloc(room), *mbuf = malloc(room);
    size_t at = 0, left = 1;
    chunksieve_error e = CHUNKSIEVE_OK;
    for (;;) {
        const size_t n = piece ? piece : 1 + next_random() % 70000;
        const size_t take = n < input->size - at ? n : input->size - at;
        const int end = at + take == input->size;
        chunksieve_in_buffer in = {input->bytes + at, take, 0};
        do {
            chunksieve_out_buffer o = {obuf, room, 0}, m = {mbuf, room, 0};
            e = chunksieve_filter_stream(ctx, &o, &m, &in, end, &left);
            append(out, obuf, o.pos);
            append(map, mbuf, m.pos);
            if (e != CHUNKSIEVE_OK) goto done;
        } while (in.pos < in.size || (end && left > 0));
        at += take;
        if (end) break;
    }
done:
    free(obuf);
    free(mbuf);
    return e;
}

static int same(const Bytes* a, const Bytes* b) {
    return a->size == b->size && memcmp(a->bytes, b->bytes, a->size) == 0;
}

typedef struct {
    const Bytes* b;
    size_t pos;
} Reader;

static ptrdiff_t read_front(void* user, void* buf, size_t capacity) {
    Reader* r = user;
    size_t n = r->b->size - r->pos < capacity ? r->b->size - r->pos : capacity;
    memcpy(buf, r->b->bytes + r->pos, n);
    r->pos += n;
    return (ptrdiff_t)n;
}

static ptrdiff_t read_at(void* user, void* buf, size_t n, uint64_t offset) {
    const Reader* r = user;
    if (offset >= r->b->size) return 0;
    if (n > r->b->size - offset) n = (size_t)(r->b->size - offset);
    memcpy(buf, r->b->bytes + offset, n);
    return (ptrdiff_t)n;
}

static int write_bytes(void* user, const void* buf, size_t n) {
    append(user, buf, n);
    return 0;
}

static void free_bytes(Bytes* b) {
    free(b->bytes);
    b->bytes = NULL;
    b->size = b->capacity = 0;
}

/* A file's whole contents, read from its start. */
static Bytes contents(FILE* f) {
    Bytes b = {0};
    char buf[65536];
    size_t n;
    rewind(f);
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        append(&b, buf, n);
    return b;
}

static uint64_t progress_seen, progress_calls;
static void note_progress(void* user, uint64_t bytes_read) {
    (void)user;
    progress_seen = bytes_read;
    ++progress_calls;
}

/* Runs `ctx` from the file `in` (read from its start) to new temporary files; their contents go
 * to out and map (with a map). */
static chunksieve_error run_files(chunksieve_ctx* ctx, FILE* in, int with_map, Bytes* out,
                                  Bytes* map, int* code) {
    FILE* o = tmpfile();
    FILE* m = with_map ? tmpfile() : NULL;
    chunksieve_files files;
    chunksieve_error e;
    if (!o || (with_map && !m)) {
        fprintf(stderr, "cannot make a temporary file\n");
        exit(1);
    }
    rewind(in);
    files.in = file_of(in);
    files.out = file_of(o);
    files.map = m ? file_of(m) : CHUNKSIEVE_NO_FILE;
    files.progress = note_progress;
    files.progress_user = NULL;
    e = chunksieve_filter_files(ctx, &files, code);
    *out = contents(o);
    fclose(o);
    if (m) {
        *map = contents(m);
        fclose(m);
    }
    return e;
}

/* argv[1]: what the files it makes are named after, so that two runs at once (the static and the
 * shared library) keep apart. */
int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "api_test";
    char input_path[256], output_path[256];
    const Bytes input = make_input();
    Bytes out1 = {0}, map1 = {0};
    chunksieve_counts counts;
    size_t restored_size = 0;
    unsigned char* restored = malloc(input.size + 1);

    /* The version the header says is the library's. */
    CHECK(chunksieve_version_number() == CHUNKSIEVE_VERSION_NUMBER);
    CHECK(strcmp(chunksieve_version_string(), CHUNKSIEVE_VERSION_STRING) == 0);
    CHECK(strcmp(chunksieve_error_name(CHUNKSIEVE_ERROR_MAP_DAMAGED),
                 "CHUNKSIEVE_ERROR_MAP_DAMAGED") == 0);
    CHECK(strcmp(chunksieve_error_name((chunksieve_error)999), "CHUNKSIEVE_ERROR_UNKNOWN") == 0);

    /* One call, and back. */
    {
        chunksieve_ctx* c = chunksieve_create(CHUNKSIEVE_WITH_MAP);
        CHECK(c != NULL);
        EXPECT_ERROR(run(c, &input, input.size, 1 << 20, &out1, &map1), CHUNKSIEVE_OK);
        EXPECT_ERROR(chunksieve_get_counts(c, &counts), CHUNKSIEVE_OK);
        CHECK(counts.input_bytes == input.size);
        CHECK(counts.output_bytes == out1.size && out1.size % 64 == 0);
        CHECK(counts.map_bytes == map1.size);
        CHECK(counts.chunks == 1502 && counts.new_chunks == 753 && counts.tail_bytes == 10227);
        /* As the command gives them for this input: 1,502 chunks, 753 of them new; the map
         * holds the last 10,227 bytes, after the last chunk end. */
        CHECK(out1.size == 224256 && map1.size == 10460);
        chunksieve_free(c);
    }
    EXPECT_ERROR(chunksieve_expand_buffers(map1.bytes, map1.size, out1.bytes, out1.size, restored,
                                           input.size + 1, &restored_size),
                 CHUNKSIEVE_OK);
    CHECK(restored_size == input.size && memcmp(restored, input.bytes, input.size) == 0);

    /* Any split of the input and any room for the output give the same bytes. */
    {
        const size_t pieces[] = {1, 7, 65535, 65536, 65537, 0};
        const size_t rooms[] = {1, 63, 4096, 100000, 5, 777};
        size_t i;
        for (i = 0; i < sizeof pieces / sizeof *pieces; ++i) {
            Bytes out = {0}, map = {0};
            chunksieve_ctx* c = chunksieve_create(CHUNKSIEVE_WITH_MAP);
            /* One byte at a time only over a short input's worth: the rest in 65,536. */
            Bytes part = input;
            if (pieces[i] == 1) part.size = 150000;
            EXPECT_ERROR(run(c, &part, pieces[i], rooms[i], &out, &map), CHUNKSIEVE_OK);
            if (pieces[i] == 1) {
                Bytes whole_out = {0}, whole_map = {0};
                chunksieve_ctx* w = chunksieve_create(CHUNKSIEVE_WITH_MAP);
                EXPECT_ERROR(run(w, &part, part.size, 1 << 20, &whole_out, &whole_map),
                             CHUNKSIEVE_OK);
                CHECK(same(&out, &whole_out) && same(&map, &whole_map));
                chunksieve_free(w);
                free_bytes(&whole_out);
                free_bytes(&whole_map);
            } else {
                CHECK(same(&out, &out1) && same(&map, &map1));
            }
            chunksieve_free(c);
            free_bytes(&out);
            free_bytes(&map);
        }
    }

    /* Between open files: the same bytes, with the library's threads or without; a context of one
     * run, whose map names no index to go on from; the reference loop; and failed reads and
     * writes with the system's reason. */
    {
        FILE *in, *read_only;
        Bytes out = {0}, map = {0};
        int code = -1;
        chunksieve_ctx* c;
        snprintf(input_path, sizeof input_path, "%s_input.tmp", name);
        snprintf(output_path, sizeof output_path, "%s_output.tmp", name);
        in = fopen(input_path, "wb+");
        read_only = in ? fopen(input_path, "rb") : NULL;
        if (!in || !read_only || fwrite(input.bytes, 1, input.size, in) != input.size) {
            fprintf(stderr, "cannot make %s\n", input_path);
            return 1;
        }
        fflush(in);

        c = chunksieve_create(CHUNKSIEVE_WITH_MAP);
        progress_seen = progress_calls = 0;
        EXPECT_ERROR(run_files(c, in, 1, &out, &map, &code), CHUNKSIEVE_OK);
        CHECK(code == 0 && same(&out, &out1) && same(&map, &map1));
        CHECK(progress_seen == input.size && progress_calls >= 7); /* reads of 64 KiB at most */
        chunksieve_free(c);
        free_bytes(&out);
        free_bytes(&map);

        c = chunksieve_create(CHUNKSIEVE_WITH_MAP | CHUNKSIEVE_ONE_RUN);
        EXPECT_ERROR(run_files(c, in, 1, &out, &map, &code), CHUNKSIEVE_OK);
        CHECK(same(&out, &out1) && map.size == map1.size && !same(&map, &map1));
        EXPECT_ERROR(chunksieve_expand_buffers(map.bytes, map.size, out.bytes, out.size, restored,
                                               input.size + 1, &restored_size),
                     CHUNKSIEVE_OK);
        CHECK(restored_size == input.size && memcmp(restored, input.bytes, input.size) == 0);
        free_bytes(&out);
        free_bytes(&map);
        {
            Bytes state = {0};
            EXPECT_ERROR(run_files(c, in, 1, &out, &map, &code), CHUNKSIEVE_ERROR_STAGE);
            EXPECT_ERROR(chunksieve_save_state(c, write_bytes, &state), CHUNKSIEVE_ERROR_STAGE);
            free_bytes(&state);
        }
        chunksieve_free(c);
        free_bytes(&out);
        free_bytes(&map);

        c = chunksieve_create(CHUNKSIEVE_REFERENCE_LOOP);
        EXPECT_ERROR(run(c, &input, 100000, 1 << 20, &out, &map), CHUNKSIEVE_OK);
        CHECK(same(&out, &out1) && map.size == 0);
        chunksieve_free(c);
        free_bytes(&out);

        /* A map is a file of its own, given exactly when the context makes one. */
        c = chunksieve_create(CHUNKSIEVE_WITH_MAP);
        EXPECT_ERROR(run_files(c, in, 0, &out, &map, &code), CHUNKSIEVE_ERROR_ARGUMENT);
        chunksieve_free(c);
        free_bytes(&out);

        /* A file opened only to read cannot be written, nor one opened only to write read. */
        {
            chunksieve_files files;
            const chunksieve_error expected[3] = {CHUNKSIEVE_ERROR_READ, CHUNKSIEVE_ERROR_WRITE,
                                                  CHUNKSIEVE_ERROR_MAP_WRITE};
            int which;
            for (which = 0; which < 3; ++which) {
                FILE* o = tmpfile();
                FILE* m = tmpfile();
                FILE* write_only = fopen(output_path, "wb");
                if (!o || !m || !write_only) {
                    fprintf(stderr, "cannot make the files to fail\n");
                    return 1;
                }
                files.in = which == 0 ? file_of(write_only) : file_of(read_only);
                files.out = which == 1 ? file_of(read_only) : file_of(o);
                files.map = which == 2 ? file_of(read_only) : file_of(m);
                files.progress = NULL;
                rewind(read_only);
                c = chunksieve_create(CHUNKSIEVE_WITH_MAP);
                code = 0;
                EXPECT_ERROR(chunksieve_filter_files(c, &files, &code), expected[which]);
                CHECK(code != 0);
                /* A context that failed takes no more runs. */
                EXPECT_ERROR(chunksieve_filter_files(c, &files, &code), CHUNKSIEVE_ERROR_BROKEN);
                chunksieve_free(c);
                fclose(o);
                fclose(m);
                fclose(write_only);
            }
        }
        fclose(read_only);
        fclose(in);
        remove(input_path);
        remove(output_path);
    }

    /* A saved index: a second context goes on from it, and its map expands with the first
     * run's map and output as a link. */
    {
        Bytes state = {0}, out2 = {0}, map2 = {0}, rebuilt = {0}, second = {0};
        chunksieve_ctx *a = chunksieve_create(CHUNKSIEVE_WITH_MAP), *b;
        Bytes tmp_out = {0}, tmp_map = {0};
        Reader rm, ro, lm, lo;
        chunksieve_link link;
        chunksieve_expand_job job;
        chunksieve_expand_result result;
        EXPECT_ERROR(run(a, &input, 65536, 65536, &tmp_out, &tmp_map), CHUNKSIEVE_OK);
        CHECK(same(&tmp_out, &out1));
        EXPECT_ERROR(chunksieve_save_state(a, write_bytes, &state), CHUNKSIEVE_OK);
        chunksieve_free(a);

        append(&second, input.bytes + 1000, 300000);
        b = chunksieve_create(CHUNKSIEVE_WITH_MAP);
        EXPECT_ERROR(chunksieve_load_state(b, state.bytes, state.size), CHUNKSIEVE_OK);
        EXPECT_ERROR(run(b, &second, 4096, 4096, &out2, &map2), CHUNKSIEVE_OK);
        EXPECT_ERROR(chunksieve_get_counts(b, &counts), CHUNKSIEVE_OK);
        CHECK(counts.found_earlier_runs > 0);
        CHECK(out2.size < 5000); /* what it holds is nearly all in the first run's output */
        /* A state is loaded only before the first run. */
        EXPECT_ERROR(chunksieve_load_state(b, state.bytes, state.size), CHUNKSIEVE_ERROR_STAGE);
        chunksieve_free(b);

        rm.b = &map2;
        rm.pos = 0;
        ro.b = &out2;
        ro.pos = 0;
        lm.b = &map1;
        lm.pos = 0;
        lo.b = &out1;
        lo.pos = 0;
        link.map.user = &lm;
        link.map.read = read_front;
        link.map.read_at = NULL;
        link.data.user = &lo;
        link.data.read = read_front;
        link.data.read_at = read_at;
        link.data_is_input = 0;
        memset(&job, 0, sizeof job);
        job.map.user = &rm;
        job.map.read = read_front;
        job.out.user = &ro;
        job.out.read = read_front;
        job.out.read_at = read_at;
        job.restored_user = &rebuilt;
        job.write_restored = write_bytes;
        job.links = &link;
        job.link_count = 1;
        EXPECT_ERROR(chunksieve_expand(&job, &result), CHUNKSIEVE_OK);
        CHECK(same(&rebuilt, &second) && result.restored_bytes == second.size);

        /* Without its link, the map is refused by name. */
        rm.pos = ro.pos = 0;
        job.link_count = 0;
        EXPECT_ERROR(chunksieve_expand(&job, &result), CHUNKSIEVE_ERROR_NEEDS_LINKS);

        /* States that cannot be loaded. */
        b = chunksieve_create(CHUNKSIEVE_WITH_MAP);
        EXPECT_ERROR(chunksieve_load_state(b, state.bytes, 0), CHUNKSIEVE_ERROR_STATE_EMPTY);
        EXPECT_ERROR(chunksieve_load_state(b, "hello, world", 12),
                     CHUNKSIEVE_ERROR_STATE_NOT_STATE);
        EXPECT_ERROR(chunksieve_load_state(b, state.bytes, state.size - 1),
                     CHUNKSIEVE_ERROR_STATE_TRUNCATED);
        CHECK(chunksieve_state_format_version(state.bytes, state.size) == 3);
        CHECK(chunksieve_state_format_version("hello, world", 12) == 0);
        state.bytes[state.size / 2] ^= 1;
        EXPECT_ERROR(chunksieve_load_state(b, state.bytes, state.size),
                     CHUNKSIEVE_ERROR_STATE_DAMAGED);
        chunksieve_free(b);
        /* One saved without a map cannot anchor one. */
        a = chunksieve_create(0);
        free_bytes(&tmp_out);
        free_bytes(&tmp_map);
        EXPECT_ERROR(run(a, &input, 65536, 65536, &tmp_out, &tmp_map), CHUNKSIEVE_OK);
        CHECK(tmp_map.size == 0 && same(&tmp_out, &out1));
        free_bytes(&state);
        EXPECT_ERROR(chunksieve_save_state(a, write_bytes, &state), CHUNKSIEVE_OK);
        chunksieve_free(a);
        b = chunksieve_create(CHUNKSIEVE_WITH_MAP);
        EXPECT_ERROR(chunksieve_load_state(b, state.bytes, state.size),
                     CHUNKSIEVE_ERROR_STATE_NO_MAP);
        chunksieve_free(b);
        free_bytes(&state);
        free_bytes(&out2);
        free_bytes(&map2);
        free_bytes(&rebuilt);
        free_bytes(&second);
        free_bytes(&tmp_out);
        free_bytes(&tmp_map);
    }

    /* A changed map or output, or too little room, is refused. */
    map1.bytes[map1.size / 2] ^= 4;
    EXPECT_ERROR(chunksieve_expand_buffers(map1.bytes, map1.size, out1.bytes, out1.size, restored,
                                           input.size + 1, &restored_size),
                 CHUNKSIEVE_ERROR_MAP_DAMAGED);
    map1.bytes[map1.size / 2] ^= 4;
    out1.bytes[5] ^= 1;
    EXPECT_ERROR(chunksieve_expand_buffers(map1.bytes, map1.size, out1.bytes, out1.size, restored,
                                           input.size + 1, &restored_size),
                 CHUNKSIEVE_ERROR_CHECKSUM);
    out1.bytes[5] ^= 1;
    EXPECT_ERROR(chunksieve_expand_buffers(map1.bytes, map1.size, out1.bytes, out1.size - 64,
                                           restored, input.size + 1, &restored_size),
                 CHUNKSIEVE_ERROR_DATA_SHORT);
    EXPECT_ERROR(chunksieve_expand_buffers(map1.bytes, map1.size, out1.bytes, out1.size, restored,
                                           1000, &restored_size),
                 CHUNKSIEVE_ERROR_WRITE);
    EXPECT_ERROR(chunksieve_expand_buffers(out1.bytes, out1.size, map1.bytes, map1.size, restored,
                                           input.size, &restored_size),
                 CHUNKSIEVE_ERROR_NOT_MAP);

    /* Calls out of place, and arguments that are not. */
    {
        chunksieve_ctx* c = chunksieve_create(0);
        chunksieve_in_buffer in = {input.bytes, 10, 0};
        chunksieve_out_buffer o = {restored, 0, 0};
        size_t left = 0;
        EXPECT_ERROR(chunksieve_filter_stream(NULL, &o, NULL, &in, 0, &left),
                     CHUNKSIEVE_ERROR_ARGUMENT);
        o.pos = 1;
        EXPECT_ERROR(chunksieve_filter_stream(c, &o, NULL, &in, 0, &left),
                     CHUNKSIEVE_ERROR_ARGUMENT);
        o.pos = 0;
        EXPECT_ERROR(chunksieve_filter_stream(c, &o, NULL, &in, 1, &left), CHUNKSIEVE_OK);
        CHECK(in.pos == 10 && left == 0); /* ten bytes: all tail, an empty output */
        /* The next input begins a new run; the index is saved only between runs. */
        in.pos = 0;
        EXPECT_ERROR(chunksieve_filter_stream(c, &o, NULL, &in, 0, &left), CHUNKSIEVE_OK);
        {
            Bytes state = {0};
            EXPECT_ERROR(chunksieve_save_state(c, write_bytes, &state), CHUNKSIEVE_ERROR_STAGE);
            EXPECT_ERROR(chunksieve_filter_stream(c, &o, NULL, &in, 1, &left), CHUNKSIEVE_OK);
            CHECK(left == 0);
            EXPECT_ERROR(chunksieve_save_state(c, write_bytes, &state), CHUNKSIEVE_OK);
            free_bytes(&state);
        }
        chunksieve_free(c);
        EXPECT_ERROR(chunksieve_expand_buffers(NULL, 5, NULL, 0, NULL, 0, &restored_size),
                     CHUNKSIEVE_ERROR_ARGUMENT);
    }

    free(restored);
    free_bytes(&out1);
    free_bytes(&map1);
    free((void*)input.bytes);
    if (failures) fprintf(stderr, "%d failures\n", failures);
    return failures ? 1 : 0;
}
