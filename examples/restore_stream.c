/* restore_stream < FILE.vemk > FILE: restores a compressed file from standard
 * input to standard output as it arrives, through two 64 KiB buffers, with
 * the vemk library's stream: memory does not grow with the file. */
#include <stdio.h>
#include <vemk.h>

int main(void) {
    static unsigned char in[1 << 16], out[1 << 16];
    vemk_dstream* ds = vemk_dstream_new(); /* NULL makes every call fail: out of memory */
    size_t have = 0, at = 0, written = sizeof out;
    int done = 0;
    vemk_result r = VEMK_OK;
    while (r == VEMK_OK && !done) {
        if (at == have) {
            at = 0;
            have = fread(in, 1, sizeof in, stdin);
            /* The input has ended, and no restored bytes wait for room. */
            if (have == 0 && written < sizeof out) {
                r = ferror(stdin) ? VEMK_READ_FAILED : vemk_dstream_end(ds);
                break;
            }
        }
        size_t used = 0;
        r = vemk_dstream_decode(ds, out, sizeof out, &written, in + at, have - at, &used, &done);
        at += used;
        if (fwrite(out, 1, written, stdout) != written) {
            r = VEMK_WRITE_FAILED;
        }
    }
    vemk_dstream_free(ds);
    if (fflush(stdout) != 0 && r == VEMK_OK) {
        r = VEMK_WRITE_FAILED;
    }
    /* The bytes written before damage was found are not to be trusted. */
    if (r != VEMK_OK) {
        fprintf(stderr, "restore_stream: %s\n", vemk_message(r));
        return 1;
    }
    return 0;
}
