#!/usr/bin/env python3
"""Runs scripts/demo against the built programs and opens the page of its
second power-up (report.html) in headless Chromium, as a reader of the page
would, with every network request made to fail.

    report_in_browser.py CHROMIUM SOURCE_DIR BIN_DIR WORK_DIR

It checks that the page stands on its own (every picture embedded, nothing
fetched), that every picture loaded in the browser (its natural size is the
panel's), that the pictures are the panel's recorded ones in the order they
were drawn, and that the outcome on top is the run's last line. It leaves
WORK_DIR/report.png, a screenshot of the page, to look at.
"""
import base64
import html
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

STEP_TIMEOUT = 240  # seconds for the demo, and for each browser run
PANEL = (600, 800)  # the demo device's panel
SCREENSHOT = (1280, 2400)

# Read the sizes once every picture has loaded or failed, and put them into
# the page, where --dump-dom finds them.
PROBE = """<script>
window.addEventListener("load", () => {
  const rows = [...document.images].map(i => i.complete + " " + i.naturalWidth + " " + i.naturalHeight);
  const probe = document.createElement("pre");
  probe.id = "probe";
  probe.textContent = "images " + rows.length + "\\n" + rows.join("\\n") + "\\nend";
  document.body.appendChild(probe);
});
</script>
"""


def fail(message):
    print(f"FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def run(command, what, **kwargs):
    """Runs command in its own process group, killed whole at the time-out."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)
    try:
        out, err = process.communicate(timeout=STEP_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        fail(f"{what} did not end within {STEP_TIMEOUT} s")
    out, err = out.decode(errors="replace"), err.decode(errors="replace")
    if process.returncode != 0:
        fail(f"{what} ended with status {process.returncode}:\n{out[-4000:]}\n{err[-4000:]}")
    return out, err


def chromium(binary, work, *args):
    """One headless Chromium run with a fresh profile and no network."""
    profile = tempfile.mkdtemp(prefix="profile-", dir=work)
    try:
        return run([binary, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    f"--user-data-dir={profile}", "--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>",
                    "--host-resolver-rules=MAP * ~NOTFOUND", "--hide-scrollbars", *args],
                   "chromium " + " ".join(a for a in args if not a.startswith("file:")))
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def main():
    if len(sys.argv) != 5:
        fail(__doc__)
    binary, source, bin_dir, work = sys.argv[1:]
    work = os.path.abspath(work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    out, _ = run([os.path.join(source, "scripts/demo"), "--no-build", "--bin", bin_dir, "--out", work], "scripts/demo")
    device = os.path.join(work, "demo-device")
    page_path = os.path.join(device, "report.html")
    if page_path not in out.splitlines()[-1]:
        fail(f"the demo's last line does not point to {page_path}:\n{out[-1000:]}")
    sim_lines = [line for line in out.splitlines() if line.startswith("SIM: ")]
    if len(sim_lines) != 2:
        fail(f"expected the two power-ups' last lines in the demo's output, found {sim_lines}")
    with open(page_path, encoding="utf-8") as f:
        page = f.read()

    # Standing on its own: no reference leads outside the page.
    for attribute, value in re.findall(r'\b(src|href)="([^"]*)"', page):
        if not value.startswith("data:"):
            fail(f"the page refers to {attribute}={value[:80]!r}, which a reader without the files cannot open")
    if re.search(r"url\(|@import|<link|<script|https?://", page):
        fail("the page loads something from outside itself (url(), @import, <link>, <script> or a web address)")

    # The pictures are those the panel recorded in the second power-up, in
    # the order it drew them, byte for byte.
    captions = re.findall(r"<figcaption>[^<]*\((screens/\d{3}\.png)\)</figcaption>", page)
    embedded = re.findall(r'src="data:image/png;base64,([^"]*)"', page)
    if not embedded or len(captions) != len(embedded):
        fail(f"{len(embedded)} embedded pictures, {len(captions)} captions naming their screens/ file")
    recorded = sorted(os.listdir(os.path.join(device, "screens")))
    if captions != [f"screens/{name}" for name in recorded[-len(captions):]]:
        fail(f"the page's pictures {captions} are not the last ones recorded, in order: {recorded}")
    for name, data in zip(captions, embedded):
        with open(os.path.join(device, name), "rb") as f:
            if base64.b64decode(data, validate=True) != f.read():
                fail(f"the picture embedded for {name} is not the recorded one")
    if not any("progress bar" in c for c in re.findall(r"<figcaption>([^<]*)</figcaption>", page)):
        fail("no picture of the progress bar on the page")

    # In the browser every picture loads at the panel's size.
    probe_path = os.path.join(work, "probe.html")
    with open(probe_path, "w", encoding="utf-8") as f:
        f.write(page.replace("</body>", PROBE + "</body>"))
    dom, _ = chromium(binary, work, "--dump-dom", "file://" + probe_path)
    found = re.search(r'<pre id="probe">images (\d+)\n(.*?)\nend</pre>', dom, re.S)
    if not found:
        fail(f"the browser's page holds no sizes of the pictures (did it load?):\n{dom[-2000:]}")
    rows = found.group(2).split("\n") if int(found.group(1)) else []
    if len(rows) != len(embedded):
        fail(f"the browser shows {len(rows)} pictures, the page embeds {len(embedded)}")
    for n, row in enumerate(rows):
        if row != f"true {PANEL[0]} {PANEL[1]}":
            fail(f"picture {n} ({captions[n]}) did not load in the browser: complete, width, height = {row}")
    outcome = re.search(r'<p id="outcome"[^>]*>(.*?)</p>', dom, re.S)
    if not outcome or sim_lines[-1] not in html.unescape(re.sub(r"<[^>]*>", "", outcome.group(1))):
        fail(f"the outcome on top does not show the run's last line {sim_lines[-1]!r}: "
             f"{outcome.group(1) if outcome else 'no outcome'}")

    # A screenshot, to look at.
    shot = os.path.join(work, "report.png")
    chromium(binary, work, f"--screenshot={shot}", f"--window-size={SCREENSHOT[0]},{SCREENSHOT[1]}",
             "file://" + page_path)
    with open(shot, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or struct.unpack(">II", head[16:24]) != SCREENSHOT:
        fail(f"no screenshot of {SCREENSHOT[0]} x {SCREENSHOT[1]} in {shot}")
    print(f"{len(rows)} pictures loaded; outcome {sim_lines[-1]!r}; screenshot {shot}")


if __name__ == "__main__":
    main()
