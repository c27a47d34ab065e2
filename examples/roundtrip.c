/* roundtrip FILE...: compresses each FILE in memory with the vemk library's
 * C interface, restores it and checks that the bytes come back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vemk.h>

/* The whole file, or NULL when it cannot be read. */
static unsigned char* read_file(const char* name, size_t* size) {
    FILE* f = fopen(name, "rb");
    unsigned char* bytes = NULL;
    size_t room = 0, got = 1;
    *size = 0;
    while (f != NULL && got > 0) {
        if (*size == room) {
            unsigned char* more = realloc(bytes, room = 2 * room + 65536);
            if (more == NULL) {
                break;
            }
            bytes = more;
        }
        got = fread(bytes + *size, 1, room - *size, f);
        *size += got;
    }
    if (f == NULL || got > 0 || ferror(f)) {
        free(bytes);
        bytes = NULL;
    }
    if (f != NULL) {
        fclose(f);
    }
    return bytes;
}

int main(int argc, char** argv) {
    printf("vemk %s\n", vemk_version());
    for (int i = 1; i < argc; ++i) {
        size_t size = 0, packed_size = 0, restored_size = 0, n = 0;
        unsigned char* bytes = read_file(argv[i], &size);
        unsigned char* packed = malloc(vemk_compress_bound(size));
        vemk_result r = !bytes    ? VEMK_READ_FAILED
                        : !packed ? VEMK_OUT_OF_MEMORY
                                  : vemk_compress(packed, vemk_compress_bound(size), bytes, size, &packed_size);
        if (r == VEMK_OK) {
            r = vemk_decompressed_size(packed, packed_size, &n);
        }
        unsigned char* restored = malloc(n + 1);
        if (r == VEMK_OK) {
            r = restored ? vemk_decompress(restored, n, packed, packed_size, &restored_size) : VEMK_OUT_OF_MEMORY;
        }
        if (r != VEMK_OK || restored_size != size || memcmp(restored, bytes, size) != 0) {
            fprintf(stderr, "%s: not restored: %s\n", argv[i], vemk_message(r));
            return 1;
        }
        printf("%s: %zu bytes -> %zu bytes, restored\n", argv[i], size, packed_size);
        free(bytes);
        free(packed);
        free(restored);
    }
    return 0;
}
