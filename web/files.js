// The worker's files, as PlatformWeb.cpp sees them through library.js: the
// Files and Blobs the page handed over, the folders the module made, and
// the outputs it is writing, each a list of parts (bytes it wrote, slices of
// inputs it copied) that becomes one Blob on commit. Nothing here reads a
// file whole: the module's reads wait on slices read ahead, the worker's
// own go through FileReaderSync, a slice at a time.
'use strict';

// Reads are served from slices of this size, read a slice ahead while the
// module works on the last: a call into the browser's file machinery costs
// far more than copying, and a read in flight overlaps with the work. Two
// slices at a time: more only crowd the browser's file thread.
const READ_AHEAD = 32 << 20;

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
        this.cache = null;          // {blob, start, end, bytes}: the slice last read
        this.ahead = null;          // {blob, start, end, bytes: Promise}: the next one
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
        this.ahead = null;
    }

    // Bytes [offset, offset + n) of the file at path as the slice last read
    // has them, or null when they are not all there.
    cached(path, offset, n) {
        const m = this.memory.get(path);
        if (m !== undefined && !this.cancelled) return offset + n <= m.length ? m.subarray(offset, offset + n) : null;
        const c = this.cache;
        if (this.cancelled || c === null || c.blob !== this.files.get(path) || offset < c.start || offset + n > c.end) return null;
        this.report(path, offset + n, c.blob.size);
        return c.bytes.subarray(offset - c.start, offset - c.start + n);
    }

    // A Promise of bytes [offset, offset + n) of the file at path, n at most
    // READ_AHEAD, or of null for no such bytes or a file changed or gone
    // since it was picked. A read at the start of a file or one that goes on
    // past the slice last read starts reading the slice after its own.
    async read(path, offset, n) {
        const blob = this.files.get(path);
        if (this.cancelled || blob === undefined || offset + n > blob.size || n > READ_AHEAD) return null;
        const hit = this.cached(path, offset, n);
        if (hit !== null) return hit;
        const c = this.cache, a = this.ahead;
        // What the slice last read has of it, when it starts there.
        const head = c !== null && c.blob === blob && offset >= c.start && offset < c.end ? c.bytes.subarray(offset - c.start) : null;
        const from = head !== null ? c.end : offset;
        const onward = from === 0 || (c !== null && c.blob === blob && from === c.end);
        const next = a !== null && a.blob === blob && from >= a.start && offset + n <= a.end ? a : this.start(blob, from);
        this.forget();
        try {
            const bytes = new Uint8Array(await next.bytes);
            if (bytes.length !== next.end - next.start) return null;
            this.cache = {blob, start: next.start, end: next.end, bytes};
        } catch (e) {
            return null;
        }
        if ((onward || next === a) && next.end < blob.size) this.ahead = this.start(blob, next.end);
        if (head === null) return this.cached(path, offset, n);
        const bytes = new Uint8Array(n);
        bytes.set(head);
        bytes.set(this.cache.bytes.subarray(0, n - head.length), head.length);
        this.report(path, offset + n, blob.size);
        return bytes;
    }

    // The slice from start on, on its way.
    start(blob, start) {
        const end = Math.min(blob.size, start + READ_AHEAD);
        const bytes = blob.slice(start, end).arrayBuffer();
        bytes.catch(() => {}); // seen when awaited; one never awaited is no fault
        return {blob, start, end, bytes};
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
