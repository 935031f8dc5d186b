// The worker: owns the WebAssembly module and does all the work, so that the
// page stays responsive. The build puts fflate, files.js and the module
// (createExspack) in front of this file. A request is {id, op, ...}; the
// answer is {id, result} or {id, error}, with {id, progress} meanwhile.
'use strict';

self.exspackFiles = new WebFiles();
const files = self.exspackFiles;
const ready = createExspack({print: () => {}, printErr: () => {}});

// A steady rate of progress reports, not one per read.
const PROGRESS_EVERY_MS = 200;

let current = 0;     // the request being worked on
let lastReport = 0;
let container = 0;    // the page's number for the File the module has read, if any

function progress(text, done, total) {
    const now = Date.now();
    if (now - lastReport < PROGRESS_EVERY_MS && done < total) return;
    lastReport = now;
    self.postMessage({id: current, progress: {text, done, total}});
}

files.onRead = (path, end, size) => {
    if (size <= READ_AHEAD) return;
    if (end < size) progress('Reading ' + path, end, size);
    else self.postMessage({id: current, progress: {text: 'Working on ' + path, done: 0, total: 0}});
};

// A fault in the module after a read it waited for surfaces as an error of
// the worker's own, not in the call's Promise: it ends the call all the same.
let trap = null;
const trapped = (event) => {
    if (trap) trap(new Error(String(event.reason || event.message || 'the module failed')));
};
self.addEventListener('unhandledrejection', trapped);
self.addEventListener('error', trapped);

// The module's calls may wait for reads: each is a Promise.
async function call(module, name, types, args) {
    const fault = new Promise((resolve, reject) => { trap = reject; });
    const answer = JSON.parse(await Promise.race([module.ccall(name, 'string', types, args, {async: true}), fault]));
    if (answer.error !== undefined) throw new Error(answer.error);
    return answer;
}

// The container at its own name, where the tool's messages name it; the
// module keeps what it read of it until another File comes.
function useContainer(module, file, id) {
    if (id !== container || files.get(file.name) === undefined) {
        module.ccall('exspack_forget', null, [], []);
        files.clear('');
        files.put(file.name, file);
        container = id;
    }
    return file.name;
}

function baseName(name) {
    return name.replace(/^.*[\\/]/, '');
}

// Entries of the zips, and files, to put back into one folder; names as
// they are, since the tool picks the record files from a folder by name.
function gatherInputs(inputs, folder) {
    files.clear(folder);
    files.makeFolder(folder);
    for (const input of inputs) {
        if (/\.zip$/i.test(input.name)) {
            const entries = fflate.unzipSync(files.slice(input, 0, input.size));
            for (const [name, bytes] of Object.entries(entries))
                if (!name.endsWith('/')) files.put(folder + '/' + baseName(name), new Blob([bytes]));
        } else {
            files.put(folder + '/' + input.name, input);
        }
    }
}

// A zip of every file in folder, as Blob parts made as it goes.
function zipFolder(folder) {
    const parts = [];
    let failed = null;
    const zip = new fflate.Zip((error, chunk) => {
        if (error) failed = error;
        else parts.push(new Blob([chunk]));
    });
    const names = files.list(folder).sort();
    names.forEach((name, i) => {
        progress('Zipping', i, names.length);
        const blob = files.get(folder + '/' + name);
        const entry = new fflate.ZipDeflate(name, {level: 1});
        zip.add(entry);
        for (let at = 0; at < blob.size; at += READ_AHEAD)
            entry.push(files.slice(blob, at, Math.min(blob.size, at + READ_AHEAD)), false);
        entry.push(new Uint8Array(0), true);
    });
    zip.end();
    if (failed) throw failed;
    return new Blob(parts, {type: 'application/zip'});
}

const jobs = {
    async list(module, {file, fileId}) {
        const name = useContainer(module, file, fileId);
        return await call(module, 'exspack_list', ['string', 'string'], [name, '']);
    },
    // The folder -l writes, as a zip.
    async zip(module, {file, fileId}) {
        const name = useContainer(module, file, fileId);
        const folder = 'records of ' + name;
        files.clear(folder);
        await call(module, 'exspack_list', ['string', 'string'], [name, folder]);
        const blob = zipFolder(folder);
        files.clear(folder);
        return blob;
    },
    async unpack(module, {file, fileId, position}) {
        const name = useContainer(module, file, fileId);
        await call(module, 'exspack_unpack', ['string', 'number', 'string'], [name, position, 'unpacked']);
        return files.get('unpacked');
    },
    async pack(module, {file, best}) {
        container = 0;
        files.clear('');
        files.put(file.name, file);
        await call(module, 'exspack_pack', ['string', 'number', 'string'], [file.name, best ? 1 : 0, 'packed']);
        return files.get('packed');
    },
    // With position, the one file in inputs goes there; else inputs are
    // record files and zips of them.
    async putBack(module, {file, fileId, inputs, position, patch}) {
        const name = useContainer(module, file, fileId);
        let from;
        if (position !== undefined && position !== null) {
            from = inputs[0].name === name ? 'put back/' + name : inputs[0].name;
            files.put(from, inputs[0]);
        } else {
            from = (inputs.length === 1 ? inputs[0].name.replace(/\.zip$/i, '') : 'files') || 'files';
            if (from === name) from = 'put back';
            gatherInputs(inputs, from);
        }
        const output = patch ? name + '.ppf' : '';
        try {
            const report = await call(module, 'exspack_put_back', ['string', 'string', 'number', 'string'],
                [from, name, position || 0, output]);
            // In place, the tool replaces the container; unchanged, it leaves it.
            const blob = patch ? files.get(output) : files.get(name);
            return {report, blob};
        } finally {
            // The worker's container is the picked File again.
            container = 0;
            module.ccall('exspack_forget', null, [], []);
        }
    },
};

async function work(request) {
    const module = await ready;
    current = request.id;
    lastReport = Date.now();
    try {
        files.written = [];
        const result = await jobs[request.op](module, request);
        self.postMessage({id: request.id, result});
    } catch (error) {
        self.postMessage({id: request.id, error: error && error.message ? error.message : String(error)});
    } finally {
        files.forget();
    }
}

// One request at a time, in order: a request waiting for a read must not
// see another one's work on the module and the files.
let queue = Promise.resolve();
self.onmessage = (event) => {
    queue = queue.then(() => work(event.data));
};
