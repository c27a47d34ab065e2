/* The C interface as a C program meets it: round trips into buffers of
 * exactly the right size and one byte too small, the size from the head,
 * the bound, every kind of damage and NULL pointers. Compiled as C11. */
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

int main(void) {
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
        }
        /* A real file cut anywhere in its stream is refused, never short. */
        for (size_t cut = 516; cut + 1 < random_size; cut += 97) {
            unsigned char big[1000];
            size_t out_size = 1;
            CHECK_RESULT(vemk_decompress(big, sizeof big, random_file, cut, &out_size), VEMK_STREAM_CUT_SHORT,
                         "cut random");
        }
    }

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
