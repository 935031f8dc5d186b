// The worker's files, as PlatformWeb.cpp sees them through library.js: the
// Files and Blobs the page handed over, the folders the module made, and
// the outputs it is writing, each a list of parts (bytes it wrote, slices of
// inputs it copied) that becomes one Blob on commit. Nothing here reads a
// file whole: the module's reads stream the file into one buffer used again
// and again, the worker's own go through FileReaderSync, a slice at a time.
'use strict';

// The most one read takes; library.js asks for larger ones in pieces.
const LARGEST_READ = 32 << 20;

// Reads that go on where the last one ended stream the file, this much at
// a time. A stream's bytes come into a buffer of the worker's, which it
// hands back with them: reading a CD image so costs one buffer, where a
// slice read whole costs a new one each time (the collector frees them late,
// hundreds of MiB of them) and comes three times slower.
const STREAM_UNIT = 4 << 20;

// Any other read (a header, the sectors of one record, a patch's block
// check) reads this much as a slice of its own.
const NEAR_READ = 1 << 20;

// Outputs up to this size keep their bytes beside their Blob.
const KEPT_OUTPUT = 4 << 20;

class WebFiles {
    constructor() {
        this.files = new Map();     // path -> Blob
        this.memory = new Map();    // path -> its bytes, for a small file made here
        this.folders = new Set(['']);
        this.outputs = new Map();   // number -> parts
        this.next = 1;
        this.written = [];          // paths committed since the last clear
        this.cache = null;          // {blob, start, end, bytes}: the bytes last read
        this.stream = null;         // {blob, at, reader, buffer}: a file streamed from at on
        this.streams = true;        // whether Blob streams are read into buffers of ours
        this.onRead = null;         // (path, end, size) after each read
        this.cancelled = false;     // every read fails while set
        this.reader = typeof FileReaderSync === 'function' ? new FileReaderSync() : null;
    }

    static trim(path) { return path.endsWith('/') ? path.slice(0, -1) : path; }

    // bytes: the blob's own, when they are at hand.
    put(path, blob, bytes = null) {
        this.files.set(path, blob);
        if (bytes !== null) this.memory.set(path, bytes);
        else this.memory.delete(path);
    }

    link(from, to) { this.put(to, this.files.get(from), this.memory.get(from) || null); }

    get(path) { return this.files.get(path); }

    // Forgets everything in folder and below it; '' is the top, everything.
    clear(folder) {
        folder = WebFiles.trim(folder);
        const under = (path) => folder === '' || path === folder || path.startsWith(folder + '/');
        for (const path of [...this.files.keys()])
            if (under(path)) {
                this.files.delete(path);
                this.memory.delete(path);
            }
        for (const path of [...this.folders])
            if (path !== '' && under(path)) this.folders.delete(path);
        this.forget();
    }

    size(path) {
        if (this.folders.has(WebFiles.trim(path))) return -2;
        const blob = this.files.get(path);
        return blob === undefined ? -1 : blob.size;
    }

    // Bytes [begin, end) of blob at once, for the worker's own reads.
    slice(blob, begin, end) { return new Uint8Array(this.reader.readAsArrayBuffer(blob.slice(begin, end))); }

    forget() {
        this.cache = null;
        if (this.stream !== null) this.stream.reader.cancel().catch(() => {});
        this.stream = null;
    }

    // Bytes [offset, offset + n) of the file at path as the bytes last read
    // have them, or null when they are not all there. Valid until the next
    // read: the stream's buffer is read into again.
    cached(path, offset, n) {
        const m = this.memory.get(path);
        if (m !== undefined && !this.cancelled) return offset + n <= m.length ? m.subarray(offset, offset + n) : null;
        const c = this.cache;
        if (this.cancelled || c === null || c.blob !== this.files.get(path) || offset < c.start || offset + n > c.end) return null;
        this.report(path, offset + n, c.blob.size);
        return c.bytes.subarray(offset - c.start, offset - c.start + n);
    }

    // A Promise of bytes [offset, offset + n) of the file at path, n at most
    // LARGEST_READ, or of null for no such bytes or a file changed or gone
    // since it was picked; valid until the next read. A read that goes on
    // where the last one ended, or where the stream is, streams at least
    // STREAM_UNIT bytes; any other reads NEAR_READ bytes as a slice.
    async read(path, offset, n) {
        const blob = this.files.get(path);
        if (this.cancelled || blob === undefined || offset + n > blob.size || n > LARGEST_READ) return null;
        const hit = this.cached(path, offset, n);
        if (hit !== null) return hit;
        const c = this.cache;
        // What the bytes last read have of it, copied: they may be the
        // stream's buffer, which the read hands over.
        const head = c !== null && c.blob === blob && offset >= c.start && offset < c.end ? c.bytes.slice(offset - c.start) : null;
        const from = head !== null ? c.end : offset;
        const s = this.stream;
        const onward = (s !== null && s.blob === blob && s.at === from) || (c !== null && c.blob === blob && c.end === from);
        const unit = !onward ? NEAR_READ : this.streams ? STREAM_UNIT : LARGEST_READ;
        const size = Math.min(blob.size - from, Math.max(offset + n - from, unit));
        this.cache = null;
        const bytes = onward && this.streams ? await this.streamed(blob, from, size) : await this.sliced(blob, from, size);
        if (bytes === null) return null;
        this.cache = {blob, start: from, end: from + size, bytes};
        if (head === null) return this.cached(path, offset, n);
        const joined = new Uint8Array(n);
        joined.set(head);
        joined.set(bytes.subarray(0, n - head.length), head.length);
        this.report(path, offset + n, blob.size);
        return joined;
    }

    // size bytes of blob from start on, as a slice of their own; null when
    // they do not come.
    async sliced(blob, start, size) {
        try {
            const bytes = new Uint8Array(await blob.slice(start, start + size).arrayBuffer());
            return bytes.length === size ? bytes : null;
        } catch (e) {
            return null;
        }
    }

    // size bytes of blob from start on, through the stream, started there
    // unless it is there already; null when they do not come.
    async streamed(blob, start, size) {
        let s = this.stream;
        if (s === null || s.blob !== blob || s.at !== start) {
            this.forget();
            let reader;
            try {
                reader = blob.slice(start).stream().getReader({mode: 'byob'});
            } catch (e) {
                // A browser whose Blob streams are not byte streams: slices.
                this.streams = false;
                return this.sliced(blob, start, size);
            }
            s = this.stream = {blob, at: start, reader, buffer: new ArrayBuffer(STREAM_UNIT)};
        }
        let buffer = s.buffer.byteLength >= size ? s.buffer : new ArrayBuffer(size), got = 0;
        try {
            while (got < size) {
                const {value, done} = await s.reader.read(new Uint8Array(buffer, got, size - got));
                if (value !== undefined) buffer = value.buffer;
                if (done) break;
                got += value.byteLength;
            }
        } catch (e) {
            got = -1;
        }
        if (got !== size || this.stream !== s) {
            if (this.stream === s) this.forget();
            return null;
        }
        s.buffer = buffer;
        s.at += size;
        return new Uint8Array(buffer, 0, size);
    }

    report(path, end, size) {
        if (this.onRead) this.onRead(path, end, size);
    }

    open() {
        const id = this.next++;
        this.outputs.set(id, []);
        return id;
    }

    write(id, bytes) { this.outputs.get(id).push(bytes); }

    copy(id, path, offset, size) {
        const blob = this.files.get(path);
        if (blob === undefined || offset + size > blob.size) return false;
        this.outputs.get(id).push(blob.slice(offset, offset + size));
        return true;
    }

    // An output the module wrote whole and small keeps its bytes at hand:
    // a file of a folder of records is read again at once, to be zipped.
    commit(id, path) {
        const parts = this.outputs.get(id);
        let size = 0;
        for (const part of parts) size = part instanceof Uint8Array && size >= 0 ? size + part.length : -1;
        if (size >= 0 && size <= KEPT_OUTPUT) {
            const bytes = new Uint8Array(size);
            let at = 0;
            for (const part of parts) {
                bytes.set(part, at);
                at += part.length;
            }
            this.put(path, new Blob([bytes]), bytes);
        } else {
            this.put(path, new Blob(parts));
        }
        this.outputs.delete(id);
        this.written.push(path);
    }

    drop(id) { this.outputs.delete(id); }

    makeFolder(path) {
        path = WebFiles.trim(path);
        if (this.files.has(path)) return false;
        this.folders.add(path);
        return true;
    }

    // The names of the files directly in folder, or null for no folder.
    list(folder) {
        folder = WebFiles.trim(folder);
        if (!this.folders.has(folder)) return null;
        const prefix = folder + '/';
        const names = [];
        for (const path of this.files.keys())
            if (path.startsWith(prefix) && !path.includes('/', prefix.length)) names.push(path.slice(prefix.length));
        return names;
    }

    // The names of the folders directly in folder.
    foldersIn(folder) {
        const prefix = WebFiles.trim(folder) + '/';
        return [...this.folders].filter((path) => path.startsWith(prefix) && !path.includes('/', prefix.length))
            .map((path) => path.slice(prefix.length));
    }
}

if (typeof module !== 'undefined') module.exports = {WebFiles};
