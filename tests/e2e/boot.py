#!/usr/bin/env python3
"""Boots the static device program as PID 1 of a real Linux kernel under
QEMU (software emulation) with an SD card, and drives its serial console.

    boot.py E2E_DIR WORK_DIR SCENARIO

E2E_DIR holds what tests/e2e/prepare made (vmlinuz, initrd.gz). Each
scenario makes its own card image in WORK_DIR, boots, talks to the console
like a person would, and checks the console and the card afterwards with
host tools. The transcript is kept in WORK_DIR/console.log.
"""
import os
import subprocess
import sys

import pexpect

BOOT_TIMEOUT = 180  # seconds: software emulation on a busy two-core machine


def qemu_command(e2e, work, board="P1A0230000000000", serial="B0A1C2D3E4F50001"):
    return [
        "qemu-system-x86_64", "-accel", "tcg", "-machine", "pc", "-m", "512",
        "-nographic", "-no-reboot", "-net", "none",
        "-kernel", os.path.join(e2e, "vmlinuz"), "-initrd", os.path.join(e2e, "initrd.gz"),
        "-append", f"console=ttyS0 panic=-1 quiet e2e_board={board} e2e_serial={serial}",
        "-device", "sdhci-pci", "-device", "sd-card,drive=sd",
        "-drive", f"if=none,id=sd,file={os.path.join(work, 'sd.img')},format=raw",
        "-drive", f"if=virtio,file={os.path.join(work, 'flag.img')},format=raw",
    ]


def blank_card(work, size=1 << 30):
    with open(os.path.join(work, "sd.img"), "wb") as card:
        card.truncate(size)
    with open(os.path.join(work, "flag.img"), "wb") as flag:
        flag.write(b"1\n")
        flag.truncate(4096)


def boot(e2e, work):
    command = qemu_command(e2e, work)
    log = open(os.path.join(work, "console.log"), "w", encoding="utf-8", errors="replace")
    child = pexpect.spawn(command[0], command[1:], encoding="utf-8", codec_errors="replace",
                          timeout=BOOT_TIMEOUT)
    child.logfile_read = log
    return child


def fail(message):
    print(f"FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def expect(child, text):
    try:
        child.expect_exact(text)
    except (pexpect.TIMEOUT, pexpect.EOF):
        fail(f"the console never showed {text!r}")


def scenario_blank_card(e2e, work):
    """A blank card boots through to the normal boot program."""
    blank_card(work)
    child = boot(e2e, work)
    expect(child, "Press [ENTER] for recovery menu...")
    expect(child, "BOOTING DEFAULT.")
    expect(child, "KINIT: reached")
    child.expect(pexpect.EOF)


def monitor(child, command):
    """Types a command on the QEMU monitor: Ctrl-A c switches to it and back."""
    child.send("\x01c")
    expect(child, "(qemu)")
    child.send(command + "\r")
    expect(child, "(qemu)")
    child.send("\x01c")


def scenario_keyboard_at_erase_check(e2e, work):
    """Keys of the machine's keyboard reach the erase check through the
    kernel's input event devices, in the native records of a 64-bit kernel."""
    blank_card(work)
    child = boot(e2e, work)
    expect(child, "Press [ENTER] for recovery menu...")
    child.send("/\r")
    expect(child, "Enter: ")
    monitor(child, "sendkey x")
    expect(child, "WARNING:Code not recognized, try again!")
    expect(child, "Enter: ")
    monitor(child, "sendkey ret")
    expect(child, "INFO:Factory reset aborted, booting normally.")
    expect(child, "KINIT: reached")
    child.expect(pexpect.EOF)


SCENARIOS = {name[len("scenario_"):]: fn for name, fn in globals().items() if name.startswith("scenario_")}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in SCENARIOS:
        print(__doc__ + "\nscenarios: " + " ".join(sorted(SCENARIOS)), file=sys.stderr)
        return 2
    e2e, work, name = sys.argv[1:]
    os.makedirs(work, exist_ok=True)
    SCENARIOS[name](e2e, work)
    print(f"e2e {name}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
