/* Keeps one copy of each chunk of a buffer that repeats itself, then rebuilds the buffer from the
 * output and the map, and checks it. Built against an installed chunksieve: CMakeLists.txt
 * (find_package) or build_pkgconfig.sh (pkg-config). */
#include <chunksieve/chunksieve.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    unsigned char* bytes;
    size_t size;
} Bytes;

static int append(Bytes* b, const void* p, size_t n) {
    unsigned char* grown = realloc(b->bytes, b->size + n + 1);
    if (!grown) return -1;
    memcpy(grown + b->size, p, n);
    b->bytes = grown;
    b->size += n;
    return 0;
}

/* Runs the filter over the whole input, with its end: calls until the run is complete. */
static chunksieve_error filter(chunksieve_ctx* ctx, const unsigned char* input, size_t size,
                               Bytes* out, Bytes* map) {
    static unsigned char out_room[1 << 16], map_room[1 << 16];
    chunksieve_in_buffer in = {input, size, 0};
    chunksieve_error e;
    size_t left = 0;
    do {
        chunksieve_out_buffer o = {out_room, sizeof out_room, 0};
        chunksieve_out_buffer m = {map_room, sizeof map_room, 0};
        e = chunksieve_filter_stream(ctx, &o, &m, &in, 1, &left);
        if (e == CHUNKSIEVE_OK && (append(out, out_room, o.pos) || append(map, map_room, m.pos)))
            e = CHUNKSIEVE_ERROR_NO_MEMORY;
    } while (e == CHUNKSIEVE_OK && left > 0);
    return e;
}

int main(void) {
    enum { BLOCK = 1 << 16, COPIES = 4 };
    const size_t size = (size_t)BLOCK * COPIES;
    unsigned char* input = malloc(size);
    unsigned char* restored = malloc(size);
    chunksieve_ctx* ctx = chunksieve_create(CHUNKSIEVE_WITH_MAP);
    Bytes out = {NULL, 0}, map = {NULL, 0};
    size_t restored_size = 0, i;
    unsigned x = 1;
    chunksieve_error e = CHUNKSIEVE_ERROR_NO_MEMORY;

    if (input && restored && ctx) {
        /* 64 KiB of noise, four times over. */
        for (i = 0; i < BLOCK; ++i) {
            x = x * 1103515245u + 12345u;
            input[i] = (unsigned char)(x >> 24);
        }
        for (i = 1; i < COPIES; ++i)
            memcpy(input + i * BLOCK, input, BLOCK);
        e = filter(ctx, input, size, &out, &map);
    }
    if (e == CHUNKSIEVE_OK)
        e = chunksieve_expand_buffers(map.bytes, map.size, out.bytes, out.size, restored, size,
                                      &restored_size);
    if (e == CHUNKSIEVE_OK && (restored_size != size || memcmp(restored, input, size) != 0))
        e = CHUNKSIEVE_ERROR_CHECKSUM;

    if (e == CHUNKSIEVE_OK)
        printf("chunksieve %s: %zu bytes in, %zu out and %zu of map, restored and checked\n",
               chunksieve_version_string(), size, out.size, map.size);
    else
        fprintf(stderr, "roundtrip: %s\n", chunksieve_error_name(e));
    chunksieve_free(ctx);
    free(input);
    free(restored);
    free(out.bytes);
    free(map.bytes);
    return e == CHUNKSIEVE_OK ? 0 : 1;
}
