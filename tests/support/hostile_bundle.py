#!/usr/bin/env python3
"""Makes update bundles the way someone outside the project would: the tar
headers by Python's tarfile, the compression by Python's gzip, the
signatures by openssl, the header block and the scrambling by hand. Nothing
of the project's own bundle writer is used, so what the device accepts is
tested against bytes it did not make itself.

  hostile_bundle.py --out FILE --key PEM [options] [members...]

Members, in archive order:
  --image NAME=PATH=SIGNAME   the file as member NAME, then its signature
                              (openssl dgst -sha256 -sign PEM) as SIGNAME
  --member NAME=PATH          the file as member NAME, unsigned
Then:
  --end-at OFFSET             a zero-filled member "pad" sized so that the
                              end-of-archive block ends at tar byte OFFSET
  --end-blocks K              all-zero blocks ending the archive (default 2)
  --after NAME=PATH[:EXTRA]   after the end blocks, a member whose header
                              claims EXTRA bytes more than it carries; with
                              EXTRA the archive stops inside its data
  --level L                   compression level (default 9)

  hostile_bundle.py --batch FILE
makes one bundle for each line of FILE, a command line of the form above.
"""
import argparse
import gzip
import shlex
import subprocess
import sys
import tarfile

HEADER_BLOCK = 131072
PAYLOAD_KEY = 0x5C
BLOCK = 512


def scramble_table():
    table = bytearray(256)
    for b in range(256):
        x = b ^ PAYLOAD_KEY
        table[b] = ((x << 4) | (x >> 4)) & 0xFF
    return bytes(table)


def header(name, size):
    info = tarfile.TarInfo(name)
    info.size = size
    info.mode = 0o644
    info.mtime = 0
    return info.tobuf(format=tarfile.USTAR_FORMAT)


def padded(data):
    return data + b"\0" * (-len(data) % BLOCK)


def member(name, data):
    return header(name, len(data)) + padded(data)


def sign(data, key):
    run = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=data, capture_output=True)
    if run.returncode != 0:
        sys.exit("openssl: " + run.stderr.decode())
    return run.stdout


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--out", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--image", action="append", default=[])
    p.add_argument("--member", action="append", default=[])
    p.add_argument("--end-at", type=int)
    p.add_argument("--end-blocks", type=int, default=2)
    p.add_argument("--after", action="append", default=[])
    p.add_argument("--level", type=int, default=9)
    args = p.parse_args(argv)
    # Members keep the order of the command line whatever their kind.
    order = [(argv[i], argv[i + 1]) for i in range(len(argv) - 1) if argv[i] in ("--image", "--member")]

    archive = b""
    for kind, item in order:
        if kind == "--image":
            name, path, signame = item.split("=")
            data = read(path)
            archive += member(name, data) + member(signame, sign(data, args.key))
        else:
            name, path = item.split("=")
            archive += member(name, read(path))
    if args.end_at is not None:
        pad = args.end_at - len(archive) - 2 * BLOCK
        if pad < 0 or pad % BLOCK:
            sys.exit("cannot end the archive at %d" % args.end_at)
        archive += member("pad", b"\0" * pad)
    archive += b"\0" * (BLOCK * args.end_blocks)
    for item in args.after:
        name, rest = item.split("=", 1)
        path, _, extra = rest.partition(":")
        data = read(path)
        extra = int(extra or 0)
        archive += header(name, len(data) + extra)
        archive += data if extra else padded(data)

    payload = gzip.compress(archive, compresslevel=args.level, mtime=0)
    bundle = b"FB02" + b"\0" * (HEADER_BLOCK - 4) + payload.translate(scramble_table())
    with open(args.out, "wb") as f:
        f.write(bundle)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--batch":
        with open(sys.argv[2]) as lines:
            for line in lines:
                if line.strip():
                    make(shlex.split(line))
    else:
        make(sys.argv[1:])


if __name__ == "__main__":
    main()
