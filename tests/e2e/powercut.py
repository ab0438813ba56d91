#!/usr/bin/env python3
"""Power cuts under a real kernel: the static device program installs a
bundle as PID 1 of a real Linux kernel under QEMU, and the power is cut at
chosen moments by killing the emulator (SIGKILL). That loses what a power
cut loses: the machine's RAM, with whatever the guest kernel had not yet
written to the card (its page cache, the FAT and directory blocks it keeps,
a block the card was still receiving). What the card had taken is in the
image: the emulated card writes each 512-byte block to the image as it
completes it, and QEMU keeps no cache of its own for a raw image, so with
any cache mode the image holds exactly the blocks the card acknowledged
once the emulator is killed. The host's page cache survives the kill of a
process, so cache=directsync or writethrough (a flush to the host's disk
after every block) would only add safety against a crash of the host, at
about half again the time of every boot and with many more stalls of the
emulator (KICK_SECONDS); the default is therefore writeback, and --cache
takes the others. The machine then powers up again, up to three times,
with no input, and host tools judge the card.

    powercut.py E2E_DIR WORK_DIR [--cuts ci|long|#WRITE,LINE@SECONDS,...]
                [--stride N] [--store-stride N]
                [--step all|reference|cuts|table] [--slice K/N]
                [--jobs N] [--machine x86|arm] [--family mmc] [--keep]
                [--cache writeback|none|directsync|writethrough] [--tools DIR]

E2E_DIR holds what tests/e2e/prepare made (and bin/ beside it, or --tools).
The reference step makes the card (a first boot, the old system, the
owner's books, the bundle) and runs the update without a cut, its card
writes traced; the cuts step runs the cuts of its slice (the Kth of every N)
from what the reference step left in WORK_DIR; the table step prints the
table of every cut the cuts steps ran; all does the three. Each cut works in
WORK_DIR/cut-NNN (kept with --keep or when it broke a promise) and leaves
its result in WORK_DIR/results. Prints one line per cut and the table of
docs/power-cuts.md; the exit status is 1 when a promise was broken (a user
file lost, an error on the FAT or ext3 that loses data, a torn raw region
from a cut outside its in-place write, an end that is neither the old nor
the new system nor the update kept for the next boot, a mixed system
handed over, a boot that hangs).
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pexpect

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boot  # noqa: E402  (the machines and the card tools of the other scenarios)

BOOT_TIMEOUT = 200     # seconds for one boot under software emulation on a busy machine
# The emulator (QEMU 7.2, software emulation) now and then leaves its
# halted processor asleep after an interrupt came (about one boot in ten
# with the card slowed by heavy I/O on the host, none in hundreds without):
# the machine then sleeps until something else wakes it, minutes later,
# and its clock jumps. A console silent for this long gets the processor
# woken through the monitor. Waking a processor that runs changes nothing,
# so a kick in a long quiet stretch of a healthy boot (the kernel's own
# start on a busy host) costs nothing either.
KICK_SECONDS = 10
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
    "x86": Machine("x86", boot.QEMU["x86"], {"mmc": boot.BOARD}),
    # The ARMv6 board of the ARM build (E2E_DIR made by prepare --machine
    # arm); a boot takes three to five times as long as on the PC.
    "arm": Machine("arm", boot.QEMU["arm"], {"mmc": boot.BOARD}),
}


# --- The phases of an update, and where its writes land ---------------------------

# (text of a console line, phase that begins with it), in the order they
# come. A write, or a cut, belongs to the phase of the last of these lines
# before it.
PHASES = [
    ("INFO:Found bundle ", "journal"),
    ("*** CHECKING ", "check"),
    ("INFO:DiagsFS:", "journal"),           # the verdict's last line: the journal gets the digests
    ("*** UPDATING ", "install"),           # root file system streamed, boot images held, then written
    ("INFO:Rechecking Kernel", "diagnostics image"),  # NOR-boot family, and the MMC-boot one before
    ("INFO:Copying /diagsfs.img", "diagnostics image"),
    ("INFO:removed temp diagsfs.img file.", "bundle removal"),
    ("INFO:This update's log is ", "update log"),  # written once the attempt has ended
    ("was successful", "reboot"),
]
# Where a torn boot image is part of the documented risk: the in-place
# write of the kernel or the boot loader, which have no second copy here.
RAW_REGIONS = ("boot loader", "kernel")

# Every block the emulated card writes shows on the console stream (QEMU's
# trace of the card, on the same terminal), and so does every write it
# refuses once a cut by write number has come.
WRITE_TRACE = re.compile(r"sdcard_write_block addr 0x([0-9a-f]+) size")
REFUSED = "sd_blk_write: write error on host side"
MARKERS = re.compile("|".join(re.escape(text) for text, _ in PHASES))


class Layout:
    """Byte ranges of the card (read with host tools from the template):
    the raw regions, the partitions, and the user store's boot sectors, FAT
    and data clusters."""

    def __init__(self, card):
        self.partitions = [(start * SECTOR, (start + size) * SECTOR) for _, start, size in boot.mbr_entries(card)]
        self.userstore = boot.userstore_offset(card)
        bpb = boot.card_bytes(card, self.userstore, SECTOR)
        sector = int.from_bytes(bpb[11:13], "little")
        self.fat = self.userstore + int.from_bytes(bpb[14:16], "little") * sector
        self.data = self.fat + bpb[16] * int.from_bytes(bpb[36:40], "little") * sector

    def region(self, at):
        if at < SECTOR:
            return "partition table"
        if at < boot.UBOOT_AT:
            return "before the boot loader"
        if at < boot.KERNEL_AT:
            return "boot loader"
        if at < self.partitions[0][0]:
            return "kernel"
        for number, (start, end) in enumerate(self.partitions, 1):
            if start <= at < end:
                if number != 4:
                    return ("root file system", "variable data", "diagnostics image")[number - 1]
                if at < self.userstore:
                    return "user store's table"
                if at < self.fat:
                    return "user store's boot sectors"
                return "FAT" if at < self.data else "user store's folders and files"
        return "elsewhere"


class Write:
    def __init__(self, number, phase, region):
        self.number, self.phase, self.region = number, phase, region


def writes_of(transcript, layout):
    """The card writes of a traced boot, numbered from power-on, each with
    its phase and region."""
    writes, phase = [], "before the update"
    phase_of_marker = dict(PHASES)
    for match in re.finditer(f"{WRITE_TRACE.pattern}|{MARKERS.pattern}", transcript):
        if match.group(1) is None:
            phase = phase_of_marker[match.group(0)]
        else:
            writes.append(Write(len(writes) + 1, phase, layout.region(int(match.group(1), 16))))
    return writes


def runs_of(writes):
    """Writes grouped into runs of one phase and one region."""
    runs = []
    for w in writes:
        if runs and (runs[-1][0].phase, runs[-1][0].region) == (w.phase, w.region):
            runs[-1].append(w)
        else:
            runs.append([w])
    return runs


# --- Cut points ----------------------------------------------------------------------

class Cut:
    """A moment for the power to go: before the Nth block the card writes
    after power-on (the card refuses it and every later one, and the
    machine is stopped), or a number of seconds after a console line (the
    emulator is killed then, wherever the machine is)."""

    def __init__(self, write=None, line=None, seconds=0.0, where=""):
        self.write, self.line, self.seconds, self.where = write, line, seconds, where

    def __str__(self):
        if self.write is not None:
            return f"write {self.write} ({self.where})"
        return f"{self.line.strip()} +{self.seconds:g} s"


# The fixed set CI runs: each (phase, region, which run of that phase and
# region, where in the run: 0 its first write, 1 its last), read off the
# reference update's writes, so that the cuts follow the update when its
# write counts change; a run that is no longer there fails the sweep, for
# the table to be revised. Together they cover the journal, the root file
# system, the page of the partition table and the boot loader, the boot
# loader, the kernel, the diagnostics image and the user store at every
# removal.
CI_WRITE_CUTS = [
    ("journal", "FAT", 1, 0),                                     # the first journal, beside
    ("journal", "user store's folders and files", 1, 0),
    ("journal", "user store's folders and files", 2, 0),          # its rename
    ("journal", "FAT", 3, 0.5),                                   # the boot counted
    ("journal", "user store's folders and files", 4, 0),          # its rename
    ("journal", "user store's folders and files", 6, 0),          # the digests' rename
    ("install", "root file system", 1, 0),
    ("install", "root file system", 1, 1),
    ("install", "partition table", 1, 0),
    ("install", "boot loader", 1, 0.5),
    ("install", "kernel", 1, 0),
    ("install", "kernel", 1, 0.5),
    ("install", "kernel", 1, 1),
    ("diagnostics image", "diagnostics image", 1, 0),
    ("diagnostics image", "FAT", 1, 0.5),                         # the journal: installed
    ("diagnostics image", "user store's folders and files", 3, 0),
    ("bundle removal", "user store's folders and files", 1, 0),  # the bundle's name
    ("bundle removal", "FAT", 2, 0.5),                            # its clusters
    ("bundle removal", "user store's folders and files", 2, 0),  # the journal's name
    ("bundle removal", "FAT", 3, 0.5),                            # its clusters
    ("reboot", "FAT", 1, 0),
]
# Cuts at console lines and seconds after them: the emulator killed in the
# middle of whatever it does, a block the card is receiving included.
CI_LINE_CUTS = [("INFO:Found bundle ", 0.05), ("*** UPDATING ", 0.8), ("INFO:removing ", 0),
                ("was successful", 0), ("was successful", 0.02), ("was successful", 0.1)]
LONG_LINE_CUTS = [(text, seconds) for text, _ in PHASES for seconds in (0, 0.1)] + \
                 [("INFO:removing ", 0.01), ("INFO:removing ", 0.05), ("was successful", 0.02)]


def ci_cuts(writes):
    """CI_WRITE_CUTS on the reference update's writes, and the line cuts."""
    runs = runs_of(writes)
    cuts = []
    for phase, region, which, where in CI_WRITE_CUTS:
        matching = [run for run in runs if (run[0].phase, run[0].region) == (phase, region)]
        if len(matching) < which:
            boot.fail(f"the update without a cut has no run {which} of writes to the {region} in the {phase} "
                      f"phase: revise CI_WRITE_CUTS")
        run = matching[which - 1]
        w = run[round(where * (len(run) - 1))]
        cuts.append(Cut(write=w.number, where=f"{w.phase}, {w.region}"))
    return cuts + [Cut(line=text, seconds=seconds) for text, seconds in CI_LINE_CUTS]


def long_cuts(writes, stride, store_stride):
    """The longer sweep by hand: every store_stride-th write to the user
    store, every stride-th write elsewhere, and the line cuts at several
    offsets."""
    on_store = [w for w in writes if w.region.startswith("user store") or w.region == "FAT"]
    picked = set(w.number for w in on_store[::store_stride]) | {w.number for w in writes if w.number % stride == 0}
    cuts = [Cut(write=w.number, where=f"{w.phase}, {w.region}") for w in writes if w.number in picked]
    return cuts + [Cut(line=text, seconds=seconds) for text, seconds in LONG_LINE_CUTS]


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
        # Every byte the update may write is allocated in the image (zeros
        # where the old image is shorter): a write into a hole of the image
        # would wait for the host's file system journal, which on a busy
        # host can stop the emulator for minutes.
        put(card, at, bytes(max(len(old["bytes"][what]), len(new["bytes"][what]))))
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
    # The same for the clusters the journal will take: a file of zeros
    # written and deleted again.
    filler = os.path.join(work, "filler")
    write_file(filler, bytes(1 << 20))
    boot.run(["mcopy", "-i", target, filler, "::filler"])
    boot.run(["mdel", "-i", target, "::filler"])
    return card, old, new, books


# --- One power-up ------------------------------------------------------------------

class PowerUp:
    def __init__(self, end, transcript, seconds, kicks):
        self.end, self.transcript, self.seconds, self.kicks = end, transcript, seconds, kicks


# How a boot that nobody touches ends. A boot that says it reboots has
# written all it writes to the card (the user store is unmounted before,
# the raw images and the root file system were written synchronously): the
# ten-second wait and the kernel selection flag that follow are not on the
# card, so the harness stops the machine there.
ENDS = [
    ("KINIT: reached", "kinit"),
    ("Press R to continue...", "waits for R"),
    ("INFO:Rebooting ...", "reboot"),
    # An update that cannot finish: the reader shows an error code, offers
    # its store over USB and powers off after ten minutes.
    ("INFO:The reader is held in recovery", "held"),
]
# ... unless the user store could not be unmounted: its last writes are then
# still in the kernel's cache, for the sync before the restart.
UNMOUNT_TROUBLE = "ERROR:Trouble unmounting"


def kick(monitor):
    """Asks the monitor for the registers, which runs on the processor and
    so wakes it."""
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(monitor)
            s.sendall(b"info registers\n")
            s.recv(65536)
    except OSError:
        pass  # a machine that is going away needs no kick


def power_up(machine, args, card, flag, log_path, cut=None, trace=False):
    """Powers the machine on with no input, until the cut (a Cut) or, without
    one or when the boot ends before the cut comes, until the boot ends by
    itself (ENDS, or the machine stops). trace: the card's writes show on
    the console stream (always with a cut)."""
    with open(flag, "wb") as f:
        f.write(b"1\n")
        f.truncate(4096)
    drive = card
    if cut is not None and cut.write is not None:
        # blkdebug counts the card's writes: each of the first N-1 moves its
        # state on by one, and from state N on every write fails.
        rules = os.path.join(os.path.dirname(log_path), "cut.conf")
        with open(rules, "w") as f:
            for state in range(1, cut.write):
                f.write(f'[set-state]\nevent = "write_aio"\nstate = "{state}"\nnew_state = "{state + 1}"\n\n')
            f.write(f'[inject-error]\nevent = "write_aio"\nerrno = "5"\nstate = "{cut.write}"\n')
        drive = f"blkdebug:{rules}:{card}"
    command = machine.command(args.e2e, drive, flag, board=machine.boards[args.family], cache=args.cache)
    if trace or cut is not None:
        # The trace goes to the console's terminal through a file of its
        # own (QEMU makes its standard output non-blocking, and a trace
        # line written to a full terminal that way would be lost).
        command += ["-trace", "sdcard_write_block", "-D", "/dev/fd/1"]
    # The monitor on a socket of its own (in a short path: a socket's name
    # has room for about 100 bytes), and no input.
    monitor_dir = tempfile.TemporaryDirectory(prefix="qm-cut-")
    monitor = os.path.join(monitor_dir.name, "monitor")
    command += ["-monitor", f"unix:{monitor},server=on,wait=off"]
    started = time.monotonic()
    seen = []
    kicks = 0
    with open(log_path, "w", encoding="utf-8", errors="replace") as log:
        child = pexpect.spawn("sh", ["-c", 'exec "$@" </dev/null', "sh"] + command, encoding="utf-8",
                              codec_errors="replace", timeout=BOOT_TIMEOUT)
        child.logfile_read = log

        def read(patterns, timeout=None):
            """Reads up to the first of the patterns. Without a timeout, a
            console that stays silent for KICK_SECONDS gets the processor
            kicked, up to BOOT_TIMEOUT in all."""
            nonlocal kicks
            deadline = time.monotonic() + BOOT_TIMEOUT
            while True:
                wait = timeout if timeout is not None else min(KICK_SECONDS, deadline - time.monotonic())
                came = len(child.buffer)
                try:
                    index = child.expect_exact(patterns, timeout=max(wait, 0))
                except pexpect.TIMEOUT:
                    # What came is read again by the next wait.
                    if timeout is not None or time.monotonic() >= deadline:
                        seen.append(child.before)
                        raise
                    if len(child.buffer) == came:
                        kick(monitor)
                        kicks += 1
                    continue
                seen.append(child.before + (child.after if isinstance(child.after, str) else ""))
                return patterns[index]

        def read_for(seconds):
            try:
                read([pexpect.EOF], timeout=seconds)
            except pexpect.TIMEOUT:
                pass

        try:
            moment = None if cut is None else REFUSED if cut.write is not None else cut.line
            found = read(([moment] if moment else []) + [text for text, _ in ENDS] + [pexpect.EOF])
            if moment and found == moment:
                if cut.seconds > 0:
                    read_for(cut.seconds)
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
                elif end in ("waits for R", "held"):
                    read_for(1)  # then the owner takes the battery out
        except pexpect.TIMEOUT:
            end = "hangs"
        child.kill(signal.SIGKILL)
        child.close(force=True)
    monitor_dir.cleanup()
    return PowerUp(end, "".join(seen), time.monotonic() - started, kicks)


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


# The guest kernel's report of a damaged file system.
FS_ERROR = re.compile(r"FAT-fs \([^)]*\): error[^\r\n]*|EXT[34]-fs error[^\r\n]*")

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
    r"^\s*Using first FAT\.",
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


# What the program may leave on the store beside the owner's files: the
# bundle, its journal (under a spare name when a folder of the owner's holds
# the first), a journal or log written beside the old one that a cut left
# (it may be torn), and the update logs.
JOURNALS = {"INSTALL.JNL", "INSTALL2.JNL"}
BESIDE = {"INSTALL.JNL.NEW", "INSTALL2.JNL.NEW", "UPDATE-LOG.TXT.NEW"}
LOGS = {"UPDATE-LOG.TXT", "UPDATE-LOG.1.TXT", "UPDATE-LOG.TXT.NEW"}
LOG_START = b"quillmar update log\r\n"
LOG_MOST = 68 * 1024


def bad_log(card, name, work):
    """What is wrong with an update log on the store, or None."""
    out = os.path.join(work, "log-read-back")
    if subprocess.run(["mcopy", "-n", "-i", mtools_target(card), "::" + name, out], capture_output=True).returncode:
        return f"{name} cannot be read"
    with open(out, "rb") as f:
        data = f.read()
    os.remove(out)
    if not data.startswith(LOG_START) or len(data) > LOG_MOST:
        return f"{name} is not an update log of at most {LOG_MOST} bytes ({len(data)} bytes)"
    return None


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
    names = {f.upper() for f in files or []}
    state["journal"] = bool(names & JOURNALS)
    state["others"] = [f for f in (files or []) if f.upper() not in owners | {"UPDATE.BIN"} | JOURNALS | BESIDE | LOGS]
    state["logs"] = [why for name in sorted(names & LOGS - BESIDE) for why in [bad_log(card, name, work)] if why]
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
    problems += state["logs"]
    if not problems and all(h == "new" for h in held) and not state["bundle"] and not state["journal"]:
        return "new", ""
    if not problems and all(h == "old" for h in held) and state["bundle"] == state["journal"]:
        return ("kept" if state["bundle"] else "old"), ""
    if not problems and state["bundle"] and state["journal"] and "torn" not in (state["uboot"], state["kernel"]):
        return "kept", "mixed"
    return "failed", ", ".join(problems + [describe(state)])


def describe(state):
    parts = [f"{LABELS[r]} {state[r]}" for r in REGIONS]
    parts.append("bundle " + ("kept" if state["bundle"] else "gone"))
    parts.append("journal " + ("kept" if state["journal"] else "gone"))
    return ", ".join(parts)


# --- One cut -----------------------------------------------------------------------

class CutResult:
    pass


def landing(transcript, layout, cut):
    """Where a cut came: the phase, and the region of the write it stopped
    (the card's first refused write; for a line cut, the last write the
    card began in that phase, if any)."""
    writes = writes_of(transcript, layout)
    markers = [dict(PHASES)[m.group(0)] for m in MARKERS.finditer(transcript)]
    phase = markers[-1] if markers else "before the update"
    if cut.write is not None:
        hit = writes[cut.write - 1] if len(writes) >= cut.write else None
    else:
        hit = writes[-1] if writes and writes[-1].phase == phase else None
    return (hit.phase, hit.region) if hit else (phase, "no write")


def run_cut(number, cut, machine, args, template, layout, old, new, books):
    work = os.path.join(args.work, f"cut-{number:03d}")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    card = os.path.join(work, "sd.img")
    flag = os.path.join(work, "flag.img")
    extract(template, 0, os.path.getsize(template), card)
    r = CutResult()
    r.number, r.cut = number, cut
    first = power_up(machine, args, card, flag, os.path.join(work, "boot-0.log"), cut=cut)
    r.landed = first.end == "cut"
    r.phase, r.region = landing(first.transcript, layout, cut)
    r.kicks, r.seconds, r.ends = first.kicks, [first.seconds], [first.end]
    # Right after the cut: could the board start at all? The recovery
    # program lives in the kernel, so a torn kernel or boot loader in its
    # only place is the end of this reader.
    r.bricked = ", ".join(LABELS[region] for region, at in (("uboot", boot.UBOOT_AT), ("kernel", boot.KERNEL_AT))
                          if holds(card, at, old["bytes"][region], new["bytes"][region]) == "torn")
    kernel_found = []
    for n in range(1, MOST_BOOTS_AFTER + 1):
        after = power_up(machine, args, card, flag, os.path.join(work, f"boot-{n}.log"))
        kernel_found += [f"boot {n}: {m.group(0)}" for m in FS_ERROR.finditer(after.transcript)][:1]
        r.ends.append(after.end)
        r.seconds.append(after.seconds)
        r.kicks += after.kicks
        # The boot went on to the system, or the update finished (a reboot
        # that left neither the bundle nor the journal): the next boot has
        # nothing left to do for it.
        if after.end in ("kinit", "hangs"):
            break
        if after.end == "reboot" and not ({"UPDATE.BIN"} | JOURNALS) & {
                f.upper() for f in user_store_files(card) or ["UPDATE.BIN"]}:
            break
    r.state = judge(card, old, new, books, work)
    r.outcome, r.why = outcome(r.state)
    if r.ends[-1] == "held" and r.outcome in ("kept", "old"):
        # Held in recovery with the bundle kept: never handed over, and the
        # next power-up tries again.
        r.outcome = "held" if r.state["bundle"] else "failed"
        r.why = "" if r.state["bundle"] else "held with the bundle gone: " + describe(r.state)
    if r.why == "mixed" and r.ends[-1] == "kinit":
        # Kept for the next boot, but this boot went on to the system:
        # parts of the old and the new one were handed over together.
        r.outcome, r.why = "failed", "a mixed system handed over: " + describe(r.state)
    inside_window = r.landed and r.region in RAW_REGIONS
    if r.bricked:
        r.outcome = "bricked"
        r.why = "" if inside_window else f"torn {r.bricked} outside the in-place window"
    # What fsck.vfat found, an ext3 that e2fsck finds damaged, and what the
    # guest's kernel found on the way (its FAT driver turns the whole store
    # read-only at the first error).
    r.fat_errors = r.state["fat_errors"] + kernel_found
    if not r.state["rootfs_clean"] and r.state["rootfs"] != "torn":
        r.fat_errors.append("e2fsck: the root file system has errors")
    r.lost = r.state["lost"]
    r.broken = bool(r.lost or r.fat_errors or r.outcome == "failed" or "hangs" in r.ends or
                    (r.bricked and not inside_window))
    if not r.broken and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    del r.state
    r.cut = str(cut)
    with open(os.path.join(args.work, "results", f"cut-{number:03d}.json"), "w") as f:
        json.dump(vars(r), f)
    return r


def cut_line(r):
    landed = f"{r.phase}, {r.region}" if r.landed else "(the boot ended first)"
    detail = r.bricked if r.outcome == "bricked" else r.why
    return (f"| {r.cut} | {landed} | {' → '.join(r.ends[1:])} | {r.outcome}{f' ({detail})' if detail else ''}"
            f" | {len(r.lost)}{' (' + ', '.join(r.lost) + ')' if r.lost else ''}"
            f" | {len(r.fat_errors)}{' (' + ' / '.join(r.fat_errors[:2]) + ')' if r.fat_errors else ''} |")


def report(results, machine, family):
    print()
    print("| cut | landed in | boots after the cut | outcome | user files lost | FAT/ext3 errors |")
    print("|---|---|---|---|---|---|")
    for r in results:
        print(cut_line(r))
    count = lambda what: sum(1 for r in results if r.outcome == what)
    bricked = {}
    for r in results:
        if r.outcome == "bricked":
            bricked[r.bricked] = bricked.get(r.bricked, 0) + 1
    bricked_text = str(count("bricked")) + (" (" + ", ".join(f"{n} torn {w}" for w, n in bricked.items()) + ")"
                                             if bricked else "")
    print()
    print("| machine, family | cut points | recovered new | recovered old | kept for the next boot "
          "| held in recovery, bundle kept | bricked (which region) | failed | user files lost | FAT/ext3 errors |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    print(f"| {machine.name}, {family} | {len(results)} | {count('new')} | {count('old')} | {count('kept')} "
          f"| {count('held')} | {bricked_text} | {count('failed')} | {sum(len(r.lost) for r in results)} "
          f"| {sum(len(r.fat_errors) for r in results)} |")


def parse_cuts(chosen, writes, stride, store_stride):
    """The cuts --cuts names: the CI set, the long sweep, or a list of
    #WRITE and LINE@SECONDS items."""
    if chosen == "ci":
        return ci_cuts(writes)
    if chosen == "long":
        return long_cuts(writes, stride, store_stride)
    cuts = []
    for item in chosen.split(","):
        if item.startswith("#"):
            number = int(item[1:])
            w = writes[number - 1] if number <= len(writes) else None
            cuts.append(Cut(write=number, where=f"{w.phase}, {w.region}" if w else "after the last"))
        else:
            text, _, seconds = item.rpartition("@")
            cuts.append(Cut(line=text, seconds=float(seconds)))
    return cuts


def reference(args, machine, template, layout, old, new, books):
    """The update without a cut, its card writes traced: it must install the
    new system, and its writes give the cut points."""
    work = os.path.join(args.work, "reference")
    os.makedirs(work, exist_ok=True)
    card = os.path.join(work, "sd.img")
    extract(template, 0, os.path.getsize(template), card)
    result = power_up(machine, args, card, os.path.join(work, "flag.img"), os.path.join(work, "boot.log"),
                      trace=True)
    state = judge(card, old, new, books, work)
    verdict, why = outcome(state)
    if result.end != "reboot" or verdict != "new" or state["fat_errors"] or state["lost"]:
        boot.fail(f"the update without a cut ended with {result.end}: {verdict} {why} {state['fat_errors']}")
    writes = writes_of(result.transcript, layout)
    print(f"the update without a cut: {len(writes)} card writes ({result.seconds:.0f} s)")
    for run in runs_of(writes):
        print(f"  writes {run[0].number}-{run[-1].number}: {run[0].phase}, {run[0].region}")
    os.remove(card)
    untouchable = [w for w in writes if w.region in ("variable data", "elsewhere")]
    if untouchable:
        boot.fail(f"the update wrote {len(untouchable)} blocks to {untouchable[0].region}")
    return writes


def save_reference(work, writes):
    with open(os.path.join(work, "reference", "writes.json"), "w") as f:
        json.dump([(w.phase, w.region) for w in writes], f)


def load_reference(work):
    """What the reference step left in WORK: the template card, both
    systems, the owner's books and the reference update's writes."""
    systems = {}
    for version in ("old", "new"):
        system = {"bytes": {}}
        for what, name in (("uboot", "u-boot.bin"), ("kernel", "uImage"), ("rootfs", "rootfs.img"),
                           ("diagsfs", "diagsfs.img")):
            with open(os.path.join(work, version, name), "rb") as f:
                system["bytes"][what] = f.read()
        systems[version] = system
    books = {path: random_bytes(size, path) for path, size in BOOKS}
    with open(os.path.join(work, "reference", "writes.json")) as f:
        writes = [Write(n, phase, region) for n, (phase, region) in enumerate(json.load(f), 1)]
    return os.path.join(work, "template.img"), systems["old"], systems["new"], books, writes


def load_results(work):
    results = []
    folder = os.path.join(work, "results")
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        r = CutResult()
        with open(os.path.join(folder, name)) as f:
            vars(r).update(json.load(f))
        results.append(r)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("e2e")
    parser.add_argument("work")
    parser.add_argument("--step", default="all", choices=("all", "reference", "cuts", "table"))
    parser.add_argument("--slice", default="1/1", help="K/N: the cuts numbered K-1, K-1+N, ... (cuts step)")
    parser.add_argument("--cuts", default="ci")
    parser.add_argument("--stride", type=int, default=64, help="long: every STRIDE-th write off the user store")
    parser.add_argument("--store-stride", type=int, default=1, help="long: every STORE_STRIDE-th write to it")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--machine", default="x86", choices=sorted(MACHINES))
    parser.add_argument("--family", default="mmc")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--cache", default="writeback", choices=("writeback", "none", "directsync", "writethrough"))
    parser.add_argument("--tools", help="where mkbundle and ckimage are (default: bin/ beside E2E_DIR)")
    args = parser.parse_args()
    machine = MACHINES[args.machine]
    if args.family not in machine.boards:
        boot.fail(f"the {machine.name} machine cannot run the {args.family} family")
    started = time.monotonic()
    if args.step in ("all", "reference"):
        shutil.rmtree(args.work, ignore_errors=True)
        os.makedirs(os.path.join(args.work, "results"))
        bin_dir = args.tools or os.path.join(os.path.dirname(os.path.abspath(args.e2e)), "bin")
        template, old, new, books = make_template(args, machine, lambda name: os.path.join(bin_dir, name),
                                                  args.work)
        save_reference(args.work, reference(args, machine, template, Layout(template), old, new, books))
        if args.step == "reference":
            print(f"powercut: the reference update took {time.monotonic() - started:.0f} s")
            return 0
    results = []
    if args.step in ("all", "cuts"):
        template, old, new, books, writes = load_reference(args.work)
        layout = Layout(template)
        part, _, parts = args.slice.partition("/")
        cuts = list(enumerate(parse_cuts(args.cuts, writes, args.stride, args.store_stride)))[int(part) - 1::int(parts)]
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = [pool.submit(run_cut, n, cut, machine, args, template, layout, old, new, books)
                       for n, cut in cuts]
            for future in futures:
                r = future.result()
                results.append(r)
                print(f"cut {r.number:03d} {cut_line(r)[2:-2]}{f' [{r.kicks} kicks]' if r.kicks else ''}"
                      f" ({' + '.join(f'{s:.0f}' for s in r.seconds)} s)", flush=True)
    if args.step == "table":
        results = load_results(args.work)
    report(results, machine, args.family)
    print(f"\n{len(results)} cuts in {time.monotonic() - started:.0f} s with {args.jobs} at a time, "
          f"card cache={args.cache}, {sum(r.kicks for r in results)} kicks")
    broken = [r for r in results if r.broken]
    if broken:
        print(f"FAILED: {len(broken)} cuts broke a promise: " + ", ".join(f"cut-{r.number:03d}" for r in broken),
              file=sys.stderr)
        return 1
    print("powercut: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
