// The worker's files, as PlatformWeb.cpp sees them through library.js: the
// Files and Blobs the page handed over, the folders the module made, and
// the outputs it is writing, each a list of parts (bytes it wrote, slices of
// inputs it copied) that becomes one Blob on commit. Nothing here reads a
// file whole: reads go through FileReaderSync a slice at a time.
'use strict';

// Small reads are served from one slice of this size read ahead: a call
// into the browser's file machinery costs far more than copying.
const READ_AHEAD = 8 << 20;

class WebFiles {
    constructor() {
        this.files = new Map();     // path -> Blob
        this.folders = new Set(['']);
        this.outputs = new Map();   // number -> parts
        this.next = 1;
        this.written = [];          // paths committed since the last clear
        this.cache = null;          // {blob, start, bytes}
        this.onRead = null;         // (path, end, size) after each read
        this.reader = typeof FileReaderSync === 'function' ? new FileReaderSync() : null;
    }

    static trim(path) { return path.endsWith('/') ? path.slice(0, -1) : path; }

    put(path, blob) { this.files.set(path, blob); }

    get(path) { return this.files.get(path); }

    // Forgets everything in folder and below it; '' is the top, everything.
    clear(folder) {
        folder = WebFiles.trim(folder);
        const under = (path) => folder === '' || path === folder || path.startsWith(folder + '/');
        for (const path of [...this.files.keys()])
            if (under(path)) this.files.delete(path);
        for (const path of [...this.folders])
            if (path !== '' && under(path)) this.folders.delete(path);
        this.cache = null;
    }

    size(path) {
        if (this.folders.has(WebFiles.trim(path))) return -2;
        const blob = this.files.get(path);
        return blob === undefined ? -1 : blob.size;
    }

    slice(blob, begin, end) { return new Uint8Array(this.reader.readAsArrayBuffer(blob.slice(begin, end))); }

    // Bytes [offset, offset + n) of the file at path, or null.
    read(path, offset, n) {
        const blob = this.files.get(path);
        if (blob === undefined || offset + n > blob.size) return null;
        let bytes;
        try {
            if (n >= READ_AHEAD) {
                bytes = this.slice(blob, offset, offset + n);
            } else {
                const c = this.cache;
                if (c === null || c.blob !== blob || offset < c.start || offset + n > c.start + c.bytes.length)
                    this.cache = {blob, start: offset, bytes: this.slice(blob, offset, Math.min(blob.size, offset + READ_AHEAD))};
                const at = offset - this.cache.start;
                bytes = this.cache.bytes.subarray(at, at + n);
            }
        } catch (e) {
            return null; // changed or gone since it was picked
        }
        if (this.onRead) this.onRead(path, offset + n, blob.size);
        return bytes.length === n ? bytes : null;
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

    commit(id, path) {
        this.files.set(path, new Blob(this.outputs.get(id)));
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
}

if (typeof module !== 'undefined') module.exports = {WebFiles};
