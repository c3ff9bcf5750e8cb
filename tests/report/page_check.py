#!/usr/bin/env python3
"""report.html in a real browser (headless chromium): a generated recording of
four mice, then no script errors, every chart drawn in its device's colour (read
back from a screenshot), names with commas, quotes and markup shown as text, the
table and charts within a window 1280 px wide, count axes labelled 1, 10, 100...
and a missing figure's reason noted once. Then a slow mouse with a click during a
pause: the rate axis is scaled to its line, not to the click's lone interval.
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

# A window 1280 px wide, less its vertical scrollbar (chromium here hides its own).
VIEWPORT = 1280 - 17
LOG_HEADER = ('time_us,handle,index,usFlags,ulButtons,usButtonFlags,usButtonData,ulRawButtons,lLastX,lLastY,'
              'ulExtraInformation\n')

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


def boxes_of(markup, element):
    return [tuple(int(v) for v in box.split(','))
            for box in re.findall(r'<%s[^>]*data-box="([0-9,]+)"' % element, markup)]


def attribute(tag, name):
    found = re.search(r'\s%s="([^"]*)"' % name, tag)
    return html.unescape(found.group(1)) if found else None


def slow_mouse_with_a_click(folder):
    """20 Hz for 3 s, a pause with a click whose press and release are 286 us
    apart, then 20 Hz again: the click's bucket of the rate plot stands alone."""
    with open(folder + '/devices.csv', 'w') as f:
        f.write('handle,index,type,name,vendor,product,clock_us\n7,1,Mouse,"slow",,,1\n')
    times = [t * 50000 for t in range(61)] + [(4000000, 1), (4000286, 2)] + [5000000 + t * 50000 for t in range(61)]
    with open(folder + '/log.csv', 'w') as f:
        f.write(LOG_HEADER)
        for t in times:
            time_us, buttons = t if isinstance(t, tuple) else (t, 0)
            f.write('%d,7,1,0,0,%d,0,0,1,0,0\n' % (time_us, buttons))


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

        dom, log = chromium(work, page, '--window-size=%d,900' % VIEWPORT, '--dump-dom')
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

        tables = boxes_of(dom, 'table')
        widest = max([x + w for x, _, w, _ in tables + [box for _, _, box in boxes]] + [0])
        check('the table and the charts fit a window 1280 px wide', tables and widest <= VIEWPORT,
              'they reach %d px' % widest)
        canvases = re.findall(r'<canvas[^>]*>', dom)
        for tag in canvases[1::3]:
            labels = (attribute(tag, 'data-y-ticks') or '').split('|')
            check('count axis labelled at powers of ten: ' + ', '.join(labels),
                  len(labels) >= 2 and all(re.fullmatch(r'10*', label.replace(',', '')) for label in labels))
        table = dom[dom.find('<table'):dom.find('</table>')]
        marks = set(re.findall(r'n/a<sup>(\d+)</sup>', table))
        notes = re.findall(r'<p><sup>(\d+)</sup> n/a for index (\d+): a 1 ms clock', dom)
        check('the 1 ms clock of index 3 noted once, under the table',
              len(marks) == 1 and notes == [(next(iter(marks)), '3')] and 'n/a (' not in table,
              '%s %s' % (marks, notes))

        bottom = max([y + h for _, _, (x, y, w, h) in boxes] + [800]) + 20
        shot = work + '/shot.png'
        chromium(work, page, '--window-size=%d,%d' % (VIEWPORT, bottom), '--screenshot=' + shot)
        ppm = work + '/shot.ppm'
        subprocess.run(['convert', shot, ppm], check=True)
        image = read_ppm(ppm)
        for k, (name, colour, box) in enumerate(boxes):
            chart = ['rate', 'histogram', 'path'][k % 3]
            count = coloured_pixels(image, box, colour)
            check('%s of %s drawn in its colour' % (chart, name), count >= 30, '%d pixels' % count)

        slow = work + '/slow'
        os.mkdir(slow)
        slow_mouse_with_a_click(slow)
        run = subprocess.run([build + '/velmora-report', slow], capture_output=True, text=True)
        check('velmora-report reads the slow mouse', run.returncode == 0, run.stderr)
        dom, _ = chromium(work, slow + '/report.html', '--window-size=%d,900' % VIEWPORT, '--dump-dom')
        rate = re.findall(r'<canvas[^>]*>', dom)[:1]
        top = float(attribute(rate[0], 'data-y-max') or 'nan') if rate else float('nan')
        check('the rate axis fits the 20 Hz line, not the click', 20 <= top <= 30, 'axis to %s Hz' % top)
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
