/* The C interface as a C program meets it: round trips into buffers of
 * exactly the right size and one byte too small, the size from the head,
 * the bound, every kind of damage and NULL pointers, and the stream held to
 * vemk_decompress on whole, cut and damaged files. Compiled as C11; an
 * argument sets the seed of the damage. */
#if defined(__unix__) || defined(__APPLE__)
#define _POSIX_C_SOURCE 200809L
#include <sys/resource.h>
#endif
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vemk.h"

static int failures = 0;

#define CHECK(cond, what)                                                                           \
    do {                                                                                            \
        if (!(cond)) {                                                                              \
            fprintf(stderr, "%s:%d: %s: %s\n", __FILE__, __LINE__, (what), #cond);                  \
            ++failures;                                                                             \
        }                                                                                           \
    } while (0)

#define CHECK_RESULT(got, want, what)                                                               \
    do {                                                                                            \
        vemk_result got_ = (got);                                                                   \
        if (got_ != (want)) {                                                                       \
            fprintf(stderr, "%s:%d: %s: %s gave %d (%s), not %s\n", __FILE__, __LINE__, (what), #got, \
                    (int)got_, vemk_message(got_), #want);                                          \
            ++failures;                                                                             \
        }                                                                                           \
    } while (0)

/* Deterministic bytes of a few shapes. */
static unsigned char* make_input(size_t n, int shape) {
    unsigned char* p = malloc(n ? n : 1);
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = shape == 0 ? (unsigned char)x : shape == 1 ? (unsigned char)(x % 100 < 97 ? 'a' : x >> 24) : 0x41;
    }
    return p;
}

/* Compresses, then restores through every size check; the packed file is
 * handed back for the damage cases. */
static unsigned char* round_trip(const char* name, const unsigned char* in, size_t n, size_t* packed_size) {
    size_t bound = vemk_compress_bound(n);
    unsigned char* packed = malloc(bound);
    size_t size = 1;
    CHECK(bound == 520 + 2 * n, name);
    CHECK_RESULT(vemk_compress(packed, bound, in, n, &size), VEMK_OK, name);
    CHECK(size >= 520 && size <= bound, name);

    /* Exactly the size fits; one byte less does not, and says so. */
    unsigned char* exact = malloc(size);
    size_t exact_size = 0;
    CHECK_RESULT(vemk_compress(exact, size, in, n, &exact_size), VEMK_OK, name);
    CHECK(exact_size == size && memcmp(exact, packed, size) == 0, name);
    CHECK_RESULT(vemk_compress(exact, size - 1, in, n, &exact_size), VEMK_DESTINATION_TOO_SMALL, name);
    CHECK(exact_size == 0, name);
    /* Threads 0 and 1 are the plain call. */
    for (unsigned threads = 0; threads <= 1; ++threads) {
        CHECK_RESULT(vemk_compress_threads(exact, size, in, n, &exact_size, threads), VEMK_OK, name);
        CHECK(exact_size == size && memcmp(exact, packed, size) == 0, name);
    }
    free(exact);

    size_t announced = 12345;
    CHECK_RESULT(vemk_decompressed_size(packed, size, &announced), VEMK_OK, name);
    CHECK(announced == n, name);
    unsigned char* out = malloc(n + 1);
    size_t out_size = 12345;
    CHECK_RESULT(vemk_decompress(out, n, packed, size, &out_size), VEMK_OK, name);
    CHECK(out_size == n && memcmp(out, in, n) == 0, name);
    if (n > 0) {
        CHECK_RESULT(vemk_decompress(out, n - 1, packed, size, &out_size), VEMK_DESTINATION_TOO_SMALL, name);
        CHECK(out_size == 0, name);
    } else {
        CHECK_RESULT(vemk_decompress(NULL, 0, packed, size, &out_size), VEMK_OK, name);
    }
    free(out);
    *packed_size = size;
    return packed;
}

/* A compressed file from its fields: length, (value, frequency) pairs, stream. */
static size_t build_file(unsigned char* file, int32_t length, const int* entries, const unsigned char* stream,
                         size_t stream_size) {
    memset(file, 0, 516);
    uint32_t u = (uint32_t)length;
    for (int i = 0; i < 4; ++i) {
        file[i] = (unsigned char)(u >> (8 * i));
    }
    for (; entries[0] >= 0; entries += 2) {
        file[4 + 2 * entries[0]] = (unsigned char)entries[1];
        file[5 + 2 * entries[0]] = (unsigned char)(entries[1] >> 8);
    }
    if (stream_size > 0) {
        memcpy(file + 516, stream, stream_size);
    }
    return 516 + stream_size;
}

/* ---- The stream ---------------------------------------------------------- */

static size_t stream_inputs = 0; /* inputs on which the stream met vemk_decompress */

static size_t smaller(size_t a, size_t b) { return a < b ? a : b; }

/* Restores `file` through a stream, in pieces of in_piece bytes and room of
 * out_piece, into `out` (cap bytes: output past them wraps round and is only
 * counted), as a caller does: input until it is all taken, then calls with
 * none while they fill the room, then the end. Checks on the way what every
 * call promises; *n is the bytes written and *taken the bytes used. */
static vemk_result stream_restore(const char* name, const unsigned char* file, size_t size, size_t in_piece,
                                  size_t out_piece, unsigned char* out, size_t cap, size_t* n, size_t* taken) {
    vemk_dstream* ds = vemk_dstream_new();
    size_t pos = 0, written = 0;
    int done = 0;
    vemk_result r = VEMK_OK;
    CHECK(ds != NULL, name);
    for (;;) {
        size_t give = smaller(size - pos, in_piece);
        size_t at = written % cap;
        size_t room = smaller(out_piece, cap - at);
        size_t used = 12345, w = 12345;
        r = vemk_dstream_decode(ds, out + at, room, &w, file + pos, give, &used, &done);
        CHECK(used <= give && w <= room, name);
        pos += used;
        written += w;
        if (r != VEMK_OK || done) {
            break;
        }
        if (give == 0 && w < room) {
            r = vemk_dstream_end(ds);
            done = r == VEMK_OK; /* a head cut short can announce 0 bytes */
            break;
        }
        if (used == 0 && w == 0) { /* given both bytes and room, a stream takes or writes */
            CHECK(used > 0 || w > 0, name);
            r = vemk_dstream_end(ds);
            break;
        }
    }
    /* From then on, every call gives the same and takes nothing. */
    size_t used = 1, w = 1;
    int again = 0;
    CHECK_RESULT(vemk_dstream_decode(ds, out, cap, &w, file, size, &used, &again), r, name);
    CHECK(used == 0 && w == 0 && again == done, name);
    CHECK_RESULT(vemk_dstream_end(ds), r, name);
    CHECK(r != VEMK_OK || done, name);
    vemk_dstream_free(ds);
    *n = written;
    *taken = pos;
    return r;
}

/* The stream against vemk_decompress on the same bytes: the same result,
 * and on success the same bytes, with `whole` bytes taken (the file without
 * what was appended to it; 0 for any). */
static void check_stream(const char* name, const unsigned char* file, size_t size, size_t whole, size_t in_piece,
                         size_t out_piece) {
    size_t announced = 0;
    vemk_decompressed_size(file, size, &announced);
    size_t cap = announced == 0 ? 1 : smaller(announced, (size_t)1 << 24);
    unsigned char* want = malloc(cap);
    unsigned char* got = malloc(cap);
    size_t want_n = 0, n = 0, taken = 0;
    vemk_result want_r = vemk_decompress(want, cap, file, size, &want_n);
    if (want_r == VEMK_DESTINATION_TOO_SMALL) { /* a length too large to restore here */
        free(want);
        free(got);
        return;
    }
    CHECK_RESULT(stream_restore(name, file, size, in_piece, out_piece, got, cap, &n, &taken), want_r, name);
    if (want_r == VEMK_OK) {
        CHECK(n == want_n && memcmp(got, want, n) == 0, name);
        CHECK(whole == 0 || taken == whole, name);
    }
    CHECK(n <= announced, name);
    ++stream_inputs;
    free(want);
    free(got);
}

/* A seeded generator for pieces and damage. */
static uint32_t rng_state = 1;
static uint32_t rng(void) {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 17;
    rng_state ^= rng_state << 5;
    return rng_state;
}

/* Every piece size from 1 to 600, in and out, on a file and on the same
 * file with bytes after it; then the file cut at every length and damaged
 * at random, in random pieces. */
static void stream_pieces(const char* name, const unsigned char* file, size_t size, size_t whole) {
    unsigned char* longer = malloc(size + 50);
    memcpy(longer, file, size);
    memset(longer + size, 0xEE, 50);
    for (size_t k = 1; k <= 600; ++k) {
        check_stream(name, file, size, whole, k, 1 << 20);
        check_stream(name, file, size, whole, 1 << 20, k);
        check_stream(name, longer, size + 50, whole, k, 601 - k);
    }
    for (size_t cut = 0; cut < size; ++cut) {
        check_stream(name, file, cut, 0, 1 + rng() % 700, 1 + rng() % 700);
    }
    unsigned char* damaged = malloc(size + 50);
    for (int i = 0; i < 300; ++i) {
        memcpy(damaged, longer, size + 50);
        /* The length is left alone: a huge one would ask vemk_decompress for gigabytes. */
        for (uint32_t flips = 1 + rng() % 3; flips > 0; --flips) {
            damaged[4 + rng() % (size - 4)] ^= (unsigned char)(1 + rng() % 255);
        }
        check_stream(name, damaged, size + rng() % 51, 0, 1 + rng() % 700, 1 + rng() % 700);
    }
    free(damaged);
    free(longer);
}

/* A file of the corpus, or NULL. */
static unsigned char* read_file(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        return NULL;
    }
    size_t cap = 1 << 16, n = 0;
    unsigned char* p = malloc(cap);
    size_t got;
    while ((got = fread(p + n, 1, cap - n, f)) > 0) {
        n += got;
        if (n == cap) {
            cap *= 2;
            p = realloc(p, cap);
        }
    }
    fclose(f);
    *size = n;
    return p;
}

/* Large pieces on the corpus, all of it in one file. */
static void stream_corpus(void) {
    static const char* names[] = {"alice29.txt", "asyoulik.txt", "cp.html", "fields.c",  "grammar.lsp", "kennedy.xls",
                                  "lcet10.txt",  "plrabn12.txt", "ptt5",    "sum",       "xargs.1"};
    size_t total = 0, cap = 1 << 20;
    unsigned char* all = malloc(cap);
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char path[1024];
        size_t size = 0;
        snprintf(path, sizeof path, "%s/%s", VEMK_CORPUS_DIR, names[i]);
        unsigned char* p = read_file(path, &size);
        CHECK(p != NULL, path);
        if (p == NULL) {
            continue;
        }
        while (total + size > cap) {
            cap *= 2;
            all = realloc(all, cap);
        }
        memcpy(all + total, p, size);
        total += size;
        free(p);
    }
    size_t bound = vemk_compress_bound(total), packed_size = 0;
    unsigned char* packed = malloc(bound);
    CHECK_RESULT(vemk_compress(packed, bound, all, total, &packed_size), VEMK_OK, "corpus");
    static const size_t pieces[][2] = {{65536, 65536}, {1 << 20, 4097}, {3001, 1 << 20}, {65535, 7}};
    for (size_t i = 0; i < sizeof pieces / sizeof pieces[0]; ++i) {
        check_stream("corpus", packed, packed_size, packed_size, pieces[i][0], pieces[i][1]);
    }
    free(packed);
    free(all);
}

/* The stream's memory does not grow with the file: 64 MiB restored from a
 * file of 520 bytes (one byte value, which the coder codes in no bits)
 * through 64 KiB of room, with the peak of the process's memory, where it
 * can be had, before and after. Run first, while the peak is still low. */
static void stream_memory(const unsigned char* file, size_t size, size_t n) {
    static unsigned char room[65536];
    long before = -1, after = -1;
#if defined(__unix__) || defined(__APPLE__)
    struct rusage use;
    getrusage(RUSAGE_SELF, &use);
    before = use.ru_maxrss;
#endif
    vemk_dstream* ds = vemk_dstream_new();
    size_t pos = 0, written = 0, wrong = 0;
    int done = 0;
    while (!done) {
        size_t used = 0, w = 0;
        vemk_result r = vemk_dstream_decode(ds, room, sizeof room, &w, file + pos, size - pos, &used, &done);
        CHECK_RESULT(r, VEMK_OK, "memory");
        if (r != VEMK_OK || (used == 0 && w == 0)) {
            break;
        }
        for (size_t i = 0; i < w; ++i) {
            wrong += room[i] != 0x41;
        }
        pos += used;
        written += w;
    }
    vemk_dstream_free(ds);
    CHECK(done && written == n && wrong == 0 && pos == size, "memory");
#if defined(__unix__) || defined(__APPLE__)
    getrusage(RUSAGE_SELF, &use);
    after = use.ru_maxrss;
    /* ru_maxrss counts KiB on Linux and bytes on macOS: 8 MiB either way is far below 64 MiB. */
    CHECK(after - before < 8 * 1024 * (after > (1L << 24) ? 1024 : 1), "memory");
#endif
    printf("stream: %lu bytes restored, peak memory %ld before, %ld after\n", (unsigned long)written, before, after);
}

int main(int argc, char** argv) {
    rng_state = argc > 1 ? (uint32_t)strtoul(argv[1], NULL, 10) : 20261210u;
    if (rng_state == 0) {
        rng_state = 1;
    }
    printf("damage seed %u\n", (unsigned)rng_state);
    {
        static const int one_value[] = {0x41, 1, -1};
        static const unsigned char zeros[4] = {0};
        unsigned char file[520];
        size_t size = build_file(file, 64 << 20, one_value, zeros, 4);
        stream_memory(file, size, (size_t)64 << 20);
    }

    /* Round trips, from nothing to the scaled table of 65536 bytes and more. */
    static const struct {
        const char* name;
        size_t n;
        int shape;
    } inputs[] = {
        {"empty", 0, 0},          {"one byte", 1, 2},        {"random 1000", 1000, 0},
        {"skewed 65535", 65535, 1}, {"skewed 65536", 65536, 1}, {"random 300000", 300000, 0},
        {"one value 100000", 100000, 2},
    };
    unsigned char* random_file = NULL;
    size_t random_size = 0;
    for (size_t i = 0; i < sizeof inputs / sizeof inputs[0]; ++i) {
        unsigned char* in = make_input(inputs[i].n, inputs[i].shape);
        size_t size = 0;
        unsigned char* packed = round_trip(inputs[i].name, in, inputs[i].n, &size);
        if (inputs[i].n == 1000) {
            random_file = packed;
            random_size = size;
        } else {
            free(packed);
        }
        free(in);
    }

    /* The exact file of "abracadabra". */
    {
        static const unsigned char text[] = "abracadabra";
        static const unsigned char stream[] = {0x00, 0x47, 0x5E, 0xA6, 0xA8, 0x87};
        unsigned char file[600];
        size_t size = 0;
        CHECK_RESULT(vemk_compress(file, sizeof file, text, 11, &size), VEMK_OK, "abracadabra");
        CHECK(size == 522 && memcmp(file + 516, stream, sizeof stream) == 0, "abracadabra");
        CHECK(file[0] == 11 && file[4 + 2 * 0x61] == 5 && file[4 + 2 * 0x72] == 2, "abracadabra");
    }

    /* Damage: what the head shows is refused before the room is looked at,
     * and the size from the head alone refuses only a negative length. */
    {
        static const int no_entries[] = {-1};
        static const int abra[] = {0x61, 5, 0x62, 2, 0x63, 1, 0x64, 1, 0x72, 2, -1};
        static const int over[] = {0x00, 0xFFFF, 0xFF, 2, -1};
        static const int two[] = {0x30, 1, 0x31, 1, -1};
        static const unsigned char abra_stream[] = {0x00, 0x47, 0x5E, 0xA6, 0xA8, 0x87};
        static const unsigned char top[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        static const unsigned char abra_off_end[] = {0x00, 0x47, 0x5E, 0xA6, 0xA8, 0x88};
        static const struct {
            const char* name;
            int32_t length;
            const int* entries;
            const unsigned char* stream;
            size_t stream_size;
            vemk_result size_result;
            vemk_result result;
        } damaged[] = {
            {"negative length", -1, abra, abra_stream, 6, VEMK_NEGATIVE_LENGTH, VEMK_NEGATIVE_LENGTH},
            {"most negative length", INT32_MIN, no_entries, NULL, 0, VEMK_NEGATIVE_LENGTH, VEMK_NEGATIVE_LENGTH},
            {"total 0", 11, no_entries, abra_stream, 6, VEMK_OK, VEMK_BAD_TABLE},
            {"total 65537", 11, over, abra_stream, 6, VEMK_OK, VEMK_BAD_TABLE},
            {"huge length, total 0", INT32_MAX, no_entries, NULL, 0, VEMK_OK, VEMK_BAD_TABLE},
            {"target outside the table", 3, two, top, 6, VEMK_OK, VEMK_TARGET_OUTSIDE_TABLE},
            {"stream cut short", 11, abra, abra_stream, 3, VEMK_OK, VEMK_STREAM_CUT_SHORT},
            {"stream that ends off its interval", 11, abra, abra_off_end, 6, VEMK_OK, VEMK_BAD_STREAM_END},
            {"no stream", 11, abra, NULL, 0, VEMK_OK, VEMK_STREAM_CUT_SHORT},
            {"length 0, any table", 0, over, NULL, 0, VEMK_OK, VEMK_OK},
        };
        unsigned char file[600];
        unsigned char out[64];
        for (size_t i = 0; i < sizeof damaged / sizeof damaged[0]; ++i) {
            size_t size = build_file(file, damaged[i].length, damaged[i].entries, damaged[i].stream,
                                     damaged[i].stream_size);
            size_t n = 12345, out_size = 12345;
            CHECK_RESULT(vemk_decompressed_size(file, size, &n), damaged[i].size_result, damaged[i].name);
            CHECK(n == (damaged[i].size_result == VEMK_OK ? (size_t)damaged[i].length : 0), damaged[i].name);
            CHECK_RESULT(vemk_decompress(out, sizeof out, file, size, &out_size), damaged[i].result,
                         damaged[i].name);
            CHECK(out_size == 0, damaged[i].name);
            /* Damage shows in the call that brings it; only a cut waits for the end. */
            vemk_dstream* ds = vemk_dstream_new();
            size_t used = 0, w = 0;
            vemk_result early = damaged[i].result == VEMK_STREAM_CUT_SHORT ? VEMK_OK : damaged[i].result;
            CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, &w, file, size, &used, NULL), early, damaged[i].name);
            CHECK_RESULT(vemk_dstream_end(ds), damaged[i].result, damaged[i].name);
            vemk_dstream_free(ds);
            if (damaged[i].length < 0) { /* known from the first four bytes */
                ds = vemk_dstream_new();
                CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, &w, file, 4, &used, NULL), VEMK_NEGATIVE_LENGTH,
                             damaged[i].name);
                vemk_dstream_free(ds);
            }
            check_stream(damaged[i].name, file, size, 0, 1, 600);
            check_stream(damaged[i].name, file, size, 0, 600, 1);
        }
        /* A real file cut anywhere in its stream is refused, never short. */
        for (size_t cut = 516; cut + 1 < random_size; cut += 97) {
            unsigned char big[1000];
            size_t out_size = 1;
            CHECK_RESULT(vemk_decompress(big, sizeof big, random_file, cut, &out_size), VEMK_STREAM_CUT_SHORT,
                         "cut random");
        }
    }

    /* The stream on small files of every shape, and on the corpus. */
    {
        static const struct {
            const char* name;
            size_t n;
            int shape;
        } small[] = {{"stream: empty", 0, 0},
                     {"stream: abracadabra", 11, -1},
                     {"stream: random 1000", 1000, 0},
                     {"stream: skewed 2000", 2000, 1},
                     {"stream: one value 1000", 1000, 2}};
        for (size_t i = 0; i < sizeof small / sizeof small[0]; ++i) {
            unsigned char* in = small[i].shape < 0 ? NULL : make_input(small[i].n, small[i].shape);
            size_t bound = vemk_compress_bound(small[i].n), size = 0;
            unsigned char* packed = malloc(bound);
            CHECK_RESULT(vemk_compress(packed, bound, in ? in : (const void*)"abracadabra", small[i].n, &size),
                         VEMK_OK, small[i].name);
            /* An empty file is whole at the end of its head: its stream is never looked at. */
            stream_pieces(small[i].name, packed, size, small[i].n == 0 ? 516 : size);
            free(packed);
            free(in);
        }
        stream_corpus();
    }

    /* The stream with NULL pointers: no stream (a failed vemk_dstream_new),
     * no room, and a source that cannot be read, which ends the stream. */
    {
        size_t used = 1, w = 1;
        int done = 1;
        unsigned char out[16];
        CHECK_RESULT(vemk_dstream_decode(NULL, out, sizeof out, &w, random_file, random_size, &used, &done),
                     VEMK_OUT_OF_MEMORY, "NULL stream");
        CHECK(used == 0 && w == 0 && done == 0, "NULL stream");
        CHECK_RESULT(vemk_dstream_end(NULL), VEMK_OUT_OF_MEMORY, "NULL stream");
        vemk_dstream_free(NULL);
        vemk_dstream* ds = vemk_dstream_new();
        CHECK_RESULT(vemk_dstream_decode(ds, NULL, 100, &w, random_file, random_size, &used, NULL), VEMK_OK,
                     "NULL dst");
        CHECK(used >= 520 && used < random_size && w == 0, "NULL dst");
        CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, NULL, random_file + used, random_size - used, NULL, NULL),
                     VEMK_OK, "NULL sizes");
        CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, &w, NULL, 1, &used, &done), VEMK_READ_FAILED,
                     "NULL src");
        CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, &w, random_file, 1, &used, &done), VEMK_READ_FAILED,
                     "NULL src");
        CHECK_RESULT(vemk_dstream_end(ds), VEMK_READ_FAILED, "NULL src");
        vemk_dstream_free(ds);
        /* Restored bytes still waiting for room when the input ends: the
         * bytes taken restore the whole file, but not all were written. */
        static const int one_value[] = {0x41, 1, -1};
        static const unsigned char zeros[4] = {0};
        unsigned char file[520];
        size_t size = build_file(file, 1000, one_value, zeros, 4);
        ds = vemk_dstream_new();
        CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, &w, file, size, &used, &done), VEMK_OK, "room left");
        CHECK(w == sizeof out && used == size && done == 0, "room left");
        CHECK_RESULT(vemk_dstream_end(ds), VEMK_DESTINATION_TOO_SMALL, "room left");
        vemk_dstream_free(ds);
        /* The same bytes, cut in the stream's first four. */
        ds = vemk_dstream_new();
        CHECK_RESULT(vemk_dstream_decode(ds, out, sizeof out, &w, file, size - 1, &used, &done), VEMK_OK, "cut");
        CHECK(w == 0 && used == size - 1, "cut");
        CHECK_RESULT(vemk_dstream_end(ds), VEMK_STREAM_CUT_SHORT, "cut");
        vemk_dstream_free(ds);
    }
    printf("stream: checked against vemk_decompress on %lu inputs\n", (unsigned long)stream_inputs);

    /* The bound where it stops: n above 2^31 - 1 cannot be compressed. */
    CHECK(vemk_compress_bound(0) == 520, "bound 0");
    CHECK(vemk_compress_bound(0x7FFFFFFF) == (SIZE_MAX > 0xFFFFFFFFu ? 520 + 2 * (size_t)0x7FFFFFFF : 0),
          "bound 2^31 - 1");
    CHECK(vemk_compress_bound((size_t)0x7FFFFFFF + 1) == 0, "bound 2^31");
    CHECK(vemk_compress_bound(SIZE_MAX) == 0, "bound SIZE_MAX");
    CHECK(vemk_compress_bound(SIZE_MAX / 2) == 0, "bound SIZE_MAX / 2");

    /* NULL pointers and too large inputs. */
    {
        unsigned char buf[600];
        size_t size = 12345;
        CHECK_RESULT(vemk_compress(buf, sizeof buf, NULL, 0, &size), VEMK_OK, "NULL empty source");
        CHECK(size == 520, "NULL empty source");
        CHECK_RESULT(vemk_compress(buf, sizeof buf, NULL, 1, &size), VEMK_READ_FAILED, "NULL source");
        CHECK_RESULT(vemk_compress(NULL, sizeof buf, "a", 1, &size), VEMK_DESTINATION_TOO_SMALL, "NULL dst");
        CHECK_RESULT(vemk_compress(buf, sizeof buf, "a", 1, NULL), VEMK_OK, "NULL dst_size");
        CHECK_RESULT(vemk_compress(buf, sizeof buf, buf, (size_t)0x7FFFFFFF + 1, &size), VEMK_INPUT_TOO_LARGE,
                     "2^31 bytes");
        CHECK_RESULT(vemk_decompressed_size(NULL, 0, &size), VEMK_OK, "NULL empty file");
        CHECK(size == 0, "NULL empty file");
        CHECK_RESULT(vemk_decompressed_size(NULL, 4, &size), VEMK_READ_FAILED, "NULL file");
        CHECK_RESULT(vemk_decompressed_size(buf, 520, NULL), VEMK_OK, "NULL n");
        CHECK_RESULT(vemk_decompress(NULL, 0, NULL, 0, &size), VEMK_OK, "NULL empty file");
        CHECK_RESULT(vemk_decompress(NULL, 0, NULL, 520, &size), VEMK_READ_FAILED, "NULL file");
        CHECK_RESULT(vemk_decompress(NULL, 1000, random_file, random_size, &size), VEMK_DESTINATION_TOO_SMALL,
                     "NULL dst");
        CHECK_RESULT(vemk_compress_file(NULL, "unused"), VEMK_CANNOT_OPEN_INPUT, "NULL input name");
        CHECK_RESULT(vemk_decompress_file(NULL, NULL), VEMK_CANNOT_OPEN_INPUT, "NULL input name");
        CHECK_RESULT(vemk_compress_file("/dev/null", NULL), VEMK_CANNOT_OPEN_OUTPUT, "NULL output name");
        CHECK_RESULT(vemk_decompress_file("/dev/null", NULL), VEMK_CANNOT_OPEN_OUTPUT, "NULL output name");
    }

    /* Messages: the command line's, and one for every other value. */
    CHECK(strcmp(vemk_message(VEMK_OK), "") == 0, "message");
    CHECK(strcmp(vemk_message(VEMK_CANNOT_OPEN_INPUT), "cannot open file") == 0, "message");
    CHECK(strcmp(vemk_message(VEMK_STREAM_CUT_SHORT), "damaged file: coded stream cut short") == 0, "message");
    CHECK(strcmp(vemk_message(VEMK_BAD_STREAM_END), "damaged file: bad coded stream") == 0, "message");
    CHECK(strcmp(vemk_message(VEMK_DESTINATION_TOO_SMALL), "") != 0, "message");
    CHECK(strcmp(vemk_message((vemk_result)99), "unknown result") == 0, "message");
    CHECK(strcmp(vemk_message((vemk_result)-1), "unknown result") == 0, "message");
    CHECK(strcmp(vemk_version(), VEMK_VERSION_STRING) == 0, "version");

    free(random_file);
    if (failures > 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("C interface: all checks passed\n");
    return 0;
}
