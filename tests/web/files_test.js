// The worker's reads (web/files.js) under Node.js, against the bytes they
// read: scans as the module makes them, jumps, reads across the bytes last
// read, files that change under the reader, cancelling; and how many
// slices and streams each pattern costs, since a read that costs a whole
// slice or a new stream where it need not is what made the page slow.
//
//     node files_test.js FILES_JS
'use strict';
const assert = require('assert');

// Skips, saying why; in CI, which installs a Node.js that has them, fails.
if (typeof Blob === 'undefined' || typeof ReadableStreamBYOBReader === 'undefined') {
    console.log('reads not tested: this Node.js has no Blob byte streams');
    process.exit(process.env.CI === 'true' ? 1 : 77);
}
const {WebFiles} = require(process.argv[2]);

const MIB = 1 << 20;
const SECTORS = 128 * 2352; // what the module reads of a raw image at a time

// Bytes that differ at every offset a test could confuse with another.
function source(size, seed = 1) {
    const bytes = new Uint8Array(size);
    let x = seed;
    for (let i = 0; i < size; i++) {
        x = (x * 1103515245 + 12345) >>> 0;
        bytes[i] = x >>> 24;
    }
    return bytes;
}

// A Blob that logs what is asked of it: ['slice', begin, end] for a slice
// read whole, ['stream', begin] for a stream. `fail(begin)` may return an
// Error to end a stream with after its first chunk, as a file changed on
// disc does.
class Logged {
    constructor(bytes, log, fail = () => null) {
        Object.assign(this, {blob: new Blob([bytes]), size: bytes.length, log, fail});
    }

    slice(begin, end = this.size) {
        const part = this.blob.slice(begin, end), log = this.log, error = this.fail(begin);
        return {
            size: part.size,
            arrayBuffer: () => (log.push(['slice', begin, end]), part.arrayBuffer()),
            stream: () => {
                log.push(['stream', begin]);
                if (error === null) return part.stream();
                let sent = false;
                return new ReadableStream({
                    type: 'bytes',
                    pull(controller) {
                        if (sent) return controller.error(error);
                        sent = true;
                        controller.enqueue(new Uint8Array(part.size > 4096 ? 4096 : part.size));
                    },
                });
            },
        };
    }
}

// Reads as library.js makes them: the result is copied at once.
async function read(files, path, offset, n) {
    const hit = files.cached(path, offset, n);
    const bytes = hit !== null ? hit : await files.read(path, offset, n);
    return bytes === null ? null : bytes.slice();
}

function setUp(size, fail) {
    const bytes = source(size), log = [], files = new WebFiles();
    files.put('disc.bin', new Logged(bytes, log, fail));
    return {bytes, log, files};
}

const count = (log, kind) => log.filter((entry) => entry[0] === kind).length;

const tests = {
    // The header first, then the whole file in the module's chunks, then
    // the sectors of one record and a patch's block check: every byte as
    // the file has it, one stream for the scan, and small slices for the
    // rest.
    async scan() {
        const size = 13 * MIB + 12345, {bytes, log, files} = setUp(size);
        assert.deepStrictEqual(await read(files, 'disc.bin', 0, 8), bytes.subarray(0, 8));
        for (let at = 0; at < size; at += SECTORS) {
            const n = Math.min(SECTORS, size - at);
            assert.deepStrictEqual(await read(files, 'disc.bin', at, n), bytes.subarray(at, at + n), 'at ' + at);
        }
        assert.strictEqual(count(log, 'stream'), 1, JSON.stringify(log));
        assert.deepStrictEqual(log[0], ['slice', 0, MIB]);
        log.length = 0;
        for (const [at, n] of [[6 * MIB + 24, 84672], [37664, 1024], [6 * MIB + 24, 84672]])
            assert.deepStrictEqual(await read(files, 'disc.bin', at, n), bytes.subarray(at, at + n));
        assert.deepStrictEqual(log.map((entry) => entry[0]), ['slice', 'slice', 'slice']);
        for (const [, begin, end] of log) assert.ok(end - begin <= MIB, JSON.stringify(log));
    },

    // Reads of every size at offsets of every kind, the same plan each
    // run: each read equals the file's bytes, including those that begin in
    // the bytes last read and go on past them into the stream's next.
    async anyReads() {
        const size = 9 * MIB + 777, {bytes, files} = setUp(size);
        let x = 7;
        const next = (n) => (x = (x * 1103515245 + 12345) >>> 0) % n;
        let at = 0;
        for (let i = 0; i < 3000; i++) {
            const pick = next(10);
            if (pick < 5) at = at; // go on where the last ended
            else if (pick < 7) at = next(size);
            else if (pick < 9) at = Math.max(0, at - next(SECTORS));
            else at = size - 1 - next(1000);
            const n = Math.min(size - at, [1, 16, 2352, SECTORS, 3 * MIB, 32 * MIB][next(6)]);
            assert.deepStrictEqual(await read(files, 'disc.bin', at, n), bytes.subarray(at, at + n), `read ${i}: ${n} at ${at}`);
            at += n;
            if (at >= size) at = 0;
        }
    },

    // A read the file cannot give is null, and so is every read once the
    // request is cancelled; forgetting lets the next read start afresh.
    async refusals() {
        const {bytes, files} = setUp(3 * MIB);
        assert.strictEqual(await files.read('disc.bin', 3 * MIB - 4, 8), null);
        assert.strictEqual(await files.read('other.bin', 0, 8), null);
        assert.strictEqual(await files.read('disc.bin', 0, 33 * MIB), null);
        assert.deepStrictEqual(await read(files, 'disc.bin', 0, MIB), bytes.subarray(0, MIB));
        files.cancelled = true;
        assert.strictEqual(files.cached('disc.bin', 0, 8), null);
        assert.strictEqual(await files.read('disc.bin', MIB, 8), null);
        files.cancelled = false;
        files.forget();
        assert.deepStrictEqual(await read(files, 'disc.bin', MIB, 8), bytes.subarray(MIB, MIB + 8));
    },

    // A file that changes while it is streamed: the read is null, never
    // bytes of the change, and the next read reads afresh.
    async changedFile() {
        let failing = true;
        const {bytes, log, files} = setUp(12 * MIB, (begin) => failing && begin > 0 ? new Error('changed') : null);
        assert.deepStrictEqual(await read(files, 'disc.bin', 0, MIB), bytes.subarray(0, MIB));
        assert.strictEqual(await files.read('disc.bin', MIB, SECTORS), null);
        failing = false;
        assert.deepStrictEqual(await read(files, 'disc.bin', MIB, SECTORS), bytes.subarray(MIB, MIB + SECTORS));
        assert.deepStrictEqual(log.slice(-2), [['stream', MIB], ['slice', MIB, 2 * MIB]]);
    },

    // A browser whose Blob streams are not byte streams reads slices.
    async noByteStreams() {
        const {bytes, log, files} = setUp(5 * MIB);
        const blob = files.get('disc.bin'), slice = blob.slice.bind(blob);
        blob.slice = (begin, end) => Object.assign(slice(begin, end), {stream: () => new ReadableStream()});
        for (let at = 0; at < 5 * MIB; at += SECTORS) {
            const n = Math.min(SECTORS, 5 * MIB - at);
            assert.deepStrictEqual(await read(files, 'disc.bin', at, n), bytes.subarray(at, at + n));
        }
        assert.deepStrictEqual(log, [['slice', 0, MIB], ['slice', MIB, 5 * MIB]]);
    },
};

(async () => {
    let failed = 0;
    for (const [name, test] of Object.entries(tests)) {
        try {
            await test();
            console.log('ok', name);
        } catch (error) {
            failed++;
            console.log('FAILED', name + ':', error.message.slice(0, 400));
        }
    }
    process.exit(failed ? 1 : 0);
})();
