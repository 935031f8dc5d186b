// The calls PlatformWeb.cpp makes, handed on to the worker's files
// (files.js, self.exspackFiles). Pointers are unsigned: memory may grow
// past 2 GiB.
mergeInto(LibraryManager.library, {
    web_file_size: function (path) { return self.exspackFiles.size(UTF8ToString(path)); },
    // Most reads find their bytes among those read last and go on at once;
    // the others wait, the module's stack put aside (Asyncify), while the
    // browser reads, at most LARGEST_READ bytes (files.js) at a time. Every call
    // goes through handleSleep, which also ends the wait when the stack is
    // put back and the call made again.
    web_file_read: function (path, offset, to, n) {
        const files = self.exspackFiles, name = UTF8ToString(path);
        to >>>= 0;
        return Asyncify.handleSleep((wakeUp) => {
            const hit = files.cached(name, offset, n);
            if (hit !== null) {
                HEAPU8.set(hit, to);
                wakeUp(1);
                return;
            }
            (async () => {
                for (let done = 0; done < n;) {
                    const k = Math.min(LARGEST_READ, n - done);
                    const bytes = await files.read(name, offset + done, k);
                    if (bytes === null) return 0;
                    HEAPU8.set(bytes, to + done); // the heap as it is now: memory may have grown
                    done += k;
                }
                return 1;
            })().then(wakeUp, () => wakeUp(0));
        });
    },
    web_output_open: function () { return self.exspackFiles.open(); },
    web_output_write: function (output, data, size) {
        self.exspackFiles.write(output, HEAPU8.slice(data >>> 0, (data >>> 0) + size));
    },
    web_output_copy: function (output, path, offset, size) {
        return self.exspackFiles.copy(output, UTF8ToString(path), offset, size) ? 1 : 0;
    },
    web_output_commit: function (output, path) { self.exspackFiles.commit(output, UTF8ToString(path)); },
    web_output_drop: function (output) { self.exspackFiles.drop(output); },
    web_make_folder: function (path) { return self.exspackFiles.makeFolder(UTF8ToString(path)) ? 1 : 0; },
    web_link: function (from, to) {
        self.exspackFiles.link(UTF8ToString(from), UTF8ToString(to));
    },
    web_clear_folder: function (path) { self.exspackFiles.clear(UTF8ToString(path)); },
    web_list_folder__deps: ['malloc'],
    // The names of the folder's files, then those of its folders.
    web_list_folder: function (path) {
        const files = self.exspackFiles, folder = UTF8ToString(path);
        const names = files.list(folder);
        if (names === null) return 0;
        const line = (list) => list.map((name) => name + '\0').join('') + '\0';
        const text = line(names) + line(files.foldersIn(folder));
        const size = lengthBytesUTF8(text) + 1;
        const list = _malloc(size);
        stringToUTF8(text, list, size);
        return list;
    },
});
