#!/usr/bin/env python3
"""Boots the static device program as PID 1 of a real Linux kernel under
QEMU (software emulation) with an SD card, drives its serial console, and
runs the same scenario on the simulated device to compare the two.

    boot.py [--machine x86|arm] [--tools DIR] E2E_DIR WORK_DIR SCENARIO

The machine is a PC (x86, the default) or a Raspberry Pi Zero board (arm,
ARM1176: ARMv6); E2E_DIR holds what tests/e2e/prepare made for it
(vmlinuz, initrd.gz, and the board's device tree board.dtb). quillmar-sim,
mkbundle and ckimage come from DIR, by default the bin/ directory beside
E2E_DIR. Each
scenario prepares a card image for the machine and a simulated device from
one description, boots both with the same keys, checks the card afterwards
with host tools, and compares the two console transcripts after `normalise`.
Transcripts stay in WORK_DIR: qemu-N.log (raw console), sim-N.log, and the
normalised pair qemu-N.txt / sim-N.txt of each boot N.
"""
import argparse
import difflib
import fnmatch
import gzip
import hashlib
import io
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tarfile
import tempfile
import time

import pexpect

BOOT_TIMEOUT = 180  # seconds: software emulation on a busy two-core machine
CARD_SIZE = 1 << 30
SECTOR = 512
UBOOT_AT = 3072       # raw region of the boot loader
KERNEL_AT = 266240    # raw region of the kernel
ROOTFS_FILE = "hello.txt"
ROOTFS_TEXT = b"hello from the new root file system\n"


def fail(message):
    print(f"FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, **kwargs)
    if result.returncode != 0:
        fail(f"{' '.join(map(str, command))}: {result.stdout.decode(errors='replace')}"
             f"{result.stderr.decode(errors='replace')}")
    return result.stdout


# --- The two machines -------------------------------------------------------

# The board and serial the first stage publishes as the reader's own /proc
# files.
BOARD = "P1A0230000000000"
SERIAL = "B0A1C2D3E4F50001"


def board_args(board):
    return f"e2e_board={board} e2e_serial={SERIAL}"


def kernel_of(e2e):
    """The kernel as an ELF that QEMU starts at its PVH entry, when prepare
    could take it out of the boot image, or else the boot image."""
    vmlinux = os.path.join(e2e, "vmlinux")
    return vmlinux if os.path.exists(vmlinux) else os.path.join(e2e, "vmlinuz")


def qemu_x86(e2e, card, flag, board=BOARD, cache="writeback"):
    """A PC: its SD host on PCI, the kernel selection flag a virtio disk, a
    PS/2 keyboard. cache: the host's cache mode between the card and its
    image."""
    return [
        "qemu-system-x86_64", "-accel", "tcg", "-machine", "pc", "-m", "512",
        "-nographic", "-no-reboot", "-net", "none",
        "-kernel", kernel_of(e2e),
        "-initrd", os.path.join(e2e, "initrd.gz"),
        "-append", f"console=ttyS0 panic=-1 quiet {board_args(board)} e2e_flag=vda",
        "-device", "sdhci-pci", "-device", "sd-card,drive=sd",
        "-drive", f"if=none,id=sd,file={card},format=raw,cache={cache}",
        "-drive", f"if=virtio,file={flag},format=raw",
    ]


def qemu_arm(e2e, card, flag, board=BOARD, cache="writeback"):
    """A Raspberry Pi Zero (ARM1176): the card in its SD slot, the kernel
    selection flag a USB disk, a USB keyboard. The emulator models neither
    the SoC's power domains nor its I2C controllers, whose drivers the
    kernel is told to leave out (the power domain driver would hang the
    boot; the I2C one divides by a clock rate of zero); the watchdog that
    powers off and resets stays.

    The board's only timer interrupt is a compare match against a free
    running microsecond counter, which the kernel sets to the counter's
    value plus a few microseconds. In the emulator's default mode that
    counter is the build machine's clock: when the emulator loses the core
    between the kernel's reading the counter and writing the compare value,
    the match lies in the past and the next interrupt comes when the counter
    wraps, 71 minutes later, and the machine stands idle (seen on a busy
    machine in about one boot of ten). Counted instructions (-icount) make
    the counter advance only with the code the emulated processor runs, 2 ns
    each, and in real time while it waits for an interrupt. (With a larger
    or an adaptive step every short sleep of the guest took up to a second
    more.)"""
    return [
        "qemu-system-arm", "-machine", "raspi0", "-icount", "shift=1",
        "-nographic", "-no-reboot",
        "-kernel", os.path.join(e2e, "vmlinuz"),
        "-dtb", os.path.join(e2e, "board.dtb"),
        "-initrd", os.path.join(e2e, "initrd.gz"),
        "-append", "console=ttyAMA0 panic=-1 quiet initcall_blacklist=bcm2835_power_driver_init,"
                   f"bcm2835_i2c_driver_init {board_args(board)} e2e_flag=sda",
        "-drive", f"if=sd,file={card},format=raw,cache={cache}",
        "-drive", f"if=none,id=flag,file={flag},format=raw",
        "-device", "usb-storage,drive=flag", "-device", "usb-kbd",
    ]


QEMU = {"x86": qemu_x86, "arm": qemu_arm}


class Machines:
    """One card for QEMU (WORK/sd.img, flag disk WORK/flag.img) and one
    simulated device (WORK/sim) made from the same description."""

    def __init__(self, e2e, work, machine="x86", tools=None):
        self.e2e, self.work, self.machine = e2e, work, machine
        self.bin = tools or os.path.join(os.path.dirname(os.path.abspath(e2e)), "bin")
        self.card = os.path.join(work, "sd.img")
        self.flag = os.path.join(work, "flag.img")
        self.sim = os.path.join(work, "sim")
        self.boots = 0
        with open(self.card, "wb") as card:
            card.truncate(CARD_SIZE)
        shutil.rmtree(self.sim, ignore_errors=True)
        # The simulated reader gets the machine's drivers: of the reader's
        # own modules only the keypad's, which stands for the machine's
        # keyboard (/dev/input/event0), and no other event devices.
        run([self.tool("quillmar-sim"), "init", self.sim, "--mmc-size", str(CARD_SIZE), "--input-events", "0"])
        modules = os.path.join(self.sim, "lib", "modules")
        for module in os.listdir(modules):
            if module != "mxc_keyb.ko":
                os.remove(os.path.join(modules, module))

    def tool(self, name):
        return os.path.join(self.bin, name)

    @property
    def sim_card(self):
        return os.path.join(self.sim, "mmc0.img")

    def boot(self, steps=()):
        """Boots both machines with the same keys and compares what their
        consoles showed. steps: (text to wait for, key, simulated time, and
        for keys of the machine's keyboard the QEMU monitor command)."""
        self.boots += 1
        number = self.boots
        qemu = self.boot_qemu(steps, number)
        started = time.monotonic()
        sim = self.boot_sim(steps, number)
        print(f"boot {number}: the machine ran {self.last_qemu_seconds:.1f} s, "
              f"the simulated device {time.monotonic() - started:.1f} s", flush=True)
        q, s = normalise(qemu, "qemu", [key for _, key, _, keyboard in steps if not keyboard]), normalise(sim, "sim")
        for name, text in (("qemu", q), ("sim", s)):
            with open(os.path.join(self.work, f"{name}-{number}.txt"), "w") as out:
                out.write(text)
        if q != s:
            diff = "".join(difflib.unified_diff(s.splitlines(True), q.splitlines(True),
                                                f"sim-{number}.txt", f"qemu-{number}.txt"))
            fail(f"boot {number}: the machine and the simulated device differ:\n{diff}")
        return q

    def boot_qemu(self, steps, number):
        with open(self.flag, "wb") as flag:
            flag.write(b"1\n")
            flag.truncate(4096)
        # The monitor's socket in a short path: a socket's name has room for
        # about 100 bytes.
        with tempfile.TemporaryDirectory(prefix="qm-e2e-") as monitor_dir:
            monitor_socket = os.path.join(monitor_dir, "monitor")
            command = QEMU[self.machine](self.e2e, self.card, self.flag)
            command += ["-monitor", f"unix:{monitor_socket},server=on,wait=off"]
            log = open(os.path.join(self.work, f"qemu-{number}.log"), "w", encoding="utf-8", errors="replace")
            child = pexpect.spawn(command[0], command[1:], encoding="utf-8", codec_errors="replace",
                                  timeout=BOOT_TIMEOUT)
            child.logfile_read = log
            transcript = []
            started = time.monotonic()
            for wait, key, _, keyboard in steps:
                expect(child, wait)
                transcript.append(child.before + child.after)
                if keyboard:
                    monitor(monitor_socket, keyboard)
                else:
                    transcript.append(TYPED)
                    child.send(key + "\r")
            try:
                child.expect(pexpect.EOF)
            except pexpect.TIMEOUT:
                fail("the machine did not stop")
            transcript.append(child.before)
            log.close()
            self.last_qemu_seconds = time.monotonic() - started
        text = "".join(transcript)
        with open(self.flag, "rb") as flag:
            written = flag.read(2)
        if "KINIT: reached" in text:
            end = "kinit"
        elif "reboot: Power down" in text:
            end = "power-off"
        else:
            end = "reboot (kernel_boot_flag written \"0\\n\")" if written == b"0\n" \
                else "reboot (kernel_boot_flag untouched)"
        return text + f"\nEND: {end}\n"

    def boot_sim(self, steps, number):
        script = os.path.join(self.work, f"sim-{number}.script")
        with open(script, "w") as out:
            out.write("".join(f"{at}\n" for _, _, at, _ in steps))
        result = subprocess.run([self.tool("quillmar-sim"), "boot", self.sim, "--script", script],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=BOOT_TIMEOUT)
        text = result.stdout.decode("utf-8", errors="replace")
        with open(os.path.join(self.work, f"sim-{number}.log"), "w") as log:
            log.write(text)
        if result.returncode != 0:
            fail(f"the simulated device failed ({result.returncode}):\n{text}")
        text = re.sub(r"\nSIM: (exec /bin/kinit|.*)\n?$",
                      lambda m: "\nEND: " + ("kinit" if m.group(1).startswith("exec") else m.group(1)) + "\n",
                      text)
        return text

    # --- Preparing both cards ---

    def drop(self, bundle, name="update.bin"):
        """Copies a file onto the user store: with mtools into the FAT of the
        card, into userstore/ of the simulated device."""
        run(["mcopy", "-i", f"{self.card}@@{userstore_offset(self.card)}", bundle, f"::{name}"])
        shutil.copyfile(bundle, os.path.join(self.sim, "userstore", name))

    def delete_partition(self, number):
        for card in (self.card, self.sim_card):
            run(["sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", "--delete", card, str(number)])


def expect(child, text):
    try:
        child.expect_exact(text)
    except (pexpect.TIMEOUT, pexpect.EOF):
        fail(f"the console never showed {text!r}")


def monitor(path, command):
    """Types a command on the QEMU monitor. It has a socket of its own, so
    that nothing it prints mixes with what the machine writes meanwhile."""
    def prompt(connection):
        seen = b""
        while not seen.endswith(b"(qemu) "):
            data = connection.recv(4096)
            if not data:
                fail(f"the QEMU monitor closed before {command!r} was done")
            seen += data

    with socket.socket(socket.AF_UNIX) as connection:
        connection.settimeout(BOOT_TIMEOUT)
        connection.connect(path)
        prompt(connection)
        connection.sendall(command.encode() + b"\n")
        prompt(connection)


# --- Comparing the transcripts ----------------------------------------------

# Marks where a line was typed on the machine's console.
TYPED = "\x00typed\x00"

# Lines that only one of the two machines shows, for reasons that are not
# faults (docs/e2e.md, "How the emulated machine differs from a reader").
MACHINE_ONLY = {
    "qemu": [
        r"KINIT: reached",
        # The machine's keyboard needs no keypad driver.
        r"ERROR:/lib/modules/mxc_keyb\.ko:No such file or directory\(2\)",
        r"ERROR:Could not load module /lib/modules/mxc_keyb\.ko ",
        r"ERROR:Could not load keypad driver",
        # No hot-plug helper in this kernel.
        r"ERROR:/proc/sys/kernel/hotplug:No such file or directory\(2\)",
        # busybox's mkdosfs reports what it made.
        r"Device '/dev/loop0':\n(?:[^\n]*:[^\n]*\n)*?volumeID:\w+, label:'[^']*'",
    ],
    "sim": [
        r"INFO:Loaded module /lib/modules/mxc_keyb\.ko  \(\d+ bytes\)",
        r"mkdosfs: /dev/loop0: FAT32, \d+ sectors of 512 bytes, volume label \"[^\"]*\"",
    ],
}


def normalise(text, machine, keys=()):
    """What is left of a console transcript once what legitimately differs
    between the machine and the simulated device is gone:
    - line ends (the serial line sends CR LF) and the terminal's escape codes;
    - on the machine, the firmware's and the first stage's output up to
      "E2E: first stage done";
    - the kernel's own messages ("[    4.07] ...", also in the middle of a
      line) and the contents of the kernel message buffer dumps;
    - the echo of each typed line, which the serial line's terminal shows
      (the first copy of it after the point where it was typed);
    - timing: the count-down and spinner updates of the key waits (each
      backspace run with what it redraws), the spinner of "Please wait",
      and the first spinner of each ten-second wait for R (one per wait);
    - the kernel version banner, the first line of the program;
    - text only one machine shows, each with the line end after it, also
      where it follows a prompt on the same line (MACHINE_ONLY: the reader's
      drivers and battery gauge missing under QEMU, the missing hot-plug
      file, /bin/kinit's own line, each mkdosfs's report);
    - blank lines."""
    text = text.replace("\r\n", "\n").replace("\r", "")
    text = re.sub(r"\x1b(\[[0-9;?]*[A-Za-z]|c)", "", text)
    if machine == "qemu":
        text = text.split("E2E: first stage done\n", 1)[-1]
    text = re.sub(r"=== kernel printk buffer \(\d+ bytes\) ===\n.*?=== END ===",
                  "=== kernel printk buffer ===\n=== END ===", text, flags=re.S)
    text = re.sub(r"\[\s*\d+\.\d+\] [^\n]*\n", "", text)
    for key in keys:
        typed = text.find(TYPED)
        if typed < 0:
            break
        echo = text.find(key + "\n", typed)
        if echo >= 0:
            text = text[:echo] + text[echo + len(key) + 1:]
        text = text[:typed] + text[typed + len(TYPED):]
    text = re.sub(r"\x08+(?:[ \d]{3} )?[/\-\\|]", "", text)
    text = re.sub(r"(?:[/\-\\|]\x08)+", "", text)
    text = re.sub(r"(Press R to continue\.\.\.\n)/+", r"\1/", text)
    for pattern in MACHINE_ONLY[machine]:
        text = re.sub(pattern + r"\n", "", text)
    lines = text.split("\n")
    banner = next((i for i, line in enumerate(lines) if re.search(r" \d+MHz$", line)), None)
    if banner is not None:
        lines[banner] = "<version banner>"
    return "\n".join(line for line in lines if line.strip()) + "\n"


# --- Looking at the card with host tools -----------------------------------

def mbr_entries(image, offset=0):
    with open(image, "rb") as f:
        f.seek(offset)
        sector = f.read(SECTOR)
    if sector[510:512] != b"\x55\xaa":
        return []
    entries = []
    for i in range(4):
        _, kind, start, size = struct.unpack_from("<B3xB3xII", sector, 446 + 16 * i)
        entries.append((kind, start, size))
    return entries


def userstore_offset(card):
    """Byte offset of the FAT: the user-store partition's own table puts it
    at its first partition."""
    _, p4_start, _ = mbr_entries(card)[3]
    _, inner_start, _ = mbr_entries(card, p4_start * SECTOR)[0]
    return (p4_start + inner_start) * SECTOR


def check_partition_map(card):
    dump = run(["sfdisk", "--dump", card]).decode()
    found = re.findall(r"^\S+?(\d) : start=\s*(\d+), size=\s*(\d+), type=(\w+)", dump, re.M)
    expected = [("1", "7688", "819256", "83"), ("2", "826944", "49152", "83"),
                ("3", "876096", "16384", "83"), ("4", "892480", "1204672", "b")]
    if found != expected:
        fail(f"sfdisk --dump shows\n{dump}\nnot the map {expected}")


def fat_listing(card):
    return run(["mdir", "-i", f"{card}@@{userstore_offset(card)}", "::"]).decode()


def check_user_store(card):
    listing = fat_listing(card)
    if "Volume in drive : is Tavrin" not in listing and "is Tavrin" not in listing:
        fail(f"the user store is not labelled Tavrin:\n{listing}")
    return listing


def card_digest(card, length):
    """SHA-256 of the card's first LENGTH bytes."""
    digest = hashlib.sha256()
    with open(card, "rb") as f:
        while length:
            chunk = f.read(min(length, 1 << 20))
            if not chunk:
                break
            digest.update(chunk)
            length -= len(chunk)
    return digest.hexdigest()


def card_bytes(card, offset, length):
    with open(card, "rb") as f:
        f.seek(offset)
        return f.read(length)


def extract_partition1(card, work):
    _, start, size = mbr_entries(card)[0]
    image = os.path.join(work, "partition1.img")
    with open(card, "rb") as src, open(image, "wb") as out:
        src.seek(start * SECTOR)
        remaining = size * SECTOR
        while remaining:
            chunk = src.read(min(remaining, 1 << 20))
            out.write(chunk)
            remaining -= len(chunk)
    return image


# --- Bundles -------------------------------------------------------------------

def make_images(m):
    """A boot loader, a kernel and a root file system holding hello.txt."""
    work = m.work
    images = {}
    for name, size in (("u-boot.data", 70000), ("uImage.data", 90000)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(os.urandom(size))
    images["uboot"] = os.path.join(work, "u-boot.bin")
    run([m.tool("ckimage"), "--make-bootloader", os.path.join(work, "u-boot.data"), images["uboot"]])
    images["kernel"] = os.path.join(work, "uImage")
    run(["mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "none", "-a", "0x80008000",
         "-e", "0x80008000", "-n", "e2e kernel", "-d", os.path.join(work, "uImage.data"), images["kernel"]])
    rootfs = os.path.join(work, "rootfs.img")
    hello = os.path.join(work, ROOTFS_FILE)
    with open(hello, "wb") as f:
        f.write(ROOTFS_TEXT)
    run(["mke2fs", "-q", "-t", "ext3", "-F", rootfs, "4M"])
    run(["debugfs", "-w", "-R", f"write {hello} {ROOTFS_FILE}", rootfs])
    run(["gzip", "-n", "-k", "-f", rootfs])
    images["rootfs"] = rootfs
    return images


def make_bundle(m, images, name, key=None):
    bundle = os.path.join(m.work, name)
    command = [m.tool("mkbundle"), "create", "--out", bundle]
    if key:
        command += ["--key", key]
    command += [f"imx35_selda/u-boot.bin={images['uboot']}", f"imx35_selda/uImage={images['kernel']}",
                f"rootfs.img.gz={images['rootfs']}.gz"]
    run(command)
    return bundle


def make_unsigned_bundle(m, images, name):
    """The bundle's images without a signature, made without our tools:
    Python's tar and gzip writers, then the header block and the scrambling
    of the payload bytes as docs/bundle-format.md describes them."""
    archive = io.BytesIO()
    with tarfile.open(fileobj=archive, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for member, path in (("imx35_selda/u-boot.bin", images["uboot"]),
                             ("imx35_selda/uImage", images["kernel"]),
                             ("rootfs.img.gz", images["rootfs"] + ".gz")):
            tar.add(path, arcname=member)
    payload = gzip.compress(archive.getvalue(), mtime=0)
    scramble = bytes(((b ^ 0x5C) << 4 & 0xF0) | ((b ^ 0x5C) >> 4) for b in range(256))
    bundle = os.path.join(m.work, name)
    with open(bundle, "wb") as f:
        f.write(b"FB02".ljust(131072, b"\0"))
        f.write(payload.translate(scramble))
    return bundle


def check_installed(m, images):
    for card in (m.card, m.sim_card):
        for what, at in (("uboot", UBOOT_AT), ("kernel", KERNEL_AT)):
            with open(images[what], "rb") as f:
                expected = f.read()
            if card_bytes(card, at, len(expected)) != expected:
                fail(f"{card}: the {what} image is not at byte {at}")
    partition = extract_partition1(m.card, m.work)
    run(["e2fsck", "-n", "-f", partition])
    content = run(["debugfs", "-R", f"cat {ROOTFS_FILE}", partition])
    if content != ROOTFS_TEXT:
        fail(f"partition 1 holds {content!r} in {ROOTFS_FILE}")


def booted_dir(m):
    return os.path.join(m.e2e, "booted")


def boot_blank(m):
    """Makes both cards booted once: a copy of what blank_card left when it
    ran after the last prepare (CTest runs it first), or a boot of its own."""
    saved = booted_dir(m)
    stamp = os.path.join(saved, "done")
    if os.path.exists(stamp) and os.path.getmtime(stamp) > os.path.getmtime(os.path.join(m.e2e, "initrd.gz")):
        os.remove(m.card)
        shutil.rmtree(m.sim)
        run(["cp", "--sparse=always", os.path.join(saved, "sd.img"), m.card])
        run(["cp", "-a", "--sparse=always", os.path.join(saved, "sim"), m.sim])
        return
    m.boot()
    check_partition_map(m.card)
    check_partition_map(m.sim_card)
    check_user_store(m.card)


# --- Scenarios -------------------------------------------------------------

ENTER_AT_PROMPT = ("Press [ENTER] for recovery menu...", "", "0.2 console", None)


def scenario_blank_card(m):
    """A blank card gets its partition table and FAT32 user store and the
    boot goes on to the normal boot program."""
    transcript = m.boot()
    if "END: kinit" not in transcript:
        fail("the boot did not reach /bin/kinit")
    check_partition_map(m.card)
    check_partition_map(m.sim_card)
    check_user_store(m.card)
    print(f"blank card: boot to /bin/kinit took {m.last_qemu_seconds:.1f} s")
    # Kept for the scenarios that start from a card booted once.
    saved = booted_dir(m)
    shutil.rmtree(saved, ignore_errors=True)
    os.makedirs(saved)
    run(["cp", "--sparse=always", m.card, os.path.join(saved, "sd.img")])
    run(["cp", "-a", "--sparse=always", m.sim, os.path.join(saved, "sim")])
    open(os.path.join(saved, "done"), "w").close()


def scenario_keyboard_at_erase_check(m):
    """Keys of the machine's keyboard reach the erase check through the
    kernel's input event devices, in the native records of a 64-bit kernel:
    a wrong letter, then Enter, which declines the reset."""
    transcript = m.boot([
        ("Press [ENTER] for recovery menu...", "/", "0.2 console /", None),
        ("Enter: ", "", "+1 key x", "sendkey x"),
        ("WARNING:Code not recognized, try again!", "", "+1 key ENTER", "sendkey ret"),
    ])
    for text in ("INFO:Factory reset aborted, booting normally.", "END: kinit"):
        if text not in transcript:
            fail(f"the console never showed {text!r}")


def bundle_gone(m):
    # update-log.txt stays; only what the bundle search takes counts.
    names = run(["mdir", "-b", "-i", f"{m.card}@@{userstore_offset(m.card)}", "::"]).decode().split("\n")
    if any(fnmatch.fnmatch(os.path.basename(name).lower(), "update*.bin") for name in names):
        fail(f"the bundle is still on the user store:\n{fat_listing(m.card)}")
    if os.path.exists(os.path.join(m.sim, "userstore", "update.bin")):
        fail("the bundle is still on the simulated user store")


UPDATE_LOG_MOST = 64 * 1024 + 4096  # its console lines and its head


def check_update_log(m, outcome):
    """update-log.txt read back from the card with mtools, the user store's
    FAT checked with fsck.vfat -n; the simulated reader's log has the same
    head lines."""
    offset = userstore_offset(m.card)
    text = run(["mtype", "-i", f"{m.card}@@{offset}", "::update-log.txt"])
    sim_path = os.path.join(m.sim, "userstore", "update-log.txt")
    with open(sim_path, "rb") as f:
        sim_text = f.read()
    for log, where in ((text, "card"), (sim_text, "simulated reader")):
        if not log.startswith(b"quillmar update log\r\n") or len(log) > UPDATE_LOG_MOST:
            fail(f"update-log.txt of the {where} is not a log of at most {UPDATE_LOG_MOST} bytes:\n{log[:400]!r}")
        for line in (b"outcome:  " + outcome.encode(), b"bundle:   update.bin, ",
                     b"INFO:bundle /mnt-us/update.bin was successful"):
            if b"\r\n" + line not in log:
                fail(f"update-log.txt of the {where} has no line {line!r}:\n{log[:1500]!r}")
    # The user store alone, as a file fsck.vfat can read (zeros left as holes).
    _, p4_start, _ = mbr_entries(m.card)[3]
    _, inner_start, inner_size = mbr_entries(m.card, p4_start * SECTOR)[0]
    fat = os.path.join(m.work, "userstore.img")
    with open(m.card, "rb") as src, open(fat, "wb") as out:
        src.seek(offset)
        for _ in range(0, inner_size * SECTOR, 1 << 20):
            chunk = src.read(1 << 20)
            if chunk.count(0) == len(chunk):
                out.seek(len(chunk), os.SEEK_CUR)
            else:
                out.write(chunk)
        out.truncate(inner_size * SECTOR)
    # Clean: fsck.vfat has nothing to say but its banner, its summary and
    # that the label "Tavrin" of the root directory is not upper case (so
    # since the store was formatted, log or no log).
    result = subprocess.run(["fsck.vfat", "-n", fat], capture_output=True, text=True)
    os.remove(fat)
    said = [line for line in (result.stdout + result.stderr).splitlines() if line.strip() and not re.match(
        r"fsck\.fat \d|Volume label 'Tavrin' stored in root directory is not valid\.|  Auto-removing label\.|"
        r"Leaving filesystem unchanged\.|\S+: \d+ files, \d+/\d+ clusters$", line)]
    if said or result.returncode not in (0, 1):
        fail(f"fsck.vfat -n finds the user store unclean (status {result.returncode}):\n{result.stdout}{result.stderr}")


def scenario_bundle_installs(m):
    """A signed bundle copied onto the user store of a card booted once is
    installed by the automatic update at the next power-up: the raw regions
    hold the images, partition 1 the root file system, the bundle is gone,
    and the reader reboots clean. The boot after that hands over to the
    normal boot program and leaves the installed system as it is."""
    boot_blank(m)
    images = make_images(m)
    m.drop(make_bundle(m, images, "update.bin"))
    transcript = m.boot()
    for text in ("INFO:bundle /mnt-us/update.bin was successful",
                 'END: reboot (kernel_boot_flag written "0\\n")'):
        if text not in transcript:
            fail(f"the console never showed {text!r}")
    check_installed(m, images)
    bundle_gone(m)
    check_update_log(m, "installed")
    if "END: kinit" not in m.boot():
        fail("the boot after the install did not reach /bin/kinit")
    check_installed(m, images)


def scenario_developer_menu_update(m):
    """ENTER at the prompt opens the developer menu; its U entry installs a
    signed bundle copied onto the user store of a card booted once: the raw
    regions hold the images, partition 1 the root file system, the bundle is
    gone; R then reboots clean."""
    boot_blank(m)
    images = make_images(m)
    m.drop(make_bundle(m, images, "update.bin"))
    transcript = m.boot([ENTER_AT_PROMPT, ("Choose: ", "U", "+1 console U", None),
                         ("Choose: ", "R", "+1 console R", None)])
    for text in ("Developer Menu", "INFO:bundle /mnt-us/update.bin was successful",
                 'END: reboot (kernel_boot_flag written "0\\n")'):
        if text not in transcript:
            fail(f"the console never showed {text!r}")
    check_installed(m, images)
    bundle_gone(m)


def refused(m, bundle):
    """A bundle the reader must not install: nothing on the card before the
    user store changes (table, raw regions, partitions 1 to 3: their SHA-256
    before and after), the bundle is removed, the reader waits for R ("R"
    typed), then reboots with the kernel selection flag untouched."""
    m.drop(bundle)
    p4_start = mbr_entries(m.card)[3][1] * SECTOR
    before = {card: card_digest(card, p4_start) for card in (m.card, m.sim_card)}
    transcript = m.boot([("INFO:Update failed *** Press R to continue...", "R", "60 console R", None)])
    for text in ("**** THIS BUNDLE IS NOT AUTHORIZED TO INSTALL! ****", "END: reboot (kernel_boot_flag untouched)"):
        if text not in transcript:
            fail(f"the console never showed {text!r}")
    for card in (m.card, m.sim_card):
        if card_digest(card, p4_start) != before[card]:
            fail(f"{card}: the bytes before the user store changed")
    bundle_gone(m)


def scenario_bad_signature(m):
    """A bundle signed with a key the reader does not know is refused."""
    boot_blank(m)
    images = make_images(m)
    foreign = os.path.join(m.work, "foreign.pem")
    run([m.tool("mkbundle"), "keygen", "--bits", "1024", "--out", foreign])
    refused(m, make_bundle(m, images, "foreign.bin", key=foreign))


def scenario_unsigned_bundle(m):
    """A bundle whose images carry no signature at all, made by Python's
    tar and gzip writers, is refused."""
    boot_blank(m)
    refused(m, make_unsigned_bundle(m, make_images(m), "unsigned.bin"))


def scenario_partition4_repaired(m):
    """A card whose user-store entry was cleared from the table gets it
    back at the next boot."""
    boot_blank(m)
    m.delete_partition(4)
    if len([e for e in mbr_entries(m.card) if e[2]]) != 3:
        fail("partition 4 was not cleared")
    m.boot()
    check_partition_map(m.card)
    check_partition_map(m.sim_card)
    check_user_store(m.card)


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items() if name.startswith("scenario_")}


def main():
    parser = argparse.ArgumentParser(usage=__doc__ + "\nscenarios: " + " ".join(sorted(SCENARIOS)))
    parser.add_argument("--machine", choices=sorted(QEMU), default="x86")
    parser.add_argument("--tools")
    parser.add_argument("e2e")
    parser.add_argument("work")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    name = args.scenario
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    SCENARIOS[name](Machines(args.e2e, args.work, args.machine, args.tools))
    print(f"e2e {name}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
