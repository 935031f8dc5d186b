// The calls PlatformWeb.cpp makes, handed on to the worker's files
// (files.js, self.exspackFiles). Pointers are unsigned: memory may grow
// past 2 GiB.
mergeInto(LibraryManager.library, {
    web_file_size: function (path) { return self.exspackFiles.size(UTF8ToString(path)); },
    web_file_read: function (path, offset, to, n) {
        const bytes = self.exspackFiles.read(UTF8ToString(path), offset, n);
        if (bytes === null) return 0;
        HEAPU8.set(bytes, to >>> 0);
        return 1;
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
    web_list_folder__deps: ['malloc'],
    web_list_folder: function (path) {
        const names = self.exspackFiles.list(UTF8ToString(path));
        if (names === null) return 0;
        const text = names.map((name) => name + '\0').join('') + '\0';
        const size = lengthBytesUTF8(text) + 1;
        const list = _malloc(size);
        stringToUTF8(text, list, size);
        return list;
    },
});
