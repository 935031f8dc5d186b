// The page: window.exspack, Promises over the worker's messages, and the UI
// on top of it. Every rule about records lives in the module; here are only
// files in, tables shown and Blobs handed to the browser to save.
'use strict';
(function () {
    const source = document.getElementById('exspack-worker').textContent;
    const worker = new Worker(URL.createObjectURL(new Blob([source], {type: 'text/javascript'})));
    const pending = new Map();
    let next = 1;
    const $ = (id) => document.getElementById(id);

    // Work that takes longer than this shows how far it is.
    const QUIET_MS = 1000;

    worker.onmessage = (event) => {
        const answer = event.data;
        const job = pending.get(answer.id);
        if (job === undefined) return;
        if (answer.progress !== undefined) {
            job.progress = answer.progress;
            return;
        }
        pending.delete(answer.id);
        if (answer.error !== undefined) job.reject(new Error(answer.error));
        else job.resolve(answer.result);
    };

    // A File reaches the worker as a copy, a new object each time: this
    // number tells the worker it is the one it has read already.
    const fileIds = new WeakMap();
    function fileId(file) {
        if (!fileIds.has(file)) fileIds.set(file, next++);
        return fileIds.get(file);
    }

    function request(op, args) {
        return new Promise((resolve, reject) => {
            const id = next++;
            pending.set(id, {resolve, reject, progress: null, started: Date.now()});
            worker.postMessage(Object.assign({id, op, fileId: args.file ? fileId(args.file) : 0}, args));
        });
    }

    const list = (file) => request('list', {file});

    window.exspack = {
        list: (file) => list(file).then((listing) => listing.rows.map(({position, compressed, uncompressed, header, file}) =>
            ({position, compressed, uncompressed, header, file}))),
        unpack: (file, position) => request('unpack', {file, position}),
        pack: (file, {best = false} = {}) => request('pack', {file, best}),
        // files: record files and zips of them, or with position the one
        // file to put there.
        putBack: (container, files, {patch = false, position = null} = {}) =>
            request('putBack', {file: container, inputs: Array.from(files.length !== undefined ? files : [files]), position, patch})
                .then(({report, blob}) => ({report: report.rows, blob})),
        zip: (file) => request('zip', {file}),
    };

    // Status and progress of the longest-running request.
    setInterval(() => {
        let oldest = null;
        for (const job of pending.values()) if (oldest === null || job.started < oldest.started) oldest = job;
        const bar = $('progress');
        const busy = oldest !== null && Date.now() - oldest.started >= QUIET_MS;
        bar.classList.toggle('hidden', !busy);
        if (!busy) return;
        const p = oldest.progress;
        if (p && p.total) {
            bar.max = p.total;
            bar.value = p.done;
        } else {
            bar.removeAttribute('value');
        }
        $('message').textContent = (p ? p.text : 'Working') + ' (' + Math.round((Date.now() - oldest.started) / 1000) + ' s)';
    }, 250);

    function say(text, error) {
        $('message').textContent = text;
        $('status').classList.toggle('error', !!error);
    }

    function save(blob, name) {
        const link = document.createElement('a');
        link.href = URL.createObjectURL(blob);
        link.download = name;
        document.body.appendChild(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    }

    function run(promise, done) {
        say('');
        return promise.then(done, (error) => say(error.message, true));
    }

    function dropTarget(element, take) {
        element.addEventListener('dragover', (event) => {
            event.preventDefault();
            event.stopPropagation();
            element.classList.add('over');
        });
        element.addEventListener('dragleave', () => element.classList.remove('over'));
        element.addEventListener('drop', (event) => {
            event.preventDefault();
            event.stopPropagation();
            element.classList.remove('over');
            if (event.dataTransfer.files.length > 0) take(event.dataTransfer.files);
        });
    }

    // A table of rows under the given columns: [key, heading], sorted by
    // clicking a heading.
    function fillTable(table, columns, rows, onRow) {
        const head = table.tHead.rows[0];
        head.textContent = '';
        let order = {key: null, up: true};
        const body = table.tBodies[0];
        const show = () => {
            const sorted = rows.slice();
            if (order.key !== null)
                sorted.sort((a, b) => {
                    const x = a[order.key], y = b[order.key];
                    const c = typeof x === 'number' ? x - y : String(x).localeCompare(String(y));
                    return order.up ? c : -c;
                });
            body.textContent = '';
            for (const row of sorted) {
                const tr = body.insertRow();
                for (const [key] of columns) tr.insertCell().textContent = cell(key, row[key]);
                if (onRow) onRow(tr, row);
            }
        };
        for (const [key, heading] of columns) {
            const th = document.createElement('th');
            th.textContent = heading;
            th.addEventListener('click', () => {
                order = {key, up: order.key === key ? !order.up : true};
                show();
            });
            head.appendChild(th);
        }
        show();
    }

    function cell(key, value) {
        if (key === 'position') return '0x' + value.toString(16).toUpperCase().padStart(8, '0');
        return String(value);
    }

    let container = null;
    let listing = null;

    function showListing() {
        const text = $('filter').value.toLowerCase();
        const rows = listing.rows.filter((row) => (row.file || '').toLowerCase().includes(text));
        const columns = [['position', 'Position'], ['compressed', 'Compressed'], ['uncompressed', 'Uncompressed'], ['header', 'Header']];
        if (listing.names) columns.push(['file', 'File']);
        fillTable($('records'), columns, rows, (tr, row) => {
            tr.title = row.name;
            tr.addEventListener('click', () => run(window.exspack.unpack(container, row.position), (blob) => save(blob, row.name)));
            dropTarget(tr, (files) => putBack(files, row.position));
        });
        $('count').textContent = listing.rows.length + ' records' + (rows.length !== listing.rows.length ? ', ' + rows.length + ' shown' : '');
    }

    function open(file) {
        container = file;
        $('putback').classList.add('hidden');
        run(list(file), (result) => {
            listing = result;
            $('notice').textContent = result.notice;
            $('notice').classList.toggle('hidden', result.notice === '');
            $('listing').classList.remove('hidden');
            showListing();
            say(file.name + ': ' + result.rows.length + ' records');
        });
    }

    function putBack(files, position) {
        const inputs = Array.from(files);
        $('putback').classList.add('hidden');
        run(window.exspack.putBack(container, inputs, {patch: true, position}), ({report, blob}) => {
            const columns = [['position', 'Position'], ['room', 'Room'], ['compressed', 'Compressed'], ['uncompressed', 'Uncompressed'], ['stream', 'Stream']];
            if (listing.names) columns.push(['file', 'File']);
            fillTable($('report'), columns, report);
            $('putcount').textContent = report.length + ' records put back';
            $('putback').classList.remove('hidden');
            const base = container.name.replace(/\.[^.]*$/, '');
            $('patch').onclick = () => save(blob, base + '.ppf');
            $('image').onclick = () => run(window.exspack.putBack(container, inputs, {patch: false, position}),
                (changed) => save(changed.blob, container.name));
            say(report.length + ' records put back');
        });
    }

    $('pick').addEventListener('change', () => $('pick').files.length && open($('pick').files[0]));
    dropTarget($('open'), (files) => open(files[0]));
    dropTarget(document.body, (files) => open(files[0]));
    $('putpick').addEventListener('change', () => $('putpick').files.length && putBack($('putpick').files, null));
    dropTarget($('putzone'), (files) => putBack(files, null));
    $('filter').addEventListener('input', showListing);
    $('zip').addEventListener('click', () =>
        run(window.exspack.zip(container), (blob) => save(blob, container.name.replace(/\.[^.]*$/, '') + '-records.zip')));

    const single = () => $('single').files[0];
    $('pack').addEventListener('click', () => single() &&
        run(window.exspack.pack(single(), {best: $('best').checked}), (blob) => save(blob, single().name + '.exs')));
    $('unpack').addEventListener('click', () => single() &&
        run(window.exspack.unpack(single(), Number($('position').value)), (blob) => save(blob, single().name.replace(/\.exs$/i, '') + '.unpacked')));
})();
