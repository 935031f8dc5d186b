/*
 * LZSS codec for Vesperhall [PSX] data records.
 *
 * A stream is a run of groups: one flag byte, then up to eight items, bit 0
 * of the flag byte describing the first item. A set bit is a literal byte; a
 * clear bit is a two-byte reference b0 b1 with window field
 * b0 | (b1 & 0x0F) << 8 and length (b1 >> 4) + 2. The field names the source
 * by its place in an aligned 4096-byte block of the output, plus one; a field
 * of 0 ends the stream.
 *
 * The codec allocates nothing: every buffer belongs to the caller. It keeps
 * module state (flag state, writer state, the encoder's position queues), so
 * no two calls may run at the same time. Sizes are 64-bit; UINT64_MAX is the
 * failure value of every function that returns a size.
 */
#ifndef EXSPACK_LZSS_H
#define EXSPACK_LZSS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Validates the stream at src and measures it, reading only src[0] up to
 * src[srcsize - 1] and never a literal's value.
 * Returns the decoded size and stores in *consumed the number of stream bytes
 * up to and including the terminator. Returns UINT64_MAX and leaves *consumed
 * untouched when the stream is cut short or holds a reference to a position
 * that is not yet decoded (a reference to the byte being written also prints
 * "(dpos & 0x0FFF) == offset" on standard output).
 */
uint64_t LZSS_GetDecompressedSize(const uint8_t *src, uint64_t srcsize, uint64_t *consumed);

/*
 * Bytes of work memory that LZSS_ScanStreams needs for count streams, of any
 * alignment: about 33 KiB for each of up to 18 groups being scanned at once
 * and 32 bytes for each of up to 147456 classes of streams, fewer for few
 * streams.
 */
uint64_t LZSS_GetScanStreamsWorkSize(uint64_t count);

/*
 * LZSS_GetDecompressedSize for many streams of one buffer at once: the
 * streams that start at src + starts[0] up to src + starts[count - 1], each
 * running at most to src[srcsize - 1]. starts must be ascending (equal
 * values allowed), none above srcsize. For each i, sizes[i] is
 *   LZSS_GetDecompressedSize(src + starts[i], srcsize - starts[i], &c)
 * and consumed[i] is c when that succeeds, 0 when it fails (sizes[i] then
 * UINT64_MAX). Reads only src[starts[0]] up to src[srcsize - 1], never a
 * literal's value; work must hold LZSS_GetScanStreamsWorkSize(count) bytes,
 * all of which it may overwrite.
 *
 * Where two scans reach the same group, they read the same items from there
 * on and differ only in the number of bytes decoded, so they go on as one:
 * every group is read at most once, and the cost is linear in srcsize plus
 * count times log2(count) at worst, whatever the bytes. With steps not NULL,
 * *steps receives the work done: groups read plus classes of streams moved
 * when two scans met, at most srcsize - starts[0] + 1 + count * (log2(count)
 * + 2).
 *
 * Prints nothing (unlike LZSS_GetDecompressedSize on a reference to the
 * byte being written) and uses no module state, so it may run beside any
 * other codec call.
 */
void LZSS_ScanStreams(const uint8_t *src, uint64_t srcsize, const uint64_t *starts, uint64_t count, uint64_t *sizes,
                      uint64_t *consumed, void *work, uint64_t *steps);

/*
 * Bytes of work memory that LZSS_ScanChain needs, whatever the input: about
 * 33 KiB for each of up to 18 groups being scanned at once and 56 bytes for
 * each of up to 147456 classes of streams, 8.5 MiB in all, of which it
 * touches only what the streams under way at once need (a few KiB on most
 * data).
 */
uint64_t LZSS_GetScanChainWorkSize(void);

/* The next starts, and a stream chosen (see LZSS_ScanChain). */
typedef uint64_t (*LZSS_NextStarts)(void *context, uint64_t *starts, uint64_t room);
typedef void (*LZSS_Chosen)(void *context, uint64_t index, uint64_t start, uint64_t consumed, uint64_t size);

/*
 * The streams that a search one start after another picks, in one sweep:
 * of the streams at the starts that next gives, each running at most to
 * src[srcsize - 1], the first that LZSS_GetDecompressedSize accepts, then
 * the first accepted among those that start gap bytes or more behind its end
 * (start >= its start + consumed + gap), and so on. next(context, starts,
 * room) writes the next starts into starts[0 .. room - 1] (room is 256) and
 * returns how many, 0 when none are left, after which it is not called
 * again; the starts it gives from first to last ascend (equal values
 * allowed), none above srcsize. The sweep asks for more only when it has
 * reached the last start given, so next may find them as the sweep goes.
 *
 * The chain is told as it is found: chosen(context, k, start, consumed, size)
 * says that stream k of the chain (counted from 0) is the one at start, with
 * LZSS_GetDecompressedSize's result size and consumed, and that none follows
 * it for now. A later call may replace it and those after it (a stream that
 * began earlier, which was still under way, holds after all), so k never
 * exceeds the last k told plus 1. On return the chain is stream 0 up to the
 * last k told, each as last told.
 *
 * Reads only src[first start] up to src[srcsize - 1], never a literal's
 * value; work must hold LZSS_GetScanChainWorkSize() bytes of any alignment,
 * all of which it may overwrite. It holds nothing for a start besides the
 * streams under way, so its memory does not grow with the input, and the
 * cost is that of LZSS_ScanStreams on the same starts at most: with steps
 * not NULL, *steps receives the work done, within the same bound. Prints
 * nothing and uses no module state.
 */
void LZSS_ScanChain(const uint8_t *src, uint64_t srcsize, uint64_t gap, LZSS_NextStarts next, LZSS_Chosen chosen,
                    void *context, void *work, uint64_t *steps);

/*
 * Decodes the stream at src into dst. Checks nothing: call it only on a
 * stream that LZSS_GetDecompressedSize accepted, with dst holding at least the
 * size it returned. Reads exactly the consumed bytes of src and writes
 * exactly dst[0] up to dst[size - 1].
 */
void LZSS_Decompress(const uint8_t *src, uint8_t *dst);

/*
 * Worst-case stream size for size input bytes: size / 8 + size + 3. Every
 * encoder's output fits in a buffer of this size.
 */
uint64_t LZSS_GetCompressedMaxSize(uint64_t size);

/*
 * Greedy encoder: at each position the longest match of 2 to 17 bytes at a
 * distance of 1 to 4094, the nearest among equally long ones. Candidates come
 * from one queue of recent positions per byte value.
 * dst must hold LZSS_GetCompressedMaxSize(srcsize) bytes; srcsize may be 0.
 * Returns the stream size (3 at least, never above the bound); nothing is
 * written beyond it. Never fails on any input.
 */
uint64_t LZSS_CompressSimpleFast(const uint8_t *src, uint64_t srcsize, uint8_t *dst);

/*
 * The same encoder without an index: it tries every distance at every
 * position. Writes byte for byte the stream LZSS_CompressSimpleFast writes,
 * much more slowly on data with few repeats. Contract as above.
 */
uint64_t LZSS_CompressSimple(const uint8_t *src, uint64_t len, uint8_t *dst);

/*
 * Scratch bytes that LZSS_CompressOptimal needs for size input bytes:
 * 4 * size + 1 plus 983104 (two match indexes). UINT64_MAX when that does not
 * fit in 64 bits.
 */
uint64_t LZSS_GetOptimalWorkSize(uint64_t size);

/*
 * Optimal-parse encoder: writes the smallest stream the format allows, under
 * the same limits as the greedy encoders (distances 1 to 4094, never a source
 * whose low 12 bits are 0xFFF, lengths 2 to 17), so never a larger one than
 * LZSS_CompressSimpleFast. It finds the longest match at every position and
 * takes the parse with the fewest bits, 9 per literal and 17 per reference,
 * which is the fewest bytes. The same input gives the same stream.
 * dst must hold LZSS_GetCompressedMaxSize(srcsize) bytes; work must hold
 * LZSS_GetOptimalWorkSize(srcsize) bytes of any alignment, all of which it
 * may overwrite; srcsize may be 0. Returns the stream size (3 at least, never
 * above the bound); nothing is written in dst beyond it. Never fails on any
 * input.
 * From 64 KiB of input on it searches the second half on a thread that it
 * starts and joins before it returns (or itself, when no thread can be
 * started); the stream is the same either way. That thread touches only src
 * and work; the writer state is shared with the other functions as usual.
 */
uint64_t LZSS_CompressOptimal(const uint8_t *src, uint64_t srcsize, uint8_t *dst, void *work);

/*
 * Optimal-parse encoder with a size to meet: writes a stream of exactly
 * target bytes that decodes to src, for putting an edited record back into
 * the room of the one it replaces. It starts from LZSS_CompressOptimal's
 * parse and spends bits on it, shortening references by bytes that follow
 * as literals, turning references of 2 bytes into literals and splitting
 * references in two, under the same limits as the other encoders. With
 * target equal to the size LZSS_CompressOptimal writes, the stream is that
 * one. The same input and target always give the same stream.
 * dst must hold target bytes; work must hold LZSS_GetOptimalWorkSize(srcsize)
 * bytes of any alignment, all of which it may overwrite; srcsize may be 0.
 * Returns target, with nothing written in dst beyond it. Returns UINT64_MAX
 * and writes nothing in dst when target is below the optimal size, above the
 * all-literal size LZSS_GetCompressedMaxSize(srcsize), or one of the few
 * sizes that these steps do not reach, all of them 1 or 2 bytes above the
 * optimal size. Threads as LZSS_CompressOptimal.
 */
uint64_t LZSS_CompressFitted(const uint8_t *src, uint64_t srcsize, uint64_t target, uint8_t *dst, void *work);

/*
 * LZSS_CompressFitted without making the optimal parse again: work must hold
 * the parse that the last LZSS_CompressOptimal call on the same src and
 * srcsize left in it, unchanged since. Same stream, result and failure value
 * as LZSS_CompressFitted with that target. On success it spends the parse:
 * call it once after each LZSS_CompressOptimal. On failure the parse stays as
 * it was, and a call with another target may follow.
 */
uint64_t LZSS_CompressFittedFromParse(const uint8_t *src, uint64_t srcsize, uint64_t target, uint8_t *dst,
                                      void *work);

/*
 * Empties the position queues. LZSS_CompressSimpleFast does this itself on
 * every call; callers never need to.
 */
void InitOffsetQueue(void);

#ifdef __cplusplus
}
#endif

#endif
