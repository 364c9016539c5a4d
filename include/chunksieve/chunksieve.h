/* chunksieve: keeps the first copy of every content-defined chunk of a stream and drops the
 * repeats; with a map, rebuilds the stream from what it kept.
 *
 * The filter cuts its input into chunks of 100 to 65,535 bytes (a rolling hash over the last 12
 * bytes ends one, so does a 4-byte marker), keys each chunk, asks an index whether the key was
 * met before, and writes only the new chunks, each padded to a multiple of 64 bytes. The bytes
 * are the same whatever the CPU and however the input is split between calls.
 *
 * The library never prints, exits or reads globals. Buffers are the caller's; a context holds
 * the index (about 16 MiB to start, growing with the keys) and the state of the run in progress.
 * A context is used by one thread at a time; contexts are independent.
 *
 * A run:
 *
 *     chunksieve_ctx *c = chunksieve_create(CHUNKSIEVE_WITH_MAP);
 *     for each piece of the input:
 *         chunksieve_in_buffer in = {piece, size, 0};
 *         while (in.pos < in.size)
 *             chunksieve_filter_stream(c, &out, &map, &in, 0, &left);   (drain out and map)
 *     do chunksieve_filter_stream(c, &out, &map, &in, 1, &left); while (left > 0);
 *
 * and the next call with input starts the next run, whose repeats include the chunks of the
 * runs before it (as a saved index carries them between processes). */
#ifndef CHUNKSIEVE_H
#define CHUNKSIEVE_H

#include <stddef.h>
#include <stdint.h>

#define CHUNKSIEVE_VERSION_MAJOR 0
#define CHUNKSIEVE_VERSION_MINOR 1
#define CHUNKSIEVE_VERSION_PATCH 0
#define CHUNKSIEVE_VERSION_NUMBER \
    (CHUNKSIEVE_VERSION_MAJOR * 10000 + CHUNKSIEVE_VERSION_MINOR * 100 + CHUNKSIEVE_VERSION_PATCH)
#define CHUNKSIEVE_VERSION_STRING "0.1.0"

/* On Windows a program that uses the DLL defines CHUNKSIEVE_DLL; the DLL's own build defines
 * CHUNKSIEVE_BUILDING_DLL. A static library needs neither. */
#if defined(_WIN32)
#if defined(CHUNKSIEVE_BUILDING_DLL)
#define CHUNKSIEVE_API __declspec(dllexport)
#elif defined(CHUNKSIEVE_DLL)
#define CHUNKSIEVE_API __declspec(dllimport)
#else
#define CHUNKSIEVE_API
#endif
#elif defined(__GNUC__)
#define CHUNKSIEVE_API __attribute__((visibility("default")))
#else
#define CHUNKSIEVE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The run-time version: CHUNKSIEVE_VERSION_NUMBER and _STRING of the library linked. */
CHUNKSIEVE_API unsigned chunksieve_version_number(void);
CHUNKSIEVE_API const char* chunksieve_version_string(void);

typedef enum chunksieve_error {
    CHUNKSIEVE_OK = 0,
    CHUNKSIEVE_ERROR_ARGUMENT,  /* a null pointer, or a position past its buffer's size */
    CHUNKSIEVE_ERROR_STAGE,     /* a call out of its place, e.g. a state saved mid-run */
    CHUNKSIEVE_ERROR_NO_MEMORY, /* the index or a buffer could not get memory */
    CHUNKSIEVE_ERROR_BROKEN,    /* the context failed earlier and takes no more calls */
    CHUNKSIEVE_ERROR_WRITE,     /* a write callback failed */
    CHUNKSIEVE_ERROR_READ,      /* a read callback failed */
    /* A saved index (state) that cannot be loaded. */
    CHUNKSIEVE_ERROR_STATE_EMPTY,     /* no bytes */
    CHUNKSIEVE_ERROR_STATE_NOT_STATE, /* not a saved index at all */
    CHUNKSIEVE_ERROR_STATE_TRUNCATED, /* cut short */
    CHUNKSIEVE_ERROR_STATE_VERSION, /* whole, but of a format version this library does not read */
    CHUNKSIEVE_ERROR_STATE_PARAMETERS, /* whole, but of an index of another size */
    CHUNKSIEVE_ERROR_STATE_DAMAGED,    /* its checksum or contents do not match */
    CHUNKSIEVE_ERROR_STATE_NO_MAP,     /* saved without a map: a map cannot refer to its chunks */
    /* A map, an output or a link that does not rebuild the input (chunksieve_expand). */
    CHUNKSIEVE_ERROR_MAP_EMPTY,      /* a map of no bytes */
    CHUNKSIEVE_ERROR_NOT_MAP,        /* not a map at all */
    CHUNKSIEVE_ERROR_MAP_VERSION,    /* of a format version this library does not read */
    CHUNKSIEVE_ERROR_MAP_FEATURES,   /* needs features this library does not have */
    CHUNKSIEVE_ERROR_MAP_PARAMETERS, /* made with other chunking parameters */
    CHUNKSIEVE_ERROR_MAP_DAMAGED,    /* a checksum does not match */
    CHUNKSIEVE_ERROR_MAP_TRUNCATED,  /* it ends before its end */
    CHUNKSIEVE_ERROR_MAP_TRAILING,   /* bytes after its end */
    CHUNKSIEVE_ERROR_MAP_INVALID,    /* whole, yet it says what no run writes */
    CHUNKSIEVE_ERROR_DATA_MISMATCH,  /* an output (or link) that is not the map's */
    CHUNKSIEVE_ERROR_DATA_SHORT,     /* an output (or link) that ends before its map does */
    CHUNKSIEVE_ERROR_DATA_LONG,      /* an output (or link) with bytes beyond its map */
    CHUNKSIEVE_ERROR_CHECKSUM,       /* the rebuilt bytes are not the input's */
    CHUNKSIEVE_ERROR_NEEDS_LINKS,    /* the map goes on from earlier runs: give their links */
    CHUNKSIEVE_ERROR_NO_CHAIN,       /* links given for a map that goes on from no earlier run */
    CHUNKSIEVE_ERROR_BROKEN_CHAIN,   /* a link missing, out of order or of another chain */
    CHUNKSIEVE_ERROR_FIRST_LINK,     /* the first link is not the first run of its chain */
    CHUNKSIEVE_ERROR_MAP_WRITE       /* writing the map's file failed (chunksieve_filter_files) */
} chunksieve_error;

/* The error's name, e.g. "CHUNKSIEVE_ERROR_MAP_DAMAGED"; "CHUNKSIEVE_ERROR_UNKNOWN" for a value
 * that is none of them. Never NULL. */
CHUNKSIEVE_API const char* chunksieve_error_name(chunksieve_error error);

/* Caller-owned buffers: the library reads from src[pos, size) and writes to dst[pos, size),
 * and moves pos past what it took or wrote. */
typedef struct chunksieve_in_buffer {
    const void* src;
    size_t size;
    size_t pos;
} chunksieve_in_buffer;

typedef struct chunksieve_out_buffer {
    void* dst;
    size_t size;
    size_t pos;
} chunksieve_out_buffer;

typedef struct chunksieve_ctx chunksieve_ctx;

/* The newest format versions of a map and of a saved index: what this library writes. It reads
 * every version from 1 up to these. */
#define CHUNKSIEVE_MAP_FORMAT_VERSION 2
#define CHUNKSIEVE_STATE_FORMAT_VERSION 3

/* Flags of chunksieve_create.
 * CHUNKSIEVE_WITH_MAP: each run also writes a map, which chunksieve_expand rebuilds the run's
 *   input from (with its output); the index then keeps 5 bytes more a key.
 * CHUNKSIEVE_ONE_RUN: the context makes one run and its index is not saved, so that nothing goes
 *   on from it: its map names no index (as a run that keeps no index writes it). A second run
 *   or a save is refused (STAGE).
 * CHUNKSIEVE_REFERENCE_LOOP: chunk ends are found and chunks keyed one byte at a time, by the
 *   plain loop that the fast kernels are checked against: the same bytes, several times slower. */
#define CHUNKSIEVE_WITH_MAP 1u
#define CHUNKSIEVE_ONE_RUN 2u
#define CHUNKSIEVE_REFERENCE_LOOP 4u

/* A new context with an empty index, or NULL when memory could not be had. */
CHUNKSIEVE_API chunksieve_ctx* chunksieve_create(unsigned flags);
CHUNKSIEVE_API void chunksieve_free(chunksieve_ctx* ctx);

/* Feeds input and takes output: reads what it can of `in`, writes what it can to `out` and,
 * with a map, to `map` (NULL without one). With `end` 0 the input goes on in later calls; with
 * `end` 1 the input ends with what `in` holds (and, while the run lasts, with what `in` holds
 * in the next calls), and the run finishes once every byte is out.
 * *left (may be NULL) is the count of output and map bytes held back for want of room (call
 * again with room), plus 1 while a run with `end` has not finished: 0 with `end` means the run
 * is complete. The output and the map are the same bytes however the input is split. A context
 * that returned an error other than ARGUMENT takes no more calls (BROKEN). */
CHUNKSIEVE_API chunksieve_error chunksieve_filter_stream(chunksieve_ctx* ctx,
                                                         chunksieve_out_buffer* out,
                                                         chunksieve_out_buffer* map,
                                                         chunksieve_in_buffer* in, int end,
                                                         size_t* left);

/* An open file of the system: a descriptor on POSIX, a HANDLE cast to intptr_t on Windows. */
typedef intptr_t chunksieve_file;
#define CHUNKSIEVE_NO_FILE ((chunksieve_file)-1)

typedef struct chunksieve_files {
    chunksieve_file in;  /* read front to back until its end */
    chunksieve_file out; /* written from where it stands */
    chunksieve_file map; /* with CHUNKSIEVE_WITH_MAP, written from where it stands; else NO_FILE */
    /* When set, told the input's bytes read so far after each read that gave some, on the
     * thread that reads (not the caller's once the run has threads). */
    void (*progress)(void* user, uint64_t bytes_read);
    void* progress_user;
} chunksieve_files;

/* One whole run between open files, with the command's speed: a large input (64 MiB or more,
 * or a pipe that goes on past 16 MiB) is read ahead and its output written behind on threads of
 * the library's own, which have ended when the call returns. The bytes are those of
 * chunksieve_filter_stream. Nothing is opened, closed or truncated. On READ, WRITE (the output)
 * or MAP_WRITE, *system_error (may be NULL) is the system's error code of the failed read or
 * write: errno, or GetLastError() on Windows; 0 otherwise. The context takes no call between
 * stream calls of a run (STAGE), and none after an error (BROKEN). */
CHUNKSIEVE_API chunksieve_error chunksieve_filter_files(chunksieve_ctx* ctx,
                                                        const chunksieve_files* files,
                                                        int* system_error);

/* What the last run did (the run in progress, before its end); what --stats prints. */
typedef struct chunksieve_counts {
    uint64_t input_bytes;
    uint64_t chunks;
    uint64_t new_chunks;         /* written to the output */
    uint64_t found_earlier_runs; /* of the chunks found, those of earlier runs (with a map) */
    uint64_t output_bytes;
    uint64_t fill_bytes; /* padding in the output */
    uint64_t tail_bytes; /* after the last chunk end: never written (the map holds them) */
    uint64_t map_bytes;
    uint64_t index_entries; /* keys the index holds */
    uint64_t index_dropped; /* keys lost to full windows, since the context was made */
} chunksieve_counts;

CHUNKSIEVE_API chunksieve_error chunksieve_get_counts(const chunksieve_ctx* ctx,
                                                      chunksieve_counts* counts);

/* A saved index: what one context leaves for another, e.g. in the next process of a nightly
 * chain. Saving is between runs; loading is into a new context, before its first run. A
 * context with a map takes only a state that a context with a map saved. `write` returns 0 when
 * it took all n bytes. */
CHUNKSIEVE_API chunksieve_error chunksieve_save_state(
    const chunksieve_ctx* ctx, int (*write)(void* user, const void* buf, size_t n), void* user);
CHUNKSIEVE_API chunksieve_error chunksieve_load_state(chunksieve_ctx* ctx, const void* state,
                                                      size_t size);
/* The format version a saved index says it has (e.g. for a STATE_VERSION error), or 0 when the
 * bytes do not begin a saved index. */
CHUNKSIEVE_API unsigned chunksieve_state_format_version(const void* state, size_t size);

/* Expand: rebuilds a run's input from its output and map, checking it against the input's
 * checksum in the map. Sources are read front to back through `read` (the count, 0 at the end,
 * -1 on failure); a file that can be read at any offset also gives `read_at` (the count, fewer
 * than n only at its end, -1 on failure), else NULL. The output or the restored bytes must be
 * readable back (repeats are copied from one of them). A run that went on from earlier runs
 * (a later run of one context, or a context that loaded a state) takes their maps and outputs
 * as links, the first run first. */
typedef struct chunksieve_source {
    void* user;
    ptrdiff_t (*read)(void* user, void* buf, size_t capacity);
    ptrdiff_t (*read_at)(void* user, void* buf, size_t n, uint64_t offset);
} chunksieve_source;

typedef struct chunksieve_link {
    chunksieve_source map;  /* read front to back */
    chunksieve_source data; /* read at offsets: the link's output, or the input it restores to */
    int data_is_input;
} chunksieve_link;

typedef struct chunksieve_expand_job {
    chunksieve_source map;
    chunksieve_source out;
    void* restored_user;
    int (*write_restored)(void* user, const void* buf, size_t n); /* 0 when it took all n */
    /* The restored bytes read back (NULL when they cannot be: then out.read_at is needed). */
    ptrdiff_t (*read_restored_at)(void* user, void* buf, size_t n, uint64_t offset);
    const chunksieve_link* links;
    size_t link_count;
} chunksieve_expand_job;

typedef struct chunksieve_expand_result {
    uint64_t restored_bytes;
    int which;       /* for an error: the link it concerns (0 the first), or -1 the map expanded */
    uint64_t at;     /* for an error: where, as a byte offset of the map or the data, when known */
    uint64_t value;  /* for MAP_VERSION the map's version, for MAP_FEATURES its feature bits */
    uint64_t chunks; /* of a complete expand: the chunks restored */
    uint64_t new_chunks; /* of them, those read from the output */
} chunksieve_expand_result;

CHUNKSIEVE_API chunksieve_error chunksieve_expand(const chunksieve_expand_job* job,
                                                  chunksieve_expand_result* result);

/* Expand from memory to memory, for a run that went on from no earlier run: the restored bytes
 * go to restored[0, capacity), *restored_size is their count (also when they did not fit:
 * CHUNKSIEVE_ERROR_WRITE, with the count written). */
CHUNKSIEVE_API chunksieve_error chunksieve_expand_buffers(const void* map, size_t map_size,
                                                          const void* out, size_t out_size,
                                                          void* restored, size_t capacity,
                                                          size_t* restored_size);

#ifdef __cplusplus
}
#endif

#endif /* CHUNKSIEVE_H */
