#!/usr/bin/python3
"""The web page on a CD-sized raw image, in one run, against its floor:
the browser reading the same File alone, in 32 MiB slices, in a worker
that does nothing else; beside it the same worker streaming the File, as
the page reads it, and the tool, reading the page cache. Each figure is
the fastest of a few runs, timed in headless Chromium around its
window.exspack call: -l; a put-back of one record as a patch into an image
not opened before (the session opens, lists and puts back); the same into
the session's image, opened already (what a person does: open, then drop
edited files); the changed image as a Blob.
Targets: -l and the put-back into an image not opened within 1.25x of the
floor, the put-back into the open image within 0.5 s, the worker's memory
within the data view plus 256 MiB. The worker's memory is taken as the
peak resident size of the page's renderer, which holds the page and its
worker, less its size with the page open and at rest (the module loaded,
nothing read).

    bench/web_bench.py TOOL PAGE [MIB]      (MIB: the image's size, default 700)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'web'))
from web_test import CHROME_ARGS  # noqa: E402

RAW, DATA = 2352, 2048
RUNS = 3
FLOOR_RATIO = 1.25
OPEN_PUT_SECONDS = 0.5
MANY, MANY_SECONDS = 3500, 5.0
MEMORY_MIB = 256


def packed_small(tool, work):
    """A record of a few hundred bytes of text."""
    with open(work + '/small', 'wb') as f:
        f.write(b'The quick brown fox jumps over the lazy dog. ' * 8)
    subprocess.run([tool, work + '/small', work + '/small.exs'], check=True, capture_output=True)
    with open(work + '/small.exs', 'rb') as f:
        return f.read()


def make_image(path, mib, record):
    """Random Mode 2 Form 1 sectors (codes left as they fall: the tool reads
    sectors by their modes), with record in the data of the middle ones.
    Returns the record's position in the data view."""
    sectors = (mib << 20) // RAW
    image = bytearray(os.urandom(sectors * RAW))
    head = bytes([0] + [0xFF] * 10 + [0, 0, 2, 0, 2]) + bytes(8)
    for s in range(sectors):
        image[s * RAW:s * RAW + 24] = head
    position = sectors // 2 * DATA
    for k in range(0, len(record), DATA):
        at = (position + k) // DATA * RAW + 24
        image[at:at + min(DATA, len(record) - k)] = record[k:k + DATA]
    with open(path, 'wb') as f:
        f.write(image)
    return position


def renderers(root):
    """{pid: (VmHWM, VmRSS)} in MiB of the renderer processes under root
    (the driver's process)."""
    children = {}
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/stat' % pid) as f:
                parent = int(f.read().rsplit(')', 1)[1].split()[1])
            children.setdefault(parent, []).append(int(pid))
        except (OSError, ValueError, IndexError):
            continue
    found, todo = {}, [root]
    while todo:
        pid = todo.pop()
        todo += children.get(pid, [])
        try:
            with open('/proc/%d/cmdline' % pid, 'rb') as f:
                # Chromium rewrites its command line as one string.
                if b'--type=renderer' not in f.read():
                    continue
            with open('/proc/%d/status' % pid) as f:
                fields = dict(line.split(':', 1) for line in f)
            found[pid] = tuple(int(fields[k].split()[0]) // 1024 for k in ('VmHWM', 'VmRSS'))
        except (OSError, ValueError, KeyError):
            continue
    return found


def best(run):
    times = []
    for _ in range(RUNS):
        subprocess.run(['sync'])
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    tool, page = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    mib = int(sys.argv[3]) if len(sys.argv) > 3 else 700
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    work = tempfile.mkdtemp()
    try:
        data = os.urandom(1 << 16)
        with open(work + '/data', 'wb') as f:
            f.write(data)
        subprocess.run([tool, work + '/data', work + '/record'], check=True, capture_output=True)
        with open(work + '/record', 'rb') as f:
            record = f.read()
        image = work + '/image.bin'
        position = make_image(image, mib, record)
        with open(work + '/input', 'wb') as f:
            f.write(bytes(1000))
        # Many small records, as a game's archives hold them: the zip of
        # them all and a put-back of that zip.
        many, small = work + '/many.bin', packed_small(tool, work)
        with open(many, 'wb') as f:
            f.write(b''.join(small + bytes([i % 251]) for i in range(MANY)))
        subprocess.run([tool, many, work + '/many', '-l'], check=True, capture_output=True)
        with zipfile.ZipFile(work + '/many.zip', 'w', zipfile.ZIP_DEFLATED) as z:
            for name in sorted(os.listdir(work + '/many')):
                z.write(os.path.join(work, 'many', name), 'many/' + name)

        def tool_run(*args):
            subprocess.run([tool, *args], check=True, capture_output=True)

        tool_list = best(lambda: tool_run(image, '-l'))
        tool_zip = best(lambda: (shutil.rmtree(work + '/many.out', ignore_errors=True), tool_run(many, work + '/many.out', '-l')))
        tool_put_zip = best(lambda: tool_run(work + '/many', many, work + '/many.ppf', '-i'))
        tool_patch = best(lambda: tool_run(work + '/input', image, work + '/tool.ppf', '-i', '-p', str(position)))

        options = webdriver.ChromeOptions()
        for arg in CHROME_ARGS + ['--user-data-dir=' + work + '/profile']:
            options.add_argument(arg)
        options.binary_location = shutil.which('chromium')
        driver = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
        try:
            driver.set_script_timeout(600)
            driver.get('file://' + page)
            time.sleep(2)
            rest = renderers(driver.service.process.pid)
            driver.execute_script("const i = document.createElement('input'); i.type = 'file'; i.multiple = true;"
                                  "i.id = 'bench'; document.body.appendChild(i);")
            driver.find_element('id', 'bench').send_keys(image + '\n' + work + '/input\n' + many + '\n' + work + '/many.zip')

            # Each run on a new File, as when a person picks the image
            # again: the worker keeps what it read of the last one. `before`
            # runs untimed first.
            def page_run(call, before='0'):
                seconds = driver.execute_async_script(
                    "const done = arguments[0]; const [picked, input, many, zip] = document.getElementById('bench').files;"
                    "const image = new File([picked], picked.name); let start;"
                    "Promise.resolve(" + before + ").then(() => { start = performance.now(); return " + call + "; })"
                    ".then(() => done((performance.now() - start) / 1000), (e) => done('refused: ' + e.message));")
                if isinstance(seconds, str):
                    sys.exit('web_bench: ' + seconds)
                return seconds

            # The floor: 32 MiB slices through FileReaderSync in a worker
            # of its own.
            floor = min(page_run(
                "new Promise((resolve, reject) => { const w = new Worker(URL.createObjectURL(new Blob(["
                "'onmessage = (e) => { const r = new FileReaderSync(), f = e.data; let n = 0;"
                " for (let at = 0; at < f.size; at += 32 << 20) n += r.readAsArrayBuffer(f.slice(at, at + (32 << 20))).byteLength;"
                " postMessage(n); };'], {type: 'text/javascript'})));"
                " w.onmessage = (e) => { w.terminate(); resolve(e.data); }; w.onerror = reject; w.postMessage(image); })")
                for _ in range(RUNS))
            # The File streamed into one buffer, as the page reads it.
            stream = min(page_run(
                "new Promise((resolve, reject) => { const w = new Worker(URL.createObjectURL(new Blob(["
                "'onmessage = async (e) => { const r = e.data.stream().getReader({mode: \"byob\"});"
                " let buffer = new ArrayBuffer(4 << 20), n = 0;"
                " for (;;) { const {value, done} = await r.read(new Uint8Array(buffer)); if (done) break;"
                " n += value.byteLength; buffer = value.buffer; } postMessage(n); };'], {type: 'text/javascript'})));"
                " w.onmessage = (e) => { w.terminate(); resolve(e.data); }; w.onerror = reject; w.postMessage(image); })")
                for _ in range(RUNS))
            put = "exspack.session(image).then((s) => s.put(input, %d).then(() => s.patch()))" % position
            page_zip = min(page_run("exspack.zip(many)") for _ in range(RUNS))
            page_put_zip = min(page_run("exspack.session(many).then((s) => s.put(zip).then(() => s.patch()))")
                               for _ in range(RUNS))
            page_list = min(page_run("exspack.list(image)") for _ in range(RUNS))
            page_patch = min(page_run(put) for _ in range(RUNS))
            page_open = min(page_run("window.open_.put(input, %d).then(() => window.open_.patch())" % position,
                                     "exspack.session(image).then((s) => { window.open_ = s; })") for _ in range(RUNS))
            page_image = min(page_run("window.open_.image()",
                                      "exspack.session(image).then((s) => { window.open_ = s; return s.put(input, %d); })"
                                      % position) for _ in range(RUNS))
            # The page's renderer: the one that grew most.
            peaks = renderers(driver.service.process.pid)
            pid = max(peaks, key=lambda pid: peaks[pid][0] - rest.get(pid, (0, 0))[1])
            memory, at_rest = peaks[pid][0], rest.get(pid, (0, 0))[1]
        finally:
            driver.quit()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    load = open('/proc/loadavg').read().split()[:3] if os.path.exists('/proc/loadavg') else ['?'] * 3
    print('%d MiB raw image, fastest of %d runs, load %s' % (mib, RUNS, ' '.join(load)))
    print('the browser reading the File alone (the floor): %.2f s; streaming it: %.2f s' % (floor, stream))
    print('%-46s %7s %7s %8s %9s %9s' % ('', 'tool s', 'page s', 'x floor', 'x stream', 'target'))
    missed = False
    for name, t, p, target in [('-l', tool_list, page_list, '%.2fx' % FLOOR_RATIO),
                               ('-i as a patch, image not opened', tool_patch, page_patch, '%.2fx' % FLOOR_RATIO),
                               ('-i as a patch, into the open image', tool_patch, page_open, '%.1f s' % OPEN_PUT_SECONDS),
                               ('-i, the changed image (a Blob)', None, page_image, '')]:
        over = (p > OPEN_PUT_SECONDS if target.endswith(' s') else p / floor > FLOOR_RATIO) if target else False
        missed = missed or over
        print('%-46s %7s %7.2f %8.2f %9.2f %9s%s' % (name, '%.2f' % t if t is not None else '', p, p / floor,
                                                     p / stream, target, '  MISSED' if over else ''))
    for name, t, p in [('-l of %d records into a zip' % MANY, tool_zip, page_zip),
                       ('-i of a zip of them, as a patch', tool_put_zip, page_put_zip)]:
        missed = missed or p > MANY_SECONDS
        print('%-46s %7.2f %7.2f %8s %9s %9s%s' % (name, t, p, '', '', '%.0f s' % MANY_SECONDS, '  MISSED' if p > MANY_SECONDS else ''))
    view = (mib << 20) // RAW * DATA >> 20
    over = memory - at_rest > view + MEMORY_MIB
    missed = missed or over
    print('peak memory of the page\'s renderer, %d MiB, less the page at rest, %d MiB: %d MiB; '
          'the data view %d MiB + %d MiB%s' % (memory, at_rest, memory - at_rest, view, MEMORY_MIB, '  MISSED' if over else ''))
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main())
