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

function progress(text, done, total) {
    const now = Date.now();
    if (now - lastReport < PROGRESS_EVERY_MS && done < total) return;
    lastReport = now;
    self.postMessage({id: current, progress: {text, done, total}});
}

files.onRead = (path, end, size) => {
    if (size <= LARGEST_READ) return;
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

// The disc the module has: its files at their own names, where the tool's
// messages name them, and the one to open, the cue sheet among them if any.
// The module keeps what it read of it until another disc comes.
let disc = {key: '', names: []};

function useDisc(module, {files: given, ids}) {
    const key = ids.join(',');
    if (key !== disc.key || given.some((file) => files.get(file.name) === undefined)) {
        module.ccall('exspack_forget', null, [], []);
        for (const name of disc.names) files.clear(name);
        for (const file of given) files.put(file.name, file);
        disc = {key, names: given.map((file) => file.name)};
    }
    const sheet = given.find((file) => /\.cue$/i.test(file.name));
    return (sheet || given[0]).name;
}

function forgetDisc(module) {
    module.ccall('exspack_forget', null, [], []);
    for (const name of disc.names) files.clear(name);
    disc = {key: '', names: []};
}

function baseName(name) {
    return name.replace(/^.*[\\/]/, '');
}

// The files given, zips unpacked, in a folder of their own that the tool
// reads as the folder -l wrote. A zip whose entries all sit in one folder
// is read as that folder; the folders inside it are folders here too, which
// the tool leaves out by name.
let inputs = 0;
function gatherInputs(given) {
    const folder = '.in/' + ++inputs;
    files.makeFolder('.in');
    files.makeFolder(folder);
    for (const input of given) {
        if (!/\.zip$/i.test(input.name)) {
            files.put(folder + '/' + input.name, input);
            continue;
        }
        const entries = Object.entries(fflate.unzipSync(files.slice(input, 0, input.size)))
            .filter(([name]) => !name.endsWith('/'));
        const tops = new Set(entries.map(([name]) => name.includes('/') ? name.split('/')[0] : ''));
        const top = tops.size === 1 && !tops.has('') ? [...tops][0] + '/' : '';
        for (const [name, bytes] of entries) {
            const path = name.slice(top.length);
            if (path.includes('/')) files.makeFolder(folder + '/' + path.split('/')[0]);
            else files.put(folder + '/' + path, new Blob([bytes]), bytes);
        }
    }
    return folder;
}

// Records zipped in one call up to this much in all: a deflater a record
// costs far more than the record's own bytes.
const ZIP_AT_ONCE = 256 << 20;

// A zip of every file in folder: in one call when they are small enough in
// all, else as Blob parts made as it goes.
function zipFolder(folder) {
    const names = files.list(folder).sort();
    let total = 0;
    for (const name of names) total += files.get(folder + '/' + name).size;
    if (total <= ZIP_AT_ONCE) {
        const entries = {};
        names.forEach((name, i) => {
            progress('Zipping', i, names.length);
            const path = folder + '/' + name, blob = files.get(path);
            entries[name] = files.memory.get(path) || files.slice(blob, 0, blob.size);
        });
        return new Blob([fflate.zipSync(entries, {level: 1})], {type: 'application/zip'});
    }
    const parts = [];
    let failed = null;
    const zip = new fflate.Zip((error, chunk) => {
        if (error) failed = error;
        else parts.push(new Blob([chunk]));
    });
    names.forEach((name, i) => {
        progress('Zipping', i, names.length);
        const blob = files.get(folder + '/' + name), bytes = files.memory.get(folder + '/' + name);
        const entry = new fflate.ZipDeflate(name, {level: 1});
        zip.add(entry);
        if (bytes !== undefined) entry.push(bytes, false);
        else for (let at = 0; at < blob.size; at += LARGEST_READ)
            entry.push(files.slice(blob, at, Math.min(blob.size, at + LARGEST_READ)), false);
        entry.push(new Uint8Array(0), true);
    });
    zip.end();
    if (failed) throw failed;
    return new Blob(parts, {type: 'application/zip'});
}

// The session: the disc it was opened on; its changes live in the module.
const PATCH = '.session.ppf';
let session = {id: 0, disc: null};

function useSession(module, id) {
    if (id !== session.id) throw new Error('Error: This disc is no longer open');
    return useDisc(module, session.disc);
}

const jobs = {
    async list(module, {disc}) {
        return await call(module, 'exspack_list', ['string', 'string'], [useDisc(module, disc), '']);
    },
    // The folder -l writes, as a zip.
    async zip(module, {disc}) {
        const name = useDisc(module, disc);
        const folder = '.records';
        files.clear(folder);
        await call(module, 'exspack_list', ['string', 'string'], [name, folder]);
        const blob = zipFolder(folder);
        files.clear(folder);
        return blob;
    },
    async unpack(module, {disc, position}) {
        const name = useDisc(module, disc);
        await call(module, 'exspack_unpack', ['string', 'string', 'string'], [name, String(position), '.unpacked']);
        return files.get('.unpacked');
    },
    async pack(module, {file, best}) {
        forgetDisc(module);
        files.put(file.name, file);
        disc = {key: '', names: [file.name]};
        await call(module, 'exspack_pack', ['string', 'number', 'string'], [file.name, best ? 1 : 0, '.packed']);
        return files.get('.packed');
    },
    async session(module, {disc: given, session: id}) {
        files.clear('.in');
        files.clear(PATCH);
        session = {id: 0, disc: null};
        const listing = await call(module, 'exspack_session', ['string'], [useDisc(module, given)]);
        session = {id, disc: given};
        return listing;
    },
    // With position, the one file given goes there, as a row takes it;
    // else the files are record files and zips of them.
    async put(module, {session: id, inputs: given, position}) {
        useSession(module, id);
        const folder = gatherInputs(position === null ? given : given.slice(0, 1));
        const leftOut = position === null ? '' :
            given.slice(1).map((file) => 'Left out: ' + file.name + ' (a row takes one file: ' + given[0].name + ')\n').join('');
        const from = position === null ? folder : folder + '/' + given[0].name;
        try {
            const changes = await call(module, 'exspack_put', ['string', 'string', 'string'],
                [from, position === null ? '' : String(position), PATCH]);
            changes.text = leftOut + changes.text;
            return changes;
        } catch (error) {
            // The folder is the worker's own: the user knows the files.
            const names = given.map((file) => file.name).join(', ');
            throw new Error(leftOut + error.message.replace('No record files in ' + baseName(folder), 'No record files in ' + names));
        }
    },
    async changes(module, {session: id}) {
        useSession(module, id);
        return await call(module, 'exspack_changes', [], []);
    },
    async remove(module, {session: id, position}) {
        useSession(module, id);
        return await call(module, 'exspack_remove', ['string', 'string'], [String(position), PATCH]);
    },
    async patch(module, {session: id}) {
        useSession(module, id);
        const changes = await call(module, 'exspack_changes', [], []);
        if (changes.rows.length === 0) throw new Error('Error: No changes');
        return files.get(PATCH);
    },
    async image(module, {session: id}) {
        useSession(module, id);
        const {path} = await call(module, 'exspack_image', [], []);
        const changed = files.get(path);
        // The disc's own file again for what follows; the module read it as
        // it was, and what it keeps of it holds.
        files.put(path, session.disc.files.find((file) => file.name === path));
        return changed;
    },
};

async function work(request) {
    const module = await ready;
    current = request.id;
    lastReport = Date.now();
    files.cancelled = dropped.delete(request.id);
    try {
        files.written = [];
        if (files.cancelled) throw new Error('Cancelled');
        const result = await jobs[request.op](module, request);
        self.postMessage({id: request.id, result});
    } catch (error) {
        const message = files.cancelled ? 'Cancelled' : error && error.message ? error.message : String(error);
        self.postMessage({id: request.id, error: message});
    } finally {
        files.cancelled = false;
        files.forget();
    }
}

// One request at a time, in order: a request waiting for a read must not
// see another one's work on the module and the files.
let queue = Promise.resolve();
const dropped = new Set(); // cancelled before they started
self.onmessage = (event) => {
    // A cancelled request's reads fail from the next one on.
    if (event.data.cancel !== undefined) {
        if (event.data.cancel === current) files.cancelled = true;
        else dropped.add(event.data.cancel);
    } else queue = queue.then(() => work(event.data));
};
