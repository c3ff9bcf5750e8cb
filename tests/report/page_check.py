#!/usr/bin/env python3
"""report.html in a real browser (headless chromium): a generated recording of
four mice, then no script errors, every chart drawn in its device's colour (read
back from a screenshot) and names with commas, quotes and markup shown as text.
Usage: page_check.py BUILD_DIR   (closes with "N passed, M failed", and writes the
counts to the file VELMORA_COUNTS names)"""
import html
import os
import re
import shutil
import subprocess
import sys
import tempfile

TRACK_COLOURS = {1: (0, 0, 255), 2: (0, 128, 0), 3: (255, 0, 0)}
# The generator's names (bench/make_recording.cpp), as a reader should see them.
NAMES = ['Alpha, Inc. "Pro" Mouse', 'Beta 8K <b>mouse</b> & co', "Gamma's XI2 mouse, one ms",
         'Late "plugged" mouse']
CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
                  '--disable-background-networking', '--disable-component-update', '--disable-sync',
                  '--force-device-scale-factor=1', '--hide-scrollbars', '--enable-logging=stderr', '--v=0']

passed = failed = 0


def check(name, ok, detail=''):
    global passed, failed
    if ok:
        passed += 1
        print('PASS ' + name)
    else:
        failed += 1
        print('FAIL ' + name + (': ' + detail if detail else ''))


def chromium(work, page, *extra):
    profile = tempfile.mkdtemp(dir=work)
    result = subprocess.run(['chromium', *CHROMIUM_FLAGS, '--user-data-dir=' + profile, *extra,
                             'file://' + page], capture_output=True, text=True, timeout=120)
    return result.stdout, result.stderr


def script_errors(log):
    return [line for line in log.splitlines()
            if 'CONSOLE' in line and re.search(r'Uncaught|Error|error', line)]


def read_ppm(path):
    with open(path, 'rb') as f:
        data = f.read()
    parts = data.split(maxsplit=4)
    assert parts[0] == b'P6' and parts[3] == b'255'
    return int(parts[1]), int(parts[2]), parts[4]


def coloured_pixels(image, box, colour, tolerance=40):
    width, height, pixels = image
    x0, y0, w, h = box
    count = 0
    for y in range(max(0, y0), min(height, y0 + h)):
        row = pixels[3 * (y * width + x0):3 * (y * width + min(width, x0 + w))]
        for i in range(0, len(row), 3):
            if all(abs(row[i + k] - colour[k]) <= tolerance for k in range(3)):
                count += 1
    return count


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else 'build/linux')
    work = tempfile.mkdtemp(prefix='velmora-page-check.')
    try:
        subprocess.run([build + '/bench/velmora_make_recording', work, '200000'], check=True)
        run = subprocess.run([build + '/velmora-report', work], capture_output=True, text=True)
        check('velmora-report writes the page', run.returncode == 0 and os.path.exists(work + '/report.html'),
              run.stderr)
        page = work + '/report.html'
        source = open(page, encoding='utf-8').read()
        check('the page loads nothing from elsewhere',
              not re.search(r'<script[^>]*\ssrc=|<link\b|<img\b|@import', source))

        dom, log = chromium(work, page, '--dump-dom')
        errors = script_errors(log)
        check('no script errors', not errors and '</html>' in dom, '\n'.join(errors) or 'no DOM')
        for name in NAMES:
            # A text node serialises with &, < and > escaped and quotes as they are.
            text = name.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')
            check('name shown as it is: ' + name, dom.count(text) >= 2, 'not in the table and the heading')
        check('no markup made from a name', '<b>mouse</b>' not in dom)

        sections = re.findall(r'<div class="device" data-device="(\d+)"><h2><span class="swatch" '
                              r'style="background:rgb\((\d+),(\d+),(\d+)\)"></span>index (-?\d+): (.*?)</h2>'
                              r'<div class="charts">(.*?)</div></div>', dom)
        check('a section for each mouse', len(sections) == len(NAMES), str(len(sections)))
        boxes = []
        for number, r, g, b, index, name, charts in sections:
            colour = (int(r), int(g), int(b))
            index = int(index)
            if index in TRACK_COLOURS:
                check('index %d in its track colour' % index, colour == TRACK_COLOURS[index], str(colour))
            found = [tuple(int(v) for v in box.split(','))
                     for box in re.findall(r'<canvas[^>]*data-box="([0-9,]+)"', charts)]
            check('three charts drawn for index %d' % index, len(found) == 3, str(found))
            boxes += [(html.unescape(name), colour, box) for box in found]

        bottom = max([y + h for _, _, (x, y, w, h) in boxes] + [800]) + 20
        shot = work + '/shot.png'
        chromium(work, page, '--window-size=1400,%d' % bottom, '--screenshot=' + shot)
        ppm = work + '/shot.ppm'
        subprocess.run(['convert', shot, ppm], check=True)
        image = read_ppm(ppm)
        for k, (name, colour, box) in enumerate(boxes):
            chart = ['rate', 'histogram', 'path'][k % 3]
            count = coloured_pixels(image, box, colour)
            check('%s of %s drawn in its colour' % (chart, name), count >= 30, '%d pixels' % count)
    finally:
        if failed == 0:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print('kept for inspection: ' + work)
    print('%d passed, %d failed' % (passed, failed))
    if os.environ.get('VELMORA_COUNTS'):  # for the runner (scripts/lib/checks.sh)
        open(os.environ['VELMORA_COUNTS'], 'w').write('%d %d 0\n' % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
