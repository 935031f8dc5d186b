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
    """Skips, saying why; in CI, which installs and builds all the test
    needs, that is a failure."""
    if os.environ.get('CI') == 'true':
        print('web test not run in CI: ' + reason)
        sys.exit(1)
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
            "window.b64 = (b) => bytes(b).then((r) => r.blob);"
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
            if os.environ.get('CI') == 'true':
                self.fail('chdman is missing in CI')
            self.skipTest('chdman is missing')
        folder, edited = self.edited_folder(chd)
        tool(folder, chd, self.work + '/tool.ppf', '-i')
        script = 'exspack.putBack(files[0], Array.from(files).slice(1), {patch: %s})'
        got = self.call(script % 'true', chd, *edited)
        self.same(got[1], read(self.work + '/tool.ppf'), 'patch')
        self.assertEqual(self.call(script % 'false', chd, *edited),
                         ('refused', "Error: Can't write into a CHD: give a third path for a PPF patch"))

    def tool_in(self, folder, *args):
        """The tool run in folder, on names as the page's files have them:
        its output, or ('refused', its message)."""
        run = subprocess.run([TOOL, *map(str, args)], capture_output=True, cwd=folder)
        return run.stdout.decode() if run.returncode == 0 else ('refused', run.stderr.decode().rstrip('\n'))

    def test_positions(self):
        """Positions as text, read by the tool's own -p parser."""
        disc = self.samples['disc.bin']
        first = listed(tool(disc, '-l').stdout.decode())[1][1][0]
        for text in ['0x%X' % first, str(first), '0x%xzz' % first, '/DATA/FIELD.DAT+0x64', '/DATA/FIELD.DAT+100',
                     '/NOPE.BIN+0x0', '/DATA/FIELD.DAT+0x99999', 'NaN', '-1', '1e20', '2D000', '']:
            with self.subTest(text):
                expected = self.tool_in(self.work, 'disc.bin', 'record', '-d', '-p', text)
                got = self.call('exspack.unpack(files[0], %r)' % text, disc)
                if isinstance(expected, tuple):
                    self.assertEqual(got, expected)
                else:
                    self.same(got, read(self.work + '/record'), text)

    def edit(self, data, seed):
        data = bytearray(data)
        data[seed * 50:seed * 50 + 300] = bytes([seed]) * 300
        return bytes(data)

    def test_session(self):
        """Edits add up: the patch and the image hold every pending change,
        a later edit of a record replacing the earlier, as the tool puts
        back a folder of them."""
        disc = self.samples['disc.bin']
        work = os.path.join(self.work, 'session')
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        tool(disc, work + '/listed', '-l')
        rows = listed(tool(disc, '-l').stdout.decode())[1]
        original = {r[0]: read('%s/listed/%08X.bin' % (work, r[0])) for r in rows}
        p0, p1, p2 = (r[0] for r in rows[:3])

        def edited(name, position, seed):
            return write('%s/%s' % (work, name), self.edit(original[position], seed))

        def expected(changes, image=False):
            folder = '%s/expected' % work
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            for position, path in changes.items():
                shutil.copy(path, '%s/%08X.bin' % (folder, position))
            if image:
                copy = shutil.copy(disc, work + '/changed.bin')
                tool(folder, copy, '-i')
                return read(copy)
            tool(folder, disc, work + '/expected.ppf', '-i')
            return read(work + '/expected.ppf')

        a, b, c = edited('a.bin', p0, 1), edited('b.bin', p1, 2), edited('c.bin', p0, 3)
        steps = [  # what the session is told, the changes it then holds
            ('put(files[1], "0x%X")' % p0, {p0: a}),
            ('put(files[2], "%d")' % p1, {p0: a, p1: b}),
            ('put(files[3], "0x%X")' % p0, {p0: c, p1: b}),  # a later edit of the record replaces the earlier
            ('remove("0x%X")' % p1, {p0: c}),
        ]
        script = 'exspack.session(files[0]).then(async (s) => { const out = [];'
        for step, _ in steps:
            script += 'await s.%s; out.push({changes: (await s.changes()).map((c) => [c.position, c.input]),' \
                      ' patch: await bytes(await s.patch())});' % step
        script += 'out.push(await bytes(await s.image())); return out; })'
        answer = self.call(script.replace('bytes(', 'window.b64('), disc, a, b, c)
        for (step, changes), got in zip(steps, answer):
            with self.subTest(step):
                self.assertEqual(got['changes'], [[p, os.path.basename(changes[p])] for p in sorted(changes)])
                self.same(base64.b64decode(got['patch']), expected(changes), 'patch')
        self.same(base64.b64decode(answer[-1]), expected(steps[-1][1], image=True), 'image')

        # A zip whose entries sit in one folder is read as that folder; what
        # is not taken is named, with the tool's words.
        folder = '%s/zipped' % work
        os.makedirs(folder + '/sub')
        write('%s/%08X.bin' % (folder, p2), self.edit(original[p2], 4))
        write(folder + '/26725EBC.txt', b'notes')
        write(folder + '/sub/%08X.bin' % p1, original[p1])
        archive = write(work + '/edits.zip', b'')
        with zipfile.ZipFile(archive, 'w') as z:
            for root, _, names in os.walk(folder):
                for name in names:
                    z.write(os.path.join(root, name), 'edits/' + os.path.relpath(os.path.join(root, name), folder))
        run = tool(folder, disc, work + '/zip.ppf', '-i')
        got = self.call('exspack.session(files[0]).then((s) => s.put(files[1]).then((r) => s.patch().then('
                        '(b) => window.b64(b)).then((p) => [r.report, p])))', disc, archive)
        self.assertEqual(got[0], run.stderr.decode() + run.stdout.decode())
        self.same(base64.b64decode(got[1]), read(work + '/zip.ppf'), 'patch of the zip')

    def test_padded_then_original(self):
        """A record put back shorter and padded with zeros: the original no
        longer fits the record the disc now holds, the message points to the
        records.tsv of the first listing, and with it goes back as the tool
        puts it."""
        disc = self.samples['disc.bin']
        work = os.path.join(self.work, 'padded')
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        tool(disc, work + '/listed', '-l')
        position = listed(tool(disc, '-l').stdout.decode())[1][1][0]
        name = '%08X.bin' % position
        small = write(work + '/small.bin', bytes(16))
        copy = shutil.copy(disc, work + '/disc.bin')
        self.assertIn('padded', tool(small, copy, '-i', '-p', position).stdout.decode())
        image = self.call('exspack.session(files[0]).then((s) => s.put(files[1], %d).then(() => s.image()))' % position,
                          disc, small)
        self.same(image, read(copy), 'padded image')
        refused = self.call('exspack.session(files[0]).then((s) => s.put(files[1], %d))' % position,
                            copy, work + '/listed/' + name)
        self.assertEqual(refused[0], 'refused')
        self.assertIn('records.tsv from before an earlier put-back', refused[1])
        # The tool, given the file alone, without the records.tsv beside it.
        alone = shutil.copy(work + '/listed/' + name, work + '/' + name)
        said = self.tool_in(work, alone, 'disc.bin', 'alone.ppf', '-i', '-p', position)[1]
        self.assertTrue(said.startswith('Error: No room for '), said)
        self.assertEqual(refused[1].split('\n')[0], said.replace(alone, name))
        os.makedirs(work + '/back')
        for entry in (name, 'records.tsv'):
            shutil.copy(work + '/listed/' + entry, work + '/back/' + entry)
        tool(work + '/back', copy, work + '/back.ppf', '-i')
        got = self.call('exspack.session(files[0]).then((s) => s.put([files[1], files[2]]).then(() => s.patch()))',
                        copy, work + '/back/' + name, work + '/back/records.tsv')
        self.same(got, read(work + '/back.ppf'), 'patch with records.tsv')

    def test_cue_sheets(self):
        """A cue sheet with its track files opens the disc as the tool opens
        the sheet: listing, records and patch the tool's."""
        work = os.path.join(self.work, 'cue')
        os.makedirs(work, exist_ok=True)
        raw, iso = read(self.samples['disc.bin']), read(self.samples['disc.iso'])
        audio = bytes(2352 * 20)
        sheets = {  # name: sheet, {track file: bytes}
            'one.cue': ('FILE "one.bin" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n', {'one.bin': raw}),
            'iso.cue': ('FILE "iso.iso" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n', {'iso.iso': iso}),
            'game.cue': ('FILE "Game (Track 1).bin" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n'
                         'FILE "Game (Track 2).bin" BINARY\r\n  TRACK 02 AUDIO\r\n    INDEX 01 00:00:00\r\n',
                         {'Game (Track 1).bin': raw, 'Game (Track 2).bin': audio}),
            'mixed.cue': ('FILE "mixed.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
                          '  TRACK 02 MODE2/2352\n    INDEX 01 00:00:%02d\n' % 20, {'mixed.bin': audio + raw}),
        }
        for sheet, (text, tracks) in sheets.items():
            with self.subTest(sheet):
                paths = [write(os.path.join(work, sheet), text.encode())]
                paths += [write(os.path.join(work, name), data) for name, data in tracks.items()]
                output = self.tool_in(work, sheet, '-l')
                notices, rows = listed(output)
                self.assertGreater(len(rows), 2)
                got = self.call('exspack.session(files).then((s) => [s.notice, s.rows.map((r) => r.position)])', *paths)
                self.assertEqual(got, ['\n'.join(notices), [r[0] for r in rows]])
                position = rows[1][0]
                self.tool_in(work, sheet, 'record', '-d', '-p', '0x%X' % position)
                self.same(self.call('exspack.unpack(files, "0x%X")' % position, *paths), read(work + '/record'), 'record')
                edited = write(work + '/edited.bin', self.edit(read(work + '/record'), 5))
                self.tool_in(work, 'edited.bin', sheet, 'tool.ppf', '-i', '-p', position)
                got = self.call('exspack.session(Array.from(files).slice(1)).then((s) => s.put(files[0], %d)'
                                '.then(() => s.patch()))' % position, edited, *paths)
                self.same(got, read(work + '/tool.ppf'), 'patch')
                # The sheet without the file of its data track.
                missing = next(name for name in tracks if name != 'Game (Track 2).bin')
                got = self.call('exspack.session(Array.from(files))', *[p for p in paths if not p.endswith(missing)])
                self.assertEqual(got, ('refused', 'The cue sheet names "%s": pick or drop it with the sheet' % missing))

    def test_cancel(self):
        big = self.work + '/big.bin'
        with open(big, 'wb') as f:
            f.truncate(400 << 20)
        got = self.call('Promise.all([exspack.list(files[0]).catch((e) => e.message),'
                        ' exspack.zip(files[0]).catch((e) => e.message), exspack.cancel()])', big)
        self.assertEqual(got[:2], ['Cancelled', 'Cancelled'])

    def test_ui(self):
        """The loop as a person goes through it: open by the picker, edits
        dropped on two rows (two files on one), the changes beside the
        actions, which stay in view, the patch and the image saved under
        names of their own, a change removed; files that hold no record."""
        import selenium.webdriver.support.ui as ui
        driver = self.driver
        driver.set_window_size(1100, 800)
        shots = os.path.join(WORK, 'screenshots')
        os.makedirs(shots, exist_ok=True)
        step = [0]

        def shot(name):
            step[0] += 1
            driver.save_screenshot(os.path.join(shots, '%02d-%s.png' % (step[0], name)))

        def text(element_id):
            return driver.find_element('id', element_id).text

        def wait(condition, seconds=60):
            ui.WebDriverWait(driver, seconds).until(lambda d: condition())

        def visible_rows():
            return [[td.text for td in tr.find_elements('tag name', 'td')]
                    for tr in driver.find_elements('css selector', '#rows tbody tr')]

        def drop(target, *paths):
            driver.execute_script(
                "const [target, input] = arguments; const data = new DataTransfer();"
                "for (const f of input.files) data.items.add(f);"
                "for (const type of ['dragover', 'drop'])"
                "  target.dispatchEvent(new DragEvent(type, {bubbles: true, cancelable: true, dataTransfer: data}));",
                target, self.files(*paths))

        def row(position):
            return next(tr for tr in driver.find_elements('css selector', '#rows tbody tr')
                        if tr.text.startswith('0x%08X' % position))

        driver.get('file://' + PAGE)
        disc = self.samples['disc.bin']
        notices, rows = listed(tool(disc, '-l').stdout.decode())
        driver.find_element('id', 'pick').send_keys(disc)
        wait(lambda: len(visible_rows()) == len(rows))
        self.assertEqual(text('notice'), notices[0])
        self.assertEqual(text('open-status'), 'disc.bin: %d records' % len(rows))
        self.assertEqual(visible_rows(), [['0x%08X' % r[0], str(r[1]), str(r[2]), r[3], r[4]] for r in rows])
        shot('opened')

        # A click on a row downloads its record under the name -l gives it.
        name = '%08X.bin' % rows[1][0]
        row(rows[1][0]).click()
        saved = os.path.join(self.downloads, name)
        wait(lambda: os.path.exists(saved) and os.path.getsize(saved) == rows[1][2], 30)
        tool(disc, self.work + '/record', '-d', '-p', rows[1][0])
        self.same(read(saved), read(self.work + '/record'), name)

        # Edits on two rows add up; of two files on one row one is taken and
        # the other named.
        work = os.path.join(self.work, 'ui')
        os.makedirs(work)
        tool(disc, work + '/listed', '-l')
        edits = [write('%s/%08X.bin' % (work, r[0]), self.edit(read('%s/listed/%08X.bin' % (work, r[0])), 6))
                 for r in rows[:2]]
        stray = write(work + '/stray.bin', b'stray')
        drop(row(rows[0][0]), edits[0])
        wait(lambda: text('changecount') == '1 changed, %d untouched' % (len(rows) - 1))
        drop(row(rows[1][0]), edits[1], stray)
        wait(lambda: text('changecount') == '2 changed, %d untouched' % (len(rows) - 2))
        self.assertIn('Left out: stray.bin', text('put-status'))
        self.assertEqual([tr.text.split()[0] for tr in driver.find_elements('css selector', '#changed tbody tr')],
                         ['0x%08X' % r[0] for r in rows[:2]])
        shot('two-edits')

        # Scrolled to the end, the actions are still in view; each download
        # is named for what it is and says so beside its button.
        driver.execute_script('window.scrollTo(0, document.body.scrollHeight)')
        top = driver.execute_script("return document.getElementById('patch').getBoundingClientRect().top")
        self.assertTrue(0 <= top < 800, top)
        folder = os.path.join(work, 'both')
        os.makedirs(folder)
        for path in edits:
            shutil.copy(path, folder)
        tool(folder, disc, work + '/both.ppf', '-i')
        copy = shutil.copy(disc, work + '/changed.bin')
        tool(folder, copy, '-i')
        for button, name, data in [('patch', 'disc.ppf', read(work + '/both.ppf')),
                                   ('image', 'disc (edited).bin', read(copy))]:
            driver.find_element('id', button).click()
            saved = os.path.join(self.downloads, name)
            wait(lambda: os.path.exists(saved) and os.path.getsize(saved) == len(data), 30)
            self.same(read(saved), data, name)
            wait(lambda: text(button + '-status').startswith('Saved ' + name + ', '))
        shot('saved')

        # A change removed; a drop outside every zone opens nothing.
        remove = driver.find_element('css selector', '#changed tbody tr button')
        driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", remove)
        remove.click()
        wait(lambda: text('changecount') == '1 changed, %d untouched' % (len(rows) - 1))
        drop(driver.find_element('tag name', 'h1'), self.samples['plain.bin'])
        self.assertEqual(len(visible_rows()), len(rows))
        self.assertTrue(text('open-status').startswith('Drop a disc on Open'))

        # A file that holds no record says so, and what it is.
        ppf = write(self.work + '/old.ppf', read(work + '/both.ppf'))
        cut = write(self.work + '/short.bin', raw_image(bytes(2048 * 3)) + bytes(5))
        for path, said in [(ppf, 'old.ppf holds no record: a PPF patch'),
                           (cut, 'short.bin holds no record: a cut raw image: 5 bytes past the last whole sector')]:
            # A picker that takes several files adds to them under the driver.
            driver.execute_script("document.getElementById('pick').value = ''")
            driver.find_element('id', 'pick').send_keys(path)
            wait(lambda: text('open-status') == said)
        shot('no-record')

    def test_many_rows(self):
        """Thousands of rows: only those in view are in the page, and
        sorting reorders them without building the table again."""
        import selenium.webdriver.support.ui as ui
        driver = self.driver
        record = packed(sample('script.bin', 0, 300))
        path = write(self.work + '/many.bin', b''.join(record + bytes([i % 251]) for i in range(4000)))
        rows = listed(tool(path, '-l').stdout.decode())[1]
        self.assertEqual(len(rows), 4000)
        driver.get('file://' + PAGE)
        driver.find_element('id', 'pick').send_keys(path)
        ui.WebDriverWait(driver, 60).until(lambda d: d.find_element('id', 'count').text == '4,000 records')
        count = lambda: driver.execute_script("return document.querySelectorAll('#rows tbody tr').length")
        self.assertLess(count(), 80)
        took = driver.execute_script(
            "const t = performance.now(); document.querySelector('#head th').click();"
            "document.querySelector('#head th').click(); return performance.now() - t;")
        self.assertLess(took, 100)
        first = driver.find_element('css selector', '#rows tbody tr').text.split()[0]
        self.assertEqual(first, '0x%08X' % rows[-1][0])
        driver.execute_script("const s = document.getElementById('scroller'); s.scrollTop = s.scrollHeight;"
                              "s.dispatchEvent(new Event('scroll'))")
        ui.WebDriverWait(driver, 10).until(lambda d: d.find_elements('css selector', '#rows tbody tr')[-1].text
                                           .startswith('0x%08X' % rows[0][0]))
        self.assertLess(count(), 80)
        driver.save_screenshot(os.path.join(WORK, 'screenshot.png'))


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
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
