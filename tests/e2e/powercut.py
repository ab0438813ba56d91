#!/usr/bin/env python3
"""Power cuts under a real kernel: the static device program installs a
bundle as PID 1 of a real Linux kernel under QEMU, and the power is cut at
chosen moments by killing the emulator (SIGKILL). The card is attached with
no host cache between the guest and the image (cache=directsync): every
write the card acknowledged is in the image, and whatever the guest kernel
still held in its own page cache dies with the emulator, as a reader's RAM
does when its battery goes. The machine then powers up again, up to three
times, with no input, and host tools judge the card.

    powercut.py E2E_DIR WORK_DIR [--cuts ci|long|ANCHOR@SECONDS,...]
                [--jobs N] [--machine x86] [--family mmc] [--keep]

E2E_DIR holds what tests/e2e/prepare made (and bin/ beside it); each cut
works in WORK_DIR/cut-NN (kept with --keep or when it fails). Prints one
line per cut and the table of docs/power-cuts.md; the exit status is 1
when a promise was broken (a user file lost, an error on the FAT or ext3
that loses data, a cut outside the raw images' in-place window that does
not end in the old or the new system or with the update kept).
"""
import argparse
import concurrent.futures
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot  # noqa: E402  (the machines and the card tools of the other scenarios)

BOOT_TIMEOUT = 200     # seconds for one boot under software emulation on a busy machine
MOST_BOOTS_AFTER = 3   # boots after the cut
SECTOR = boot.SECTOR
DIAGSFS_AT = 876096 * SECTOR  # partition 3 of the MMC-boot family


# --- The machines a sweep can run on -------------------------------------------

class Machine:
    """How to start one emulated machine: `command(e2e, card, flag, board,
    cache)` gives the emulator's command line; `boards` names the board
    identifier of each family the machine can run."""

    def __init__(self, name, command, boards):
        self.name, self.command, self.boards = name, command, boards


MACHINES = {
    # The NOR-boot family needs the reader's NOR flash partitions (/dev/mtd/N
    # answering lock and unlock), which this machine does not have.
    "x86": Machine("x86", boot.qemu_command, {"mmc": "P1A0230000000000"}),
}


# --- The phases of an update, as the console shows them -------------------------

# (text of a console line, phase that begins with it), in the order they
# come. A cut belongs to the phase of the last of these lines it followed.
PHASES = [
    ("INFO:Found bundle ", "journal"),
    ("*** CHECKING ", "check"),
    ("INFO:DiagsFS:", "journal"),           # the verdict's last line: the journal gets the digests
    ("*** UPDATING ", "root file system"),  # the walk: boot images held, root fs streamed
    ("INFO:rootfs.img.gz update successful", "raw regions"),
    ("INFO:Rechecking Kernel", "diagnostics image"),
    ("INFO:removed temp diagsfs.img file.", "bundle removal"),
    ("was successful", "reboot"),
]
RAW_WINDOW = "raw regions"

# The fixed set CI runs: (console line, seconds after it). At least one cut
# lands in each phase; the offsets let a cut fall inside the writes that
# follow a line rather than between two of them.
CI_CUTS = [
    ("INFO:Found bundle ", 0), ("INFO:Found bundle ", 0.02), ("INFO:Found bundle ", 0.1),
    ("*** CHECKING ", 0.3),
    ("INFO:DiagsFS:", 0), ("INFO:DiagsFS:", 0.02), ("INFO:DiagsFS:", 0.1),
    ("*** UPDATING ", 0), ("*** UPDATING ", 0.3), ("*** UPDATING ", 0.8), ("*** UPDATING ", 1.5),
    ("INFO:rootfs.img.gz update successful", 0), ("INFO:rootfs.img.gz update successful", 0.1),
    ("INFO:imx35_selda/u-boot.bin update successful", 0), ("INFO:imx35_selda/u-boot.bin update successful", 0.1),
    ("INFO:imx35_selda/uImage update successful", 0),
    ("INFO:Rechecking Kernel", 0), ("INFO:Copying /diagsfs.img", 0), ("INFO:Copying /diagsfs.img", 0.2),
    ("INFO:removed temp diagsfs.img file.", 0), ("INFO:removing /mnt-us/update.bin", 0),
    ("INFO:removing /mnt-us/update.bin", 0.02), ("INFO:removing /mnt-us/update.bin", 0.1),
    ("was successful", 0), ("INFO:Rebooting", 0),
]


def long_cuts():
    """Every phase line at several offsets, and time offsets over the whole
    update from the moment the bundle is found."""
    cuts = []
    for line in dict.fromkeys([text for text, _ in PHASES] + [text for text, _ in CI_CUTS]):
        cuts += [(line, offset) for offset in (0, 0.01, 0.03, 0.1, 0.3)]
    cuts += [("INFO:Found bundle ", offset / 4) for offset in range(1, 60)]
    return cuts


# --- The old system, the owner's books and the bundle ---------------------------

BOOKS = [  # (path on the user store, size): made with mtools before the update
    ("notes.txt", 213),
    ("books/short story.txt", 1536),
    ("books/novel.epub", 300000),
    ("books/atlas.pdf", 6 * 1024 * 1024 + 77),
    ("books/comics/volume 1.cbz", 2 * 1024 * 1024),
]


def random_bytes(size, seed):
    out = bytearray()
    block = hashlib.sha256(seed.encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block * 64
    return bytes(out[:size])


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def put(card, offset, data):
    with open(card, "r+b") as f:
        f.seek(offset)
        f.write(data)


def make_system(tool, work, version):
    """One system: a boot loader, a kernel, a root file system (ext3 with a
    release file and a blob) and a diagnostics image, all differing between
    the "old" and the "new" version. Returns the paths and bytes."""
    new = version == "new"
    d = os.path.join(work, version)
    os.makedirs(d, exist_ok=True)
    system = {}
    write_file(os.path.join(d, "u-boot.data"), random_bytes(20000 if new else 19000, version + "u-boot"))
    system["uboot"] = os.path.join(d, "u-boot.bin")
    boot.run([tool("ckimage"), "--make-bootloader", os.path.join(d, "u-boot.data"), system["uboot"]])
    write_file(os.path.join(d, "uImage.data"), random_bytes(1300000 if new else 1200000, version + "kernel"))
    system["kernel"] = os.path.join(d, "uImage")
    boot.run(["mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "none", "-a", "0x80008000",
              "-e", "0x80008000", "-n", f"{version} kernel", "-d", os.path.join(d, "uImage.data"), system["kernel"]])
    tree = os.path.join(d, "tree")
    os.makedirs(os.path.join(tree, "etc"), exist_ok=True)
    os.makedirs(os.path.join(tree, "lib"), exist_ok=True)
    write_file(os.path.join(tree, "etc", "release"), f"{version} system\n".encode())
    write_file(os.path.join(tree, "lib", "blob"), random_bytes(1024 * 1024, version + "blob"))
    system["rootfs"] = os.path.join(d, "rootfs.img")
    boot.run(["mke2fs", "-q", "-t", "ext3", "-F", "-d", tree, "-E", "root_owner=0:0", system["rootfs"], "4M"])
    boot.run(["gzip", "-n", "-k", "-f", system["rootfs"]])
    system["diagsfs"] = os.path.join(d, "diagsfs.img")
    write_file(system["diagsfs"], random_bytes(2000000, version + "diags"))
    system["bytes"] = {}
    for what in ("uboot", "kernel", "rootfs", "diagsfs"):
        with open(system[what], "rb") as f:
            system["bytes"][what] = f.read()
    return system


def mtools_target(card):
    return f"{card}@@{boot.userstore_offset(card)}"


def make_template(args, machine, tool, work):
    """A card that went through its first boot, then holds the old system,
    the owner's books and the bundle of the new system."""
    card = os.path.join(work, "template.img")
    saved = os.path.join(args.e2e, "booted", "sd.img")
    stamp = os.path.join(args.e2e, "booted", "done")
    if os.path.exists(stamp) and os.path.getmtime(stamp) > os.path.getmtime(os.path.join(args.e2e, "initrd.gz")):
        boot.run(["cp", "--sparse=always", saved, card])
    else:
        with open(card, "wb") as f:
            f.truncate(boot.CARD_SIZE)
        result = power_up(machine, args, card, os.path.join(work, "template-flag.img"),
                          os.path.join(work, "template-boot.log"))
        if result.end != "kinit":
            boot.fail(f"the first boot of a blank card ended with {result.end}")
    old = make_system(tool, work, "old")
    new = make_system(tool, work, "new")
    _, p1_start, _ = boot.mbr_entries(card)[0]
    for what, at in (("uboot", boot.UBOOT_AT), ("kernel", boot.KERNEL_AT), ("rootfs", p1_start * SECTOR),
                     ("diagsfs", DIAGSFS_AT)):
        put(card, at, old["bytes"][what])
    target = mtools_target(card)
    books = {}
    for path, size in BOOKS:
        data = random_bytes(size, path)
        local = os.path.join(work, "book-" + os.path.basename(path))
        write_file(local, data)
        parts = path.split("/")
        for depth in range(1, len(parts)):
            folder = "::" + "/".join(parts[:depth])
            if subprocess.run(["mdir", "-i", target, folder], capture_output=True).returncode != 0:
                boot.run(["mmd", "-i", target, folder])
        boot.run(["mcopy", "-i", target, local, "::" + path])
        books[path] = data
    bundle = os.path.join(work, "update.bin")
    boot.run([tool("mkbundle"), "create", "--out", bundle,
              f"imx35_selda/u-boot.bin={new['uboot']}", f"imx35_selda/uImage={new['kernel']}",
              f"rootfs.img.gz={new['rootfs']}.gz", f"diagsfs.img={new['diagsfs']}"])
    boot.run(["mcopy", "-i", target, bundle, "::update.bin"])
    return card, old, new, books


# --- One power-up ------------------------------------------------------------------

class PowerUp:
    def __init__(self, end, transcript, seconds, phase=None, last_line=""):
        self.end, self.transcript, self.seconds = end, transcript, seconds
        self.phase, self.last_line = phase, last_line


# How a boot that nobody touches ends. A boot that says it reboots has
# written all it writes to the card (the user store is unmounted before,
# the raw images and the root file system were written synchronously): the
# ten-second wait and the kernel selection flag that follow are not on the
# card, so the harness stops the machine there.
ENDS = [
    ("KINIT: reached", "kinit"),
    ("Press R to continue...", "waits for R"),
    ("INFO:Rebooting ...", "reboot"),
]
# ... unless the user store could not be unmounted: its last writes are then
# still in the kernel's cache, for the sync before the restart.
UNMOUNT_TROUBLE = "ERROR:Trouble unmounting"


def phase_of(transcript):
    """The phase of the update the transcript had reached, and its last
    line."""
    phase, at = "before the update", -1
    for text, name in PHASES:
        found = transcript.rfind(text)
        if found > at:
            phase, at = name, found
    lines = [line for line in re.split(r"[\r\n]+", transcript) if line.strip()]
    return phase, (lines[-1] if lines else "")


def power_up(machine, args, card, flag, log_path, cut=None):
    """Powers the machine on with no input. cut: (console text, seconds):
    the power goes that long after the text shows; without one, or when the
    boot ends before the text shows, the boot ends by itself (ENDS, or the
    machine stops)."""
    with open(flag, "wb") as f:
        f.write(b"1\n")
        f.truncate(4096)
    command = machine.command(args.e2e, card, flag, machine.boards[args.family], "directsync")
    started = time.monotonic()
    seen = []
    with open(log_path, "w", encoding="utf-8", errors="replace") as log:
        child = pexpect.spawn(command[0], command[1:], encoding="utf-8", codec_errors="replace",
                              timeout=BOOT_TIMEOUT)
        child.logfile_read = log

        def read(patterns, timeout=BOOT_TIMEOUT):
            index = child.expect_exact(patterns, timeout=timeout)
            seen.append(child.before + (child.after if isinstance(child.after, str) else ""))
            return patterns[index]

        def read_for(seconds):
            """Keeps reading the console: a full terminal would stop the
            machine."""
            read([pexpect.TIMEOUT, pexpect.EOF], timeout=seconds)

        try:
            texts = [text for text, _ in ENDS]
            found = read(([cut[0]] if cut else []) + texts + [pexpect.EOF])
            if cut and found == cut[0]:
                if cut[1] > 0:
                    read_for(cut[1])
                end = "cut"
            elif found == pexpect.EOF or (dict(ENDS)[found] == "reboot" and UNMOUNT_TROUBLE in "".join(seen)):
                # The machine stops by itself: after a reboot, the flag
                # shows whether the kernel was selected.
                read([pexpect.EOF])
                with open(flag, "rb") as f:
                    end = "reboot" if f.read(2) == b"0\n" else "stopped"
            else:
                end = dict(ENDS)[found]
                if end == "kinit":
                    read([pexpect.EOF])
                elif end == "waits for R":
                    read_for(1)  # then the owner takes the battery out
        except pexpect.TIMEOUT:
            end = "hangs"
            # What the machine was doing, for the log.
            child.send("\x01c")
            child.send("info status\rinfo registers\r")
            read_for(2)
        child.kill(signal.SIGKILL)
        child.close(force=True)
    transcript = "".join(seen)
    phase, last = phase_of(transcript)
    return PowerUp(end, transcript, time.monotonic() - started, phase, last)


# --- Judging the card with host tools ----------------------------------------------

def extract(card, offset, length, out):
    """Copies a range of the card, keeping its holes."""
    with open(card, "rb") as src, open(out, "wb") as dst:
        dst.truncate(length)
        fd = src.fileno()
        at = offset
        end = offset + length
        while at < end:
            try:
                data_at = os.lseek(fd, at, os.SEEK_DATA)
            except OSError:
                break
            if data_at >= end:
                break
            hole_at = min(os.lseek(fd, data_at, os.SEEK_HOLE), end)
            src.seek(data_at)
            dst.seek(data_at - offset)
            remaining = hole_at - data_at
            while remaining:
                chunk = src.read(min(remaining, 1 << 22))
                dst.write(chunk)
                remaining -= len(chunk)
            at = hole_at


def holds(card, offset, old, new):
    data = boot.card_bytes(card, offset, max(len(old), len(new)))
    if data[:len(new)] == new:
        return "new"
    if data[:len(old)] == old:
        return "old"
    return "torn"


# fsck.vfat -n lines that lose nothing: the mark of a file system that was
# not unmounted, the free-space hint, and clusters no file owns (a removal
# the cut stopped short of freeing them).
FAT_HARMLESS = [
    r"^fsck\.fat \d",
    r"^\s*$",
    r"^There are differences between boot sector and its backup\.",
    r"^This is mostly harmless\.",
    r"^Differences: ",
    r"^  Not automatically fixing this\.",
    r"^Dirty bit is set\. Fs was not properly unmounted",
    r"^ Automatically removing dirty bit\.",
    r"^Free cluster summary wrong",
    r"^  Auto-correcting\.",
    r"^Reclaimed \d+ unused clusters?\b",
    r"^Leaving filesystem unchanged\.",
    r"^/dev/\S+: \d+ files, \d+/\d+ clusters",
    r"^\S+: \d+ files, \d+/\d+ clusters",
    r"^\s+\d+:[0-9a-f]{2}/[0-9a-f]{2}$",
    r"^Volume label '[^']*' stored in root directory is not valid\.",
    r"^  Auto-removing label\.",
    r"^FATs differ but appear to be intact\.",
    r"^Using first FAT\.",
]


def check_fat(card, work):
    """fsck.vfat -n on the user store: the lines that may lose data."""
    _, p4_start, _ = boot.mbr_entries(card)[3]
    _, inner_start, inner_size = boot.mbr_entries(card, p4_start * SECTOR)[0]
    image = os.path.join(work, "userstore.img")
    extract(card, (p4_start + inner_start) * SECTOR, inner_size * SECTOR, image)
    result = subprocess.run(["fsck.vfat", "-n", image], capture_output=True, text=True)
    os.remove(image)
    lines = (result.stdout + result.stderr).splitlines()
    bad = [line for line in lines if not any(re.search(p, line) for p in FAT_HARMLESS)]
    return result.returncode, bad, lines


def user_store_files(card):
    """The names on the user store's top level (upper case, as mdir may
    show short names), or None when it cannot be read."""
    result = subprocess.run(["mdir", "-b", "-i", mtools_target(card), "::"], capture_output=True, text=True)
    if result.returncode != 0:
        return None
    return sorted(os.path.basename(line.rstrip("/")) for line in result.stdout.splitlines() if line.strip())


def lost_books(card, books, work):
    lost = []
    for path, data in books.items():
        out = os.path.join(work, "read-back")
        result = subprocess.run(["mcopy", "-n", "-i", mtools_target(card), "::" + path, out], capture_output=True)
        got = None
        if result.returncode == 0:
            with open(out, "rb") as f:
                got = f.read()
            os.remove(out)
        if got != data:
            lost.append(path)
    return lost


def check_rootfs(card, old, new, work):
    """Old, new or torn, and whether e2fsck -n finds it clean."""
    _, p1_start, _ = boot.mbr_entries(card)[0]
    at = p1_start * SECTOR
    held = holds(card, at, old, new)
    image = os.path.join(work, "rootfs-check.img")
    extract(card, at, max(len(old), len(new)), image)
    result = subprocess.run(["e2fsck", "-n", "-f", image], capture_output=True, text=True)
    os.remove(image)
    return held, result.returncode == 0, result.stdout + result.stderr


def judge(card, old, new, books, work):
    """What the card holds, by host tools alone."""
    state = {
        "uboot": holds(card, boot.UBOOT_AT, old["bytes"]["uboot"], new["bytes"]["uboot"]),
        "kernel": holds(card, boot.KERNEL_AT, old["bytes"]["kernel"], new["bytes"]["kernel"]),
        "diagsfs": holds(card, DIAGSFS_AT, old["bytes"]["diagsfs"], new["bytes"]["diagsfs"]),
    }
    state["rootfs"], state["rootfs_clean"], state["e2fsck"] = check_rootfs(
        card, old["bytes"]["rootfs"], new["bytes"]["rootfs"], work)
    state["fsck_status"], state["fat_errors"], state["fsck"] = check_fat(card, work)
    files = user_store_files(card)
    state["files"] = files
    owners = {path.split("/")[0].upper() for path in books}
    state["bundle"] = files is not None and "UPDATE.BIN" in [f.upper() for f in files]
    state["journal"] = files is not None and "INSTALL.JNL" in [f.upper() for f in files]
    state["others"] = [f for f in (files or []) if f.upper() not in owners | {"UPDATE.BIN", "INSTALL.JNL"}]
    state["lost"] = lost_books(card, books, work)
    return state


REGIONS = ("uboot", "kernel", "rootfs", "diagsfs")
LABELS = {"uboot": "boot loader", "kernel": "kernel", "rootfs": "root fs", "diagsfs": "diagnostics image"}


def outcome(state):
    """new, old, kept or failed, and what is wrong when failed."""
    held = [state[r] for r in REGIONS]
    problems = []
    if not state["rootfs_clean"] and state["rootfs"] != "torn":
        problems.append("e2fsck finds errors")
    if state["files"] is None:
        problems.append("the user store cannot be read")
    if state["others"]:
        problems.append("left on the user store: " + " ".join(state["others"]))
    if not problems and all(h == "new" for h in held) and not state["bundle"] and not state["journal"]:
        return "new", ""
    if not problems and all(h == "old" for h in held) and state["bundle"] == state["journal"]:
        return ("kept" if state["bundle"] else "old"), ""
    if not problems and state["bundle"] and state["journal"] and "torn" not in (state["uboot"], state["kernel"]):
        return "kept", "mixed"
    parts = [f"{LABELS[r]} {state[r]}" for r in REGIONS]
    parts.append("bundle " + ("kept" if state["bundle"] else "gone"))
    parts.append("journal " + ("kept" if state["journal"] else "gone"))
    return "failed", ", ".join(problems + parts)


# --- One cut -----------------------------------------------------------------------

class CutResult:
    pass


def run_cut(number, cut, machine, args, template, old, new, books):
    work = os.path.join(args.work, f"cut-{number:02d}")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    card = os.path.join(work, "sd.img")
    flag = os.path.join(work, "flag.img")
    boot.run(["cp", "--sparse=always", template, card])
    r = CutResult()
    r.number, r.cut = number, cut
    first = power_up(machine, args, card, flag, os.path.join(work, "boot-0.log"), cut=cut)
    r.landed = first.end == "cut"
    r.phase, r.last_line, r.seconds = first.phase, first.last_line, [first.seconds]
    # Right after the cut: could the board start at all? The recovery
    # program lives in the kernel, so a torn kernel or boot loader in its
    # only place is the end of this reader.
    bricked = [LABELS[region] for region in ("uboot", "kernel")
               if holds(card, boot.UBOOT_AT if region == "uboot" else boot.KERNEL_AT,
                        old["bytes"][region], new["bytes"][region]) == "torn"]
    r.bricked = ", ".join(bricked)
    r.ends = [first.end]
    for n in range(1, MOST_BOOTS_AFTER + 1):
        after = power_up(machine, args, card, flag, os.path.join(work, f"boot-{n}.log"))
        r.ends.append(after.end)
        r.seconds.append(after.seconds)
        # The boot went on to the system, or the update finished (a reboot
        # that left neither the bundle nor the journal): the next boot has
        # nothing left to do for it.
        if after.end in ("kinit", "hangs"):
            break
        if after.end == "reboot" and not {"UPDATE.BIN", "INSTALL.JNL"} & {
                f.upper() for f in user_store_files(card) or ["UPDATE.BIN"]}:
            break
    r.state = judge(card, old, new, books, work)
    r.outcome, r.why = outcome(r.state)
    if r.bricked:
        r.outcome = "bricked"
        if r.phase != RAW_WINDOW:
            r.why = f"torn {r.bricked} outside the raw window"
    r.fat_errors = r.state["fat_errors"]
    r.lost = r.state["lost"]
    r.broken = bool(r.lost or r.fat_errors or r.outcome == "failed" or "hangs" in r.ends or
                    (r.outcome == "bricked" and r.phase != RAW_WINDOW))
    if not r.broken and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return r


def describe(r):
    text, seconds = r.cut
    return f"{text.strip()} +{seconds:g}s"


def report(results, machine, family):
    print()
    print(f"| cut (console line + seconds) | landed in | boots after the cut | outcome | user files lost | FAT errors |")
    print("|---|---|---|---|---|---|")
    for r in results:
        landed = r.phase if r.landed else "(boot ended first)"
        print(f"| {describe(r)} | {landed} | {' → '.join(r.ends[1:])} | {r.outcome}"
              f"{' (' + (r.bricked if r.outcome == 'bricked' else '') + (r.why if r.outcome != 'bricked' else '') + ')' if r.why or r.bricked else ''}"
              f" | {len(r.lost)} | {len(r.fat_errors)} |")
    count = lambda what: sum(1 for r in results if r.outcome == what)
    bricked = {}
    for r in results:
        if r.outcome == "bricked":
            bricked[r.bricked] = bricked.get(r.bricked, 0) + 1
    bricked_text = str(count("bricked")) + (" (" + ", ".join(f"{n} torn {w}" for w, n in bricked.items()) + ")"
                                             if bricked else "")
    print()
    print("| machine, family | cut points | recovered new | recovered old | kept for the next boot | bricked (which region) "
          "| failed | user files lost | FAT errors that lose data |")
    print("|---|---|---|---|---|---|---|---|---|")
    print(f"| {machine.name}, {family} | {len(results)} | {count('new')} | {count('old')} | {count('kept')} | {bricked_text} "
          f"| {count('failed')} | {sum(len(r.lost) for r in results)} | {sum(len(r.fat_errors) for r in results)} |")


def parse_cuts(spec):
    if spec == "ci":
        return CI_CUTS
    if spec == "long":
        return long_cuts()
    cuts = []
    for item in spec.split(","):
        text, _, seconds = item.rpartition("@")
        cuts.append((text, float(seconds)))
    return cuts


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("e2e")
    parser.add_argument("work")
    parser.add_argument("--cuts", default="ci")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--machine", default="x86", choices=sorted(MACHINES))
    parser.add_argument("--family", default="mmc")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    machine = MACHINES[args.machine]
    if args.family not in machine.boards:
        boot.fail(f"the {machine.name} machine cannot run the {args.family} family")
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    bin_dir = os.path.join(os.path.dirname(os.path.abspath(args.e2e)), "bin")
    tool = lambda name: os.path.join(bin_dir, name)
    template, old, new, books = make_template(args, machine, tool, args.work)
    cuts = parse_cuts(args.cuts)
    started = time.monotonic()
    results = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(run_cut, n, cut, machine, args, template, old, new, books)
                   for n, cut in enumerate(cuts)]
        for future in futures:
            r = future.result()
            results.append(r)
            print(f"cut {r.number:02d} {describe(r)}: landed in {r.phase if r.landed else '-'}"
                  f" [{r.last_line.strip()[:60]}], then {' → '.join(r.ends[1:])}: {r.outcome}"
                  f"{' ' + r.bricked if r.bricked else ''}{' ' + r.why if r.why else ''}"
                  f"{' LOST ' + ' '.join(r.lost) if r.lost else ''}"
                  f"{' FAT: ' + ' / '.join(r.fat_errors[:3]) if r.fat_errors else ''}"
                  f" ({' + '.join(f'{s:.0f}' for s in r.seconds)} s)", flush=True)
    report(results, machine, args.family)
    print(f"\n{len(results)} cuts in {time.monotonic() - started:.0f} s with {args.jobs} at a time")
    broken = [r for r in results if r.broken]
    if broken:
        print(f"FAILED: {len(broken)} cuts broke a promise: " + ", ".join(f"cut-{r.number:02d}" for r in broken),
              file=sys.stderr)
        return 1
    print("powercut: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
