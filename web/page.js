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

    // Work that takes longer than this shows how far it is, and can be
    // cancelled.
    const QUIET_MS = 700;

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

    // A disc: a File, or Files (a cue sheet with its track files).
    function disc(files) {
        const list = files instanceof Blob ? [files] : Array.from(files);
        if (list.length === 0) throw new Error('No file given');
        return {files: list, ids: list.map(fileId)};
    }

    const many = (files) => (files instanceof Blob ? [files] : Array.from(files));

    // status: the element beside the action that asked, for its progress.
    function request(op, args, status = null) {
        return new Promise((resolve, reject) => {
            const id = next++;
            pending.set(id, {resolve, reject, progress: null, started: Date.now(), status});
            worker.postMessage(Object.assign({id, op}, args));
        });
    }

    let sessions = 0;
    function openSession(files, status) {
        const id = ++sessions;
        return request('session', {disc: disc(files), session: id}, status).then((listing) => ({
            rows: listing.rows, notice: listing.notice, about: listing.about, names: listing.names,
            // Files put back as -i takes a folder (zips of them too), or
            // with position (as -p takes it) the one file there.
            put: (inputs, position = null, on = null) =>
                request('put', {session: id, inputs: many(inputs), position: position === null ? null : String(position)}, on)
                    .then((changes) => ({report: changes.text, changes: changes.rows})),
            changes: () => request('changes', {session: id}).then((changes) => changes.rows),
            remove: (position, on = null) => request('remove', {session: id, position: String(position)}, on)
                .then((changes) => changes.rows),
            patch: (on = null) => request('patch', {session: id}, on),
            image: (on = null) => request('image', {session: id}, on),
        }));
    }

    window.exspack = {
        list: (files) => request('list', {disc: disc(files)}).then((listing) => listing.rows.map(
            ({position, compressed, uncompressed, header, file}) => ({position, compressed, uncompressed, header, file}))),
        unpack: (files, position, on = null) => request('unpack', {disc: disc(files), position: String(position)}, on),
        pack: (file, {best = false} = {}, on = null) => request('pack', {file, best}, on),
        zip: (files, on = null) => request('zip', {disc: disc(files)}, on),
        session: (files, on = null) => openSession(files, on),
        // One put-back in a session of its own: the report's rows, and the
        // patch or the changed image.
        putBack: (container, files, {patch = false, position = null} = {}) => openSession(container).then((session) =>
            session.put(files, position).then(({changes}) =>
                (patch ? session.patch() : session.image()).then((blob) => ({report: changes, blob})))),
        // Every request in hand ends, 'Cancelled', at its next read.
        cancel: () => { for (const id of pending.keys()) worker.postMessage({cancel: id}); },
    };

    // Progress beside the action, after a quiet while; Cancel while any.
    setInterval(() => {
        let busy = false;
        for (const job of pending.values()) {
            const seconds = (Date.now() - job.started) / 1000;
            if (seconds * 1000 < QUIET_MS) continue;
            busy = true;
            if (job.status === null) continue;
            const p = job.progress;
            const bar = p && p.total ? '<progress max="' + p.total + '" value="' + p.done + '"></progress> ' : '<progress></progress> ';
            job.status.classList.remove('error');
            job.status.innerHTML = bar;
            job.status.append((p ? p.text : 'Working') + ' (' + Math.round(seconds) + ' s)');
        }
        $('cancel').classList.toggle('hidden', !busy);
    }, 250);

    function say(status, text, error) {
        status.textContent = text;
        status.classList.toggle('error', !!error);
    }

    const sizeText = (n) => n >= 1e6 ? Math.round(n / 1e6).toLocaleString('en-US') + ' MB' : n.toLocaleString('en-US') + ' bytes';

    function save(blob, name, status) {
        const link = document.createElement('a');
        link.href = URL.createObjectURL(blob);
        link.download = name;
        document.body.appendChild(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(link.href), 60000);
        say(status, 'Saved ' + name + ', ' + sizeText(blob.size));
    }

    // The action's outcome in its status, in place of its progress.
    function run(status, start, done) {
        say(status, '');
        let promise;
        try {
            promise = start(status);
        } catch (error) {
            promise = Promise.reject(error);
        }
        return promise.then((result) => done(result), (error) => say(status, error.message, true));
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
            if (event.dataTransfer.files.length > 0) take(event.dataTransfer.files, event);
        });
    }

    const hex = (n) => '0x' + n.toString(16).toUpperCase().padStart(8, '0');
    function cell(key, value) {
        if (key === 'position') return hex(value);
        return value === null || value === undefined ? '' : String(value);
    }
    const baseOf = (name) => name.replace(/\.[^.]*$/, '');
    const extOf = (name) => (/\.[^.]*$/.exec(name) || [''])[0];

    let session = null;
    let discFiles = null;
    let listing = null;
    let changes = [];

    // The records: only the rows in view are in the page, each ROW_HEIGHT
    // high over a spacer as tall as all of them; sorting and filtering
    // reorder an index array, never the rows.
    const ROW_HEIGHT = 22;
    const SPARE = 8;
    let columns = [];
    let order = new Uint32Array(0);
    let sortKey = null, sortUp = true;

    function setColumns() {
        columns = [['position', 'Position'], ['compressed', 'Compressed'], ['uncompressed', 'Uncompressed'], ['header', 'Header']];
        if (listing.names) columns.push(['file', 'File']);
        const head = $('head').tHead.rows[0];
        head.textContent = '';
        for (const [key, heading] of columns) {
            const th = document.createElement('th');
            th.textContent = heading;
            th.dataset.key = key;
            th.addEventListener('click', () => {
                sortUp = sortKey === key ? !sortUp : true;
                sortKey = key;
                for (const other of head.cells) other.className = other === th ? (sortUp ? 'up' : 'down') : '';
                arrange();
            });
            head.appendChild(th);
        }
    }

    function arrange() {
        const rows = listing.rows;
        const text = $('filter').value.toLowerCase();
        const shown = [];
        for (let i = 0; i < rows.length; i++)
            if (text === '' || (rows[i].file || '').toLowerCase().includes(text)) shown.push(i);
        order = Uint32Array.from(shown);
        if (sortKey !== null) {
            const key = sortKey, sign = sortUp ? 1 : -1;
            if (typeof rows[0][key] === 'number') {
                const values = Float64Array.from(rows, (row) => row[key]);
                order.sort((a, b) => sign * (values[a] - values[b]) || a - b);
            } else {
                const values = rows.map((row) => String(row[key] === null ? '' : row[key]));
                order.sort((a, b) => sign * (values[a] < values[b] ? -1 : values[a] > values[b] ? 1 : 0) || a - b);
            }
        }
        $('spacer').style.height = order.length * ROW_HEIGHT + 'px';
        $('count').textContent = rows.length.toLocaleString('en-US') + ' records' +
            (order.length !== rows.length ? ', ' + order.length.toLocaleString('en-US') + ' shown' : '');
        render();
    }

    function render() {
        const scroller = $('scroller');
        const first = Math.max(0, Math.floor(scroller.scrollTop / ROW_HEIGHT) - SPARE);
        const end = Math.min(order.length, Math.ceil((scroller.scrollTop + scroller.clientHeight) / ROW_HEIGHT) + SPARE);
        const table = $('rows');
        table.style.top = first * ROW_HEIGHT + 'px';
        table.style.width = $('head').style.width = scroller.clientWidth + 'px';
        const body = table.tBodies[0];
        while (body.rows.length > end - first) body.deleteRow(-1);
        while (body.rows.length < end - first) {
            const tr = body.insertRow();
            for (let c = 0; c < columns.length; c++) tr.insertCell();
        }
        for (let i = first; i < end; i++) {
            const tr = body.rows[i - first], row = listing.rows[order[i]];
            while (tr.cells.length > columns.length) tr.deleteCell(-1);
            while (tr.cells.length < columns.length) tr.insertCell();
            tr.dataset.index = order[i];
            tr.title = row.name;
            columns.forEach(([key], c) => { tr.cells[c].textContent = cell(key, row[key]); });
        }
    }

    let frame = 0;
    $('scroller').addEventListener('scroll', () => {
        if (frame === 0) frame = requestAnimationFrame(() => { frame = 0; render(); });
    });
    window.addEventListener('resize', render);
    const rowOf = (event) => {
        const tr = event.target.closest('#rows tr');
        return tr === null ? null : listing.rows[Number(tr.dataset.index)];
    };
    $('rows').addEventListener('click', (event) => {
        const row = rowOf(event);
        if (row !== null)
            run($('open-status'), (on) => window.exspack.unpack(discFiles, row.position, on), (blob) => save(blob, row.name, $('open-status')));
    });
    $('rows').addEventListener('dragover', (event) => {
        event.preventDefault();
        event.stopPropagation();
        for (const tr of $('rows').querySelectorAll('tr.over')) tr.classList.remove('over');
        const tr = event.target.closest('#rows tr');
        if (tr !== null) tr.classList.add('over');
    });
    $('rows').addEventListener('drop', (event) => {
        event.preventDefault();
        event.stopPropagation();
        for (const tr of $('rows').querySelectorAll('tr.over')) tr.classList.remove('over');
        const row = rowOf(event);
        if (row !== null && event.dataTransfer.files.length > 0) putBack(event.dataTransfer.files, row.position);
    });

    // The pending changes, each with a way to take it out.
    function showChanges() {
        const changed = changes.filter((c) => c.stream !== 'same').length;
        $('changes').classList.toggle('hidden', changes.length === 0);
        $('changecount').textContent = changed.toLocaleString('en-US') + ' changed, ' +
            (listing.rows.length - changed).toLocaleString('en-US') + ' untouched';
        const cols = [['position', 'Position'], ['input', 'From'], ['room', 'Room'], ['compressed', 'New size'],
            ['uncompressed', 'Uncompressed'], ['stream', 'Stream']];
        if (listing.names) cols.push(['file', 'File']);
        const head = $('changed').tHead.rows[0];
        head.textContent = '';
        for (const [, heading] of cols.concat([['', '']])) head.appendChild(document.createElement('th')).textContent = heading;
        const body = $('changed').tBodies[0];
        body.textContent = '';
        for (const change of changes) {
            const tr = body.insertRow();
            for (const [key] of cols) tr.insertCell().textContent = cell(key, change[key]);
            const remove = document.createElement('button');
            remove.type = 'button';
            remove.textContent = 'Remove';
            remove.addEventListener('click', () => run($('put-status'), (on) => session.remove(hex(change.position), on), (rows) => {
                changes = rows;
                showChanges();
                say($('put-status'), 'Removed the change at ' + hex(change.position));
            }));
            tr.insertCell().appendChild(remove);
        }
    }

    function open(files) {
        const given = Array.from(files);
        const name = (given.find((f) => /\.cue$/i.test(f.name)) || given[0]).name;
        $('listing').classList.add('hidden');
        $('disc-actions').classList.add('hidden');
        $('save-actions').classList.add('hidden');
        session = null;
        run($('open-status'), (on) => window.exspack.session(given, on), (opened) => {
            session = opened;
            discFiles = given;
            listing = opened;
            changes = [];
            $('notice').textContent = opened.notice;
            $('notice').classList.toggle('hidden', opened.notice === '');
            $('listing').classList.remove('hidden');
            $('disc-actions').classList.remove('hidden');
            $('save-actions').classList.remove('hidden');
            for (const id of ['put-status', 'patch-status', 'image-status', 'zip-status']) say($(id), '');
            sortKey = null;
            setColumns();
            $('scroller').scrollTop = 0;
            arrange();
            showChanges();
            const n = opened.rows.length;
            say($('open-status'), n > 0 ? name + ': ' + n.toLocaleString('en-US') + ' records'
                : name + ' holds no record' + (opened.about ? ': ' + opened.about : ''));
        });
    }

    function putBack(files, position) {
        if (session === null) return;
        run($('put-status'), (on) => session.put(Array.from(files), position === null ? null : hex(position), on), ({report, changes: rows}) => {
            changes = rows;
            showChanges();
            const leftOut = report.split('\n').filter((line) => line.startsWith('Left out: '));
            say($('put-status'), [$('changecount').textContent].concat(leftOut).join('\n'), leftOut.length > 0);
        });
    }

    // The disc's own name is never offered for what is made of it.
    const imageName = () => {
        const track = listing.notice.match(/^Cue sheet: track \S+ \S+ in (.*)$/m);
        const name = track ? track[1].replace(/^.*[\\/]/, '') : discFiles[0].name;
        return baseOf(name) + ' (edited)' + extOf(name);
    };
    const discName = () => (discFiles.find((f) => /\.cue$/i.test(f.name)) || discFiles[0]).name;

    $('pick').addEventListener('change', () => $('pick').files.length && open($('pick').files));
    dropTarget($('open'), (files) => open(files));
    // Outside a drop zone a drop opens nothing: the browser would open the
    // file in place of the page.
    document.addEventListener('dragover', (event) => event.preventDefault());
    document.addEventListener('drop', (event) => {
        event.preventDefault();
        say($('open-status'), 'Drop a disc on Open, edited files on a row or on Put back', true);
    });
    $('putpick').addEventListener('change', () => $('putpick').files.length && putBack($('putpick').files, null));
    dropTarget($('putzone'), (files) => putBack(files, null));
    $('filter').addEventListener('input', arrange);
    $('zip').addEventListener('click', () => run($('zip-status'), (on) => window.exspack.zip(discFiles, on),
        (blob) => save(blob, baseOf(discName()) + ' records.zip', $('zip-status'))));
    $('patch').addEventListener('click', () => run($('patch-status'), (on) => session.patch(on),
        (blob) => save(blob, baseOf(discName()) + '.ppf', $('patch-status'))));
    $('image').addEventListener('click', () => run($('image-status'), (on) => session.image(on),
        (blob) => save(blob, imageName(), $('image-status'))));
    $('cancel').addEventListener('click', () => window.exspack.cancel());

    const single = () => $('single').files[0];
    $('pack').addEventListener('click', () => single() && run($('single-status'),
        (on) => window.exspack.pack(single(), {best: $('best').checked}, on), (blob) => save(blob, single().name + '.exs', $('single-status'))));
    $('unpack').addEventListener('click', () => single() && run($('single-status'),
        (on) => window.exspack.unpack(single(), $('position').value, on),
        (blob) => save(blob, single().name.replace(/\.exs$/i, '') + '.unpacked', $('single-status'))));
})();
