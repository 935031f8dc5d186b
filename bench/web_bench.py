#!/usr/bin/python3
"""The web page against the tool on a CD-sized raw image, in one run: -l,
and -i of one record as a patch, each the fastest of a few runs, the page's
timed in headless Chromium around its window.exspack call. Targets: the
page within 3x of the tool, for -l and for a put-back into the image the
page has listed (what a person does: open, then drop edited files). A
put-back into a File not listed reads the whole image through the browser,
which moves a few hundred MB/s where the tool reads from the page cache:
its figure is printed too.

    bench/web_bench.py TOOL PAGE [MIB]      (MIB: the image's size, default 700)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'web'))
from web_test import CHROME_ARGS  # noqa: E402

RAW, DATA = 2352, 2048
RUNS = 3
TARGET = 3.0


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

        def tool_run(*args):
            subprocess.run([tool, *args], check=True, capture_output=True)

        tool_list = best(lambda: tool_run(image, '-l'))
        tool_patch = best(lambda: tool_run(work + '/input', image, work + '/tool.ppf', '-i', '-p', str(position)))

        options = webdriver.ChromeOptions()
        for arg in CHROME_ARGS + ['--user-data-dir=' + work + '/profile']:
            options.add_argument(arg)
        options.binary_location = shutil.which('chromium')
        driver = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
        try:
            driver.set_script_timeout(600)
            driver.get('file://' + page)
            driver.execute_script("const i = document.createElement('input'); i.type = 'file'; i.multiple = true;"
                                  "i.id = 'bench'; document.body.appendChild(i);")
            driver.find_element('id', 'bench').send_keys(image + '\n' + work + '/input')

            # Each run on a new File, as when a person picks the image
            # again: the worker keeps what it read of the last one. `before`
            # runs untimed first.
            def page_run(call, before='0'):
                seconds = driver.execute_async_script(
                    "const done = arguments[0]; const [picked, input] = document.getElementById('bench').files;"
                    "const image = new File([picked], picked.name); let start;"
                    "Promise.resolve(" + before + ").then(() => { start = performance.now(); return " + call + "; })"
                    ".then(() => done((performance.now() - start) / 1000), (e) => done('refused: ' + e.message));")
                if isinstance(seconds, str):
                    sys.exit('web_bench: ' + seconds)
                return seconds

            put = "exspack.putBack(image, [input], {patch: %s, position: %d})"
            page_list = min(page_run("exspack.list(image)") for _ in range(RUNS))
            page_patch = min(page_run(put % ('true', position)) for _ in range(RUNS))
            page_listed = min(page_run(put % ('true', position), "exspack.list(image)") for _ in range(RUNS))
            page_image = min(page_run(put % ('false', position)) for _ in range(RUNS))
        finally:
            driver.quit()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print('%d MiB raw image, fastest of %d runs' % (mib, RUNS))
    print('%-44s %7s %7s %6s %7s' % ('', 'tool s', 'page s', 'ratio', 'target'))
    for name, t, p in [('-l', tool_list, page_list), ('-i as a patch', tool_patch, page_patch),
                       ('-i as a patch, the image listed before', tool_patch, page_listed)]:
        print('%-44s %7.2f %7.2f %6.2f %7.1f%s' % (name, t, p, p / t, TARGET, '' if p / t <= TARGET else '  MISSED'))
    print('%-44s %7s %7.2f' % ('-i, the changed image (a Blob)', '', page_image))
    return 0 if max(page_list / tool_list, page_listed / tool_patch) <= TARGET else 1


if __name__ == '__main__':
    sys.exit(main())
