#!/usr/bin/python3
"""The web page in headless Chromium, through window.exspack and through its
UI, against the tool itself: every listing, unpacked and packed record, patch
and changed file byte for byte the tool's.

    web_test.py TOOL PAGE GAMELIKE WORK

Exits 77 (skipped), saying why, where Chromium, its driver, Selenium,
genisoimage or the page are missing.
"""
import base64
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

SKIP = 77
TOOL, PAGE, GAMELIKE, WORK = (os.path.abspath(a) for a in sys.argv[1:5]) if len(sys.argv) >= 5 else (None,) * 4
CHROME_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync']


def skip(reason):
    print('web test skipped: ' + reason)
    sys.exit(SKIP)


def tool(*args, check=True):
    run = subprocess.run([TOOL, *map(str, args)], capture_output=True)
    if check and run.returncode != 0:
        raise AssertionError(run.stderr.decode())
    return run


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)
    return path


def packed(data, *options):
    with tempfile.TemporaryDirectory() as t:
        tool(write(t + '/in', data), t + '/out', *options)
        return read(t + '/out')


def sample(name, begin, size):
    return read(os.path.join(GAMELIKE, name))[begin:begin + size]


def raw_image(iso, form2=()):
    """Mode 2 sectors as a drive reads them, Form 1 but where form2 says,
    codes left zero: the page and the tool take data sectors by their modes
    alone and make new codes for the sectors they change."""
    out = bytearray()
    for i in range((len(iso) + 2047) // 2048):
        a = i + 150
        bcd = [int(str(n), 16) for n in (a // 75 // 60, a // 75 % 60, a % 75)]
        sub = 0x20 if i in form2 else 0x08
        out += b'\0' + b'\xff' * 10 + b'\0' + bytes(bcd) + b'\2' + bytes([0, 0, sub, 0] * 2)
        out += iso[i * 2048:(i + 1) * 2048].ljust(2048, b'\0') + bytes(280)
    return bytes(out)


def make_samples(folder):
    """Containers as the game's data has them, a disc genisoimage masters
    (raw and .iso) and a cut raw image."""
    records = [packed(sample('script.bin', 0, 20000)), packed(sample('mesh.bin', 0, 30000), '-b'),
               packed(sample('tilemap.bin', 0, 25000))]
    bad_header = bytearray(packed(sample('padded.bin', 0, 9000)))
    bad_header[4:8] = struct.pack('<I', 1234)
    plain = os.urandom(700) + records[0] + bytes(333) + records[1] + bytes(bad_header) + records[2] + os.urandom(99)
    tree = os.path.join(folder, 'tree')
    os.makedirs(tree + '/DATA')
    write(tree + '/DATA/FIELD.DAT', bytes(100) + records[0] + bytes(500) + records[2])
    write(tree + '/SYSTEM.CNF', b'BOOT = cdrom:\\MAIN.EXE;1\n')
    write(tree + '/MOVIE.STR', records[1])
    iso = subprocess.run(['genisoimage', '-quiet', tree], capture_output=True, check=True).stdout
    raw = raw_image(iso, form2={len(iso) // 2048 - 3})
    samples = {'plain.bin': write(folder + '/plain.bin', plain),
               'disc.iso': write(folder + '/disc.iso', iso),
               'disc.bin': write(folder + '/disc.bin', raw),
               'cut.bin': write(folder + '/cut.bin', raw[:len(raw) // 2] + b'\1')}
    # The disc as emulator users keep it, where chdman is at hand.
    if shutil.which('chdman'):
        write(folder + '/disc.cue', b'FILE "disc.bin" BINARY\n TRACK 01 MODE2/2352\n  INDEX 01 00:00:00\n')
        subprocess.run(['chdman', 'createcd', '-i', folder + '/disc.cue', '-o', folder + '/disc.chd'],
                       capture_output=True, check=True)
        samples['disc.chd'] = folder + '/disc.chd'
    return samples


def listed(text):
    """The rows of -l's output: (position, compressed, uncompressed, header, file)."""
    lines = text.splitlines()
    heading = next(i for i, line in enumerate(lines) if line.startswith('Position'))
    names = 'File' in lines[heading]
    rows = []
    for line in lines[heading + 1:-1]:
        fields = line.split()
        header = ' '.join(fields[3:6]) if fields[3] == 'header' else 'ok'
        rest = fields[6 if fields[3] == 'header' else 4:]
        rows.append((int(fields[0], 16), int(fields[1]), int(fields[2]), header, rest[0] if names else None))
    return lines[:heading], rows


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        cls.work = tempfile.mkdtemp(dir=WORK)
        cls.downloads = os.path.join(cls.work, 'downloads')
        os.makedirs(cls.downloads)
        cls.samples = make_samples(cls.work)
        options = webdriver.ChromeOptions()
        for arg in CHROME_ARGS + ['--user-data-dir=' + os.path.join(cls.work, 'profile')]:
            options.add_argument(arg)
        options.binary_location = shutil.which('chromium')
        cls.driver = webdriver.Chrome(service=Service(shutil.which('chromedriver')), options=options)
        cls.driver.set_script_timeout(120)
        cls.driver.execute_cdp_cmd('Page.setDownloadBehavior', {'behavior': 'allow', 'downloadPath': cls.downloads})
        cls.driver.get('file://' + PAGE)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.work, ignore_errors=True)

    def files(self, *paths):
        """A FileList of the given files, through a file input as a person picks them."""
        self.driver.execute_script(
            "let i = document.getElementById('test-files'); if (i) i.remove();"
            "i = document.createElement('input'); i.type = 'file'; i.multiple = true; i.id = 'test-files';"
            "i.hidden = true; document.body.appendChild(i);")
        self.driver.find_element('id', 'test-files').send_keys('\n'.join(paths))
        return self.driver.find_element('id', 'test-files')

    def call(self, script, *paths):
        """Runs script with `files` the picked files; a Blob result comes back
        as bytes, a refusal as ('refused', message)."""
        answer = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1]; const files = arguments[0].files;"
            "const bytes = (b) => b.arrayBuffer().then((a) => { let s = ''; const u = new Uint8Array(a);"
            "  for (let i = 0; i < u.length; i += 32768) s += String.fromCharCode.apply(null, u.subarray(i, i + 32768));"
            "  return {blob: btoa(s)}; });"
            "const answer = (r) => r instanceof Blob ? bytes(r) : r && r.blob instanceof Blob ?"
            "  bytes(r.blob).then((b) => ({report: r.report, blob: b.blob})) : r;"
            "Promise.resolve().then(() => " + script + ").then(answer)"
            ".then(done, (e) => done({refused: e instanceof Error ? e.message : String(e)}));",
            self.files(*paths))
        if isinstance(answer, dict) and 'refused' in answer:
            return ('refused', answer['refused'])
        if isinstance(answer, dict) and 'blob' in answer:
            data = base64.b64decode(answer['blob'])
            return (answer['report'], data) if 'report' in answer else data
        return answer

    def same(self, got, expected, what):
        """Bytes compared without printing them."""
        self.assertTrue(got == expected, '%s: %s bytes, not the tool\'s %d' % (
            what, 'no' if got is None else len(got), len(expected)))

    def test_list_and_unpack(self):
        for name, path in self.samples.items():
            with self.subTest(name):
                notices, rows = listed(tool(path, '-l').stdout.decode())
                self.assertGreater(len(rows), 0 if name == 'cut.bin' else 2)
                page = self.call('exspack.list(files[0])', path)
                self.assertEqual([(r['position'], r['compressed'], r['uncompressed'], r['header'], r['file'])
                                  for r in page], rows)
                for position, *_ in rows:
                    tool(path, self.work + '/record', '-d', '-p', position)
                    self.same(self.call('exspack.unpack(files[0], %d)' % position, path), read(self.work + '/record'),
                              'record at %d' % position)
                # The folder -l writes, as the page zips it.
                folder = os.path.join(self.work, name + '.records')
                tool(path, folder, '-l')
                archive = zipfile.ZipFile(write(self.work + '/all.zip', self.call('exspack.zip(files[0])', path)))
                self.assertEqual(sorted(archive.namelist()), sorted(os.listdir(folder)))
                for entry in archive.namelist():
                    self.same(archive.read(entry), read(os.path.join(folder, entry)), entry)

    def test_pack_and_unpack_single(self):
        for name, begin, size in [('script.bin', 0, 70000), ('sprites4bpp.bin', 5000, 40000), ('padded.bin', 0, 0)]:
            path = write(self.work + '/' + name, sample(name, begin, size))
            for options in [(), ('-b',)]:
                with self.subTest(name=name, options=options):
                    record = packed(read(path), *options)
                    script = 'exspack.pack(files[0], {best: %s})' % ('true' if options else 'false')
                    self.same(self.call(script, path), record, 'record')
                    self.same(self.call('exspack.unpack(files[0], 0)', write(self.work + '/r.exs', record)), read(path),
                              'unpacked')

    def edited_folder(self, container, grow=False):
        """The folder -l writes, every other record's bytes changed (and with
        grow every record so much that it no longer fits its room)."""
        folder = os.path.join(self.work, os.path.basename(container) + ('.grown' if grow else '.edited'))
        shutil.rmtree(folder, ignore_errors=True)
        tool(container, folder, '-l')
        names = sorted(n for n in os.listdir(folder) if n.endswith('.bin'))
        for i, name in enumerate(names):
            data = bytearray(read(os.path.join(folder, name)))
            if i % 2 == 0 and data:  # zeros, so that the record still fits
                data[len(data) // 3:len(data) // 3 + 200] = bytes(200)
            if grow:
                data += os.urandom(4096)
            write(os.path.join(folder, name), bytes(data))
        return folder, [os.path.join(folder, n) for n in os.listdir(folder)]

    def tool_put_back(self, source, container, position=None):
        """The tool's report, patch and changed copy for the same put-back."""
        copy = shutil.copy(container, self.work + '/changed' + os.path.splitext(container)[1])
        where = ['-p', position] if position is not None else []
        patch = tool(source, container, self.work + '/tool.ppf', '-i', *where, check=False)
        if patch.returncode != 0:
            return ('refused', patch.stderr.decode().rstrip('\n')), None
        tool(source, copy, '-i', *where)
        lines = patch.stdout.decode().splitlines()
        report = [(int(f[0], 16), int(f[1]), int(f[2]), int(f[3]), f[4], f[5] if len(f) > 5 else None)
                  for f in (line.split() for line in lines[1:-1])]
        return (report, read(self.work + '/tool.ppf')), read(copy)

    def page_put_back(self, container, files, options):
        """The patch after a listing of the same File, whose data the page
        takes rather than reading the file again; the changed file from a
        File not listed."""
        script = '%sexspack.putBack(files[0], Array.from(files).slice(1), %s)'
        result = []
        for patch, first in (('true', 'exspack.list(files[0]).catch(() => 0).then(() => '), ('false', '(')):
            answer = self.call(script % (first, '{patch: %s%s})' % (patch, options)), container, *files)
            if answer[0] == 'refused':
                return answer, None
            report = [(r['position'], r['room'], r['compressed'], r['uncompressed'], r['stream'], r['file'])
                      for r in answer[0]]
            result.append((report, answer[1]))
        return result[0], result[1][1]

    def test_put_back(self):
        disc = self.samples['disc.bin']
        folder, edited = self.edited_folder(disc)
        archive = write(self.work + '/edited.zip', b'')
        with zipfile.ZipFile(archive, 'w') as z:
            for path in edited:
                z.write(path, 'edited/' + os.path.basename(path))
        first = sorted(p for p in edited if p.endswith('.bin'))[0]
        position = int(os.path.basename(first)[:8], 16)
        bigger = self.edited_folder(self.samples['plain.bin'], grow=True)
        cases = [  # name, container, what the tool puts back, the files the page gets, options, refused
            ('folder into a raw image', disc, folder, edited, '', False),
            ('zip into a raw image', disc, folder, [archive], '', False),
            ('one file at a position', disc, first, [first], ', position: %d' % position, False),
            ('folder into an iso', self.samples['disc.iso'], *self.edited_folder(self.samples['disc.iso']), '', False),
            ('folder into a plain file', self.samples['plain.bin'], *self.edited_folder(self.samples['plain.bin']), '',
             False),
            # Refusals: the tool's message, and nothing offered.
            ('no room', self.samples['plain.bin'], *bigger, '', True),
            ('no record there', disc, first, [first], ', position: %d' % (position + 1), True),
            ('a cut raw image', self.samples['cut.bin'], folder, edited, '', True),
        ]
        for name, container, source, files, options, refused in cases:
            with self.subTest(name):
                expected, image = self.tool_put_back(source, container,
                                                     position=int(options.split(': ')[1]) if options else None)
                got, changed = self.page_put_back(container, files, options)
                self.assertEqual(expected[0] == 'refused', refused, expected[0])
                if refused:
                    self.assertEqual(got[0], 'refused')
                    # The page names its own copies of the files.
                    self.assertEqual(got[1].split(': ')[0], expected[1].split(': ')[0])
                    continue
                self.assertNotEqual({r[4] for r in expected[0]}, {'same'})
                self.assertEqual(got[0], expected[0])
                self.same(got[1], expected[1], 'patch')
                self.same(changed, image, 'changed file')

    def test_chd_patch(self):
        """A CHD takes the tool's patch, and is never written into."""
        chd = self.samples.get('disc.chd')
        if chd is None:
            self.skipTest('chdman is missing')
        folder, edited = self.edited_folder(chd)
        tool(folder, chd, self.work + '/tool.ppf', '-i')
        script = 'exspack.putBack(files[0], Array.from(files).slice(1), {patch: %s})'
        got = self.call(script % 'true', chd, *edited)
        self.same(got[1], read(self.work + '/tool.ppf'), 'patch')
        self.assertEqual(self.call(script % 'false', chd, *edited),
                         ('refused', "Error: Can't write into a CHD: give a third path for a PPF patch"))

    def test_ui(self):
        driver = self.driver
        disc = self.samples['disc.bin']
        notices, rows = listed(tool(disc, '-l').stdout.decode())
        driver.find_element('id', 'pick').send_keys(disc)
        table = driver.find_element('id', 'records')
        import selenium.webdriver.support.ui as ui
        ui.WebDriverWait(driver, 60).until(lambda d: len(table.find_elements('css selector', 'tbody tr')) == len(rows))
        self.assertEqual(driver.find_element('id', 'notice').text, notices[0])
        cells = [[td.text for td in tr.find_elements('tag name', 'td')]
                 for tr in table.find_elements('css selector', 'tbody tr')]
        self.assertEqual(cells, [['0x%08X' % r[0], str(r[1]), str(r[2]), r[3], r[4]] for r in rows])
        driver.set_window_size(1100, 700)
        driver.save_screenshot(os.path.join(WORK, 'screenshot.png'))

        # A click on a row downloads its record under the name -l gives it.
        name = '%08X.bin' % rows[1][0]
        table.find_elements('css selector', 'tbody tr')[1].click()
        saved = os.path.join(self.downloads, name)
        ui.WebDriverWait(driver, 30).until(lambda d: os.path.exists(saved) and os.path.getsize(saved) == rows[1][2])
        tool(disc, self.work + '/record', '-d', '-p', rows[1][0])
        self.same(read(saved), read(self.work + '/record'), name)

        # The filter keeps the rows of matching files.
        driver.find_element('id', 'filter').send_keys('movie')
        self.assertEqual([tr.text.split()[0] for tr in table.find_elements('css selector', 'tbody tr')],
                         ['0x%08X' % r[0] for r in rows if 'MOVIE' in r[4]])
        driver.find_element('id', 'filter').clear()
        driver.execute_script("document.getElementById('filter').dispatchEvent(new Event('input'))")

        # A file dropped onto its row goes back there; the report shows. One
        # that does not fit shows the tool's message, and nothing is offered.
        def drop(path):
            driver.execute_script(
                "const [target, input] = arguments; const data = new DataTransfer();"
                "for (const f of input.files) data.items.add(f);"
                "for (const type of ['dragover', 'drop'])"
                "  target.dispatchEvent(new DragEvent(type, {bubbles: true, cancelable: true, dataTransfer: data}));",
                table.find_elements('css selector', 'tbody tr')[1], self.files(path))
        folder, edited = self.edited_folder(disc)
        drop(os.path.join(folder, '%08X.bin' % rows[1][0]))
        report = driver.find_element('id', 'report')
        ui.WebDriverWait(driver, 60).until(lambda d: len(report.find_elements('css selector', 'tbody tr')) == 1)
        self.assertEqual(report.find_elements('css selector', 'tbody td')[0].text, '0x%08X' % rows[1][0])
        grown = self.edited_folder(disc, grow=True)[0]
        drop(os.path.join(grown, '%08X.bin' % rows[1][0]))
        ui.WebDriverWait(driver, 60).until(lambda d: d.find_element('id', 'message').text.startswith('Error: No room'))
        self.assertFalse(driver.find_element('id', 'putback').is_displayed())


if __name__ == '__main__':
    if TOOL is None:
        sys.exit(__doc__)
    try:
        import selenium  # noqa: F401
    except ImportError:
        skip('python3-selenium is missing')
    for program in ('chromium', 'chromedriver', 'genisoimage'):
        if shutil.which(program) is None:
            skip(program + ' is missing')
    if not os.path.exists(PAGE):
        skip(PAGE + ' is missing: .ci/web builds it')
    if not os.path.isdir(GAMELIKE):
        skip('no game-like sample data in ' + GAMELIKE)
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
