/* vemk: compress and restore whole byte buffers and whole files, and restore
 * as a stream, from C or any language that can call C.
 *
 * Each buffer or file is coded with one static order-0 model (256 byte
 * frequencies scaled below 65536) and a carry-propagating range coder; the
 * compressed form is the same file that the `vemk` command writes:
 *
 *   offset 0    4 bytes    uncompressed length n, signed, little-endian
 *   offset 4    512 bytes  frequency of byte values 0..255, 16-bit LE each
 *   offset 516  the rest   coded stream
 *
 * What every function here guarantees:
 *  - It never exits the process, never writes to the console and never lets
 *    an exception out: every failure comes back as a vemk_result, and
 *    vemk_message() gives the text that the command line prints for it.
 *  - Any input at all, however damaged or hostile, is safe to restore: no
 *    read outside a buffer, no write outside the destination's capacity, no
 *    division by zero, no endless loop. Damage that the format can show is
 *    refused (see vemk_result); the format has no checksum, so damage that
 *    still forms valid coding intervals restores to wrong bytes without
 *    notice.
 *  - On success the output is exact: compressing gives the bytes that the
 *    format defines for the input, restoring gives back what was
 *    compressed, byte for byte.
 *  - It keeps no state between calls but a vemk_dstream's own: separate
 *    calls may run at the same time on different threads, as long as no
 *    buffer or stream that one of them writes is used by another at the
 *    same time.
 *
 * Pointers: a NULL buffer with a size of 0 is an empty buffer. A NULL
 * source with a size above 0 cannot be read (VEMK_READ_FAILED); a NULL
 * destination has no room whatever capacity is given with it. A NULL
 * pointer for a result size (dst_size, n) is allowed: nothing is stored
 * there. Source and destination must not overlap.
 *
 * The C++ interface vemk/vemk.h offers the same operations with buffers
 * that the library allocates.
 */
#ifndef VEMK_H
#define VEMK_H

#include <stddef.h>

/* The version of this header; vemk_version() gives the library's own. */
#define VEMK_VERSION_MAJOR 0
#define VEMK_VERSION_MINOR 2
#define VEMK_VERSION_PATCH 0
#define VEMK_VERSION_STRING "0.2.0"
/* One number that grows with every release: 10000 * major + 100 * minor + patch. */
#define VEMK_VERSION_NUMBER (VEMK_VERSION_MAJOR * 10000 + VEMK_VERSION_MINOR * 100 + VEMK_VERSION_PATCH)

/* VEMK_API marks what the shared library exports; everything else in it is
 * hidden. A program that links the static archive on Windows defines
 * VEMK_STATIC (the CMake target vemk::vemk does so); elsewhere it makes no
 * difference to callers. VEMK_BUILDING_SHARED is for the library's own
 * build only. */
#if defined(_WIN32) && defined(VEMK_BUILDING_SHARED)
#define VEMK_API __declspec(dllexport)
#elif defined(VEMK_STATIC) && !defined(VEMK_BUILDING_SHARED)
#define VEMK_API
#elif defined(_WIN32)
#define VEMK_API __declspec(dllimport)
#elif defined(__GNUC__) || defined(__clang__)
#define VEMK_API __attribute__((visibility("default")))
#else
#define VEMK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum vemk_result {
    /* Success. */
    VEMK_OK = 0,
    /* The input file cannot be opened for reading (missing, no permission,
     * a directory, being written by another run, or a NULL name). */
    VEMK_CANNOT_OPEN_INPUT = 1,
    /* The output file cannot be opened for writing (no permission, a
     * directory, the input itself by any name, being written by another
     * run, or a NULL name); it is left as it was. */
    VEMK_CANNOT_OPEN_OUTPUT = 2,
    /* The input could not be read to its end: an I/O error part-way, or a
     * NULL source buffer with a size above 0. */
    VEMK_READ_FAILED = 3,
    /* The input holds 2^31 bytes or more: the length field cannot say so. */
    VEMK_INPUT_TOO_LARGE = 4,
    /* Memory for the input, the coded stream or the output cannot be had. */
    VEMK_OUT_OF_MEMORY = 5,
    /* Writing or closing the output file failed; it has been emptied. */
    VEMK_WRITE_FAILED = 6,
    /* Damaged head: the uncompressed length is below 0. */
    VEMK_NEGATIVE_LENGTH = 7,
    /* Damaged head: the frequencies of a non-empty file sum to 0 or to more
     * than 65536, so no coding interval can be rebuilt from them. */
    VEMK_BAD_TABLE = 8,
    /* Damaged stream: a decoded target lies outside the table's total. */
    VEMK_TARGET_OUTSIDE_TABLE = 9,
    /* The coded stream ends before its last symbol: the file was cut short. */
    VEMK_STREAM_CUT_SHORT = 10,
    /* The destination's capacity is smaller than the output. Nothing is
     * promised about what the destination then holds. */
    VEMK_DESTINATION_TOO_SMALL = 11,
    /* Damaged stream: after the last symbol the coded value is not the low
     * end of the coding interval, where every stream the encoder writes
     * ends. */
    VEMK_BAD_STREAM_END = 12
} vemk_result;

/* The largest compressed size of any n input bytes: 516 + 4 + 2 * n. 0 when
 * n cannot be compressed (above 2^31 - 1) or the size does not fit in a
 * size_t. A destination of this capacity never gives
 * VEMK_DESTINATION_TOO_SMALL. */
VEMK_API size_t vemk_compress_bound(size_t n);

/* Compresses the src_size bytes at src into a whole compressed file at dst,
 * which has room for dst_capacity bytes; *dst_size is then its size (0 after
 * a failure). Fails with VEMK_INPUT_TOO_LARGE, VEMK_OUT_OF_MEMORY,
 * VEMK_DESTINATION_TOO_SMALL, or VEMK_READ_FAILED for a NULL src. */
VEMK_API vemk_result vemk_compress(void* dst, size_t dst_capacity, const void* src, size_t src_size,
                                   size_t* dst_size);

/* vemk_compress with the number of threads that the encoder may use; 0 and
 * 1 both mean one thread, which is what vemk_compress uses. */
VEMK_API vemk_result vemk_compress_threads(void* dst, size_t dst_capacity, const void* src, size_t src_size,
                                           size_t* dst_size, unsigned threads);

/* The uncompressed length that the head of the compressed file at src
 * announces, from the head alone: nothing is decoded and the table is not
 * checked. A buffer shorter than 4 bytes reads as if padded with zeros.
 * Fails with VEMK_NEGATIVE_LENGTH, or VEMK_READ_FAILED for a NULL src; *n
 * is then 0. */
VEMK_API vemk_result vemk_decompressed_size(const void* src, size_t src_size, size_t* n);

/* Restores the bytes of the whole compressed file at src into dst, which has
 * room for dst_capacity bytes; *dst_size is then the announced length n (0
 * after a failure). Bytes after the coded stream are ignored; a buffer
 * shorter than its head reads as if padded with zeros. The head is checked
 * first (VEMK_NEGATIVE_LENGTH, VEMK_BAD_TABLE), then the room: n above
 * dst_capacity gives VEMK_DESTINATION_TOO_SMALL before anything is decoded.
 * Damage found while decoding gives VEMK_TARGET_OUTSIDE_TABLE,
 * VEMK_STREAM_CUT_SHORT or VEMK_BAD_STREAM_END. */
VEMK_API vemk_result vemk_decompress(void* dst, size_t dst_capacity, const void* src, size_t src_size,
                                     size_t* dst_size);

/* The same for files by name, with the command line's rules: the input is
 * read to its end whatever kind of file it is, the output is created or
 * truncated, sharing is refused through advisory locks, and on any failure
 * after the output was opened it is left empty. A NULL input name gives
 * VEMK_CANNOT_OPEN_INPUT, a NULL output name VEMK_CANNOT_OPEN_OUTPUT. */
VEMK_API vemk_result vemk_compress_file(const char* input_name, const char* output_name);
VEMK_API vemk_result vemk_decompress_file(const char* input_name, const char* output_name);

/* Restoring as a stream: the compressed file taken in pieces of any size,
 * the restored bytes handed out as they come, in memory that does not grow
 * with the file (the head, the decoding tables and the decoder's state:
 * about 20 KiB, never more than 1 MiB). The stream buffers neither its
 * input nor its output: it takes only the bytes that it decodes, and keeps
 * at most four of them between calls. One stream restores one file; it may
 * move between threads but must not be used by two at the same time.
 *
 * The results are those of vemk_decompress for the same bytes, whole,
 * damaged, cut short, shorter than the head (read as padded with zeros) or
 * with bytes appended; VEMK_DESTINATION_TOO_SMALL never comes while
 * decoding, as the output goes out in pieces. Damage is reported by the
 * first call whose bytes and room reach it (a cut only by
 * vemk_dstream_end), and from then on every call on the stream gives the
 * same result. The format has no checksum and damage shows only where it
 * is met: bytes handed out before a failure are not to be trusted, and are
 * the caller's to discard.
 */
typedef struct vemk_dstream vemk_dstream;

/* A new stream, ready for the first byte of a compressed file; NULL when
 * out of memory. */
VEMK_API vemk_dstream* vemk_dstream_new(void);

/* Frees a stream and everything it holds. NULL is allowed. */
VEMK_API void vemk_dstream_free(vemk_dstream* ds);

/* Takes up to src_size more bytes of the compressed file from src and writes
 * restored bytes into dst (room for dst_capacity), as many of each as it
 * can; *src_used and *dst_written say how many (either may be 0). Bytes not
 * taken are to be given again, first, in the next call. Given both bytes
 * and room, a stream that has not ended takes or writes at least one byte.
 * Every byte that the bytes taken can restore is written before the call
 * returns, as far as there is room; a call that fills dst may leave some
 * waiting, so once the input is all given, call again with none until a
 * call leaves room in dst, then call vemk_dstream_end.
 *
 * VEMK_OK while no damage is known; *done becomes 1 once the last byte of
 * the file has been written and the stream found whole, and from then on no
 * more input is taken: bytes after the coded stream are left in src, and
 * *src_used counts the file's bytes alone (for an empty file, up to the end
 * of the head, as its coded stream is never looked at).
 * A NULL src with a size above 0 gives VEMK_READ_FAILED, a NULL dst has no
 * room, a NULL ds gives VEMK_OUT_OF_MEMORY (a failed vemk_dstream_new), and
 * NULL is allowed for dst_written, src_used and done. */
VEMK_API vemk_result vemk_dstream_decode(vemk_dstream* ds, void* dst, size_t dst_capacity, size_t* dst_written,
                                         const void* src, size_t src_size, size_t* src_used, int* done);

/* The input has ended. VEMK_OK if the file was restored whole; otherwise
 * what vemk_decompress gives for the bytes taken (VEMK_STREAM_CUT_SHORT for
 * a file that ends early, or the damage already reported), or
 * VEMK_DESTINATION_TOO_SMALL if they restore the whole file but not all of
 * it was written for want of room. The stream keeps that result for every
 * later call. A NULL ds gives VEMK_OUT_OF_MEMORY. */
VEMK_API vemk_result vemk_dstream_end(vemk_dstream* ds);

/* The message that the command line prints for r: "" for VEMK_OK, a text
 * of its own for VEMK_DESTINATION_TOO_SMALL and for values that are not a
 * vemk_result. Never NULL; the text is static. */
VEMK_API const char* vemk_message(vemk_result r);

/* The library's version, "major.minor.patch": with the shared library, the
 * one loaded at run time, which may be newer than VEMK_VERSION_STRING. */
VEMK_API const char* vemk_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VEMK_H */
