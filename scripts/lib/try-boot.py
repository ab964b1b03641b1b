#!/usr/bin/env python3
"""One boot of the boot trial (scripts/try-boot.sh): boots a disk in QEMU,
headless, and says what happened.

    try-boot.py --as diskette|stick --start BYTE --size BYTES
                --timeout S --quiet S [--banner TEXT] --png OUT --work DIR DISK

DISK is the BIOS's drive A: (diskette) or its first hard disk (stick; QEMU
keeps the guest's writes in a temporary overlay). The image lies at
[START, START + SIZE) of DISK: 0 on a diskette, the partition's start on a
stick, behind the stick's MBR.

What it watches: the BIOS's own log (SeaBIOS writes it to the debug port
0x402: "Booting from 0000:7c00" when it hands over to a boot sector, "Boot
failed: ..." when it refuses a drive), every read of the disk with its byte
offset (QEMU's blk_co_preadv trace event, which its 'log' trace backend
writes to a file), COM1, and QEMU's SHUTDOWN event on its QMP socket (with
-no-reboot and -no-shutdown a power-off or a reset stops the guest but
leaves QEMU up, so the screen can still be taken).

The boot ends when the guest powers off or resets, after TIMEOUT seconds,
or, once the BIOS has given its verdict, when nothing has been read or
logged for QUIET seconds. With --banner it waits for a power-off instead of
quiet, and the boot passes only with TEXT on COM1 and the power-off.

The reads up to the first one of the image's first sector (at START) are
the BIOS's, and on a stick its MBR's too: the ones after it are the image's
boot code. The boot passes when the BIOS handed over, the image's first
sector was read, the boot code then read more, and every read of it fell
inside the image.

Prints the report on stdout; writes the screen at the end to OUT as a PNG.
Exits 0 when the boot passes, 1 when it does not, 3 when QEMU could not be
run as the trial needs.
"""
import argparse
import json
import os
import re
import socket
import struct
import subprocess
import sys
import time
import zlib

HANDED_OVER = "Booting from 0000:7c00"
TEXT_SCREEN = 0xB8000
COLUMNS, ROWS = 80, 25


class TrialError(Exception):
    """QEMU could not be run as the trial needs."""


class Qmp:
    """A QMP connection: commands one at a time, events kept as they come."""

    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise TrialError("no QMP socket from QEMU")
                time.sleep(0.05)
        self.sock.settimeout(10)
        self.buffer = b""
        self.events = []
        self._message()  # the greeting
        self.command("qmp_capabilities")

    def _message(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise TrialError("QEMU closed its QMP socket")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            message = self._message()
            if "event" in message:
                self.events.append(message)
            elif "error" in message:
                raise TrialError(f"QMP {name}: {message['error'].get('desc')}")
            elif "return" in message:
                return message["return"]

    def poll(self):
        """The events that came since the last call."""
        self.command("query-status")
        events, self.events = self.events, []
        return events


def qemu_value(text):
    """A QEMU option value: its commas doubled."""
    return text.replace(",", ",,")


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except FileNotFoundError:
        return ""


def reads_of(path):
    """The disk's reads in order: (offset, bytes)."""
    return [(int(m.group(1)), int(m.group(2)))
            for m in re.finditer(r"blk_co_preadv .*?offset (\d+) bytes (\d+)", read_text(path))]


def screen_lines(path):
    """The text screen, as 25 lines of 80 characters (code page 437), less trailing blanks."""
    with open(path, "rb") as f:
        cells = f.read()[: COLUMNS * ROWS * 2]
    chars = bytes(b if b >= 0x20 else 0x20 for b in cells[0::2]).decode("cp437")
    lines = [chars[i:i + COLUMNS].rstrip() for i in range(0, len(chars), COLUMNS)]
    while lines and not lines[-1]:
        lines.pop()
    return lines


def ppm_to_png(ppm, png):
    """Writes the binary PPM (P6, 8 bits) ppm as an RGB PNG."""
    with open(ppm, "rb") as f:
        data = f.read()
    fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not fields or fields.group(3) != b"255":
        raise TrialError(f"{ppm}: not an 8-bit binary PPM")
    width, height = int(fields.group(1)), int(fields.group(2))
    pixels = data[fields.end():]
    row = width * 3
    raw = b"".join(b"\0" + pixels[y * row:(y + 1) * row] for y in range(height))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(png, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9))
                + chunk(b"IEND", b""))


def boot(args):
    """Runs QEMU until the boot ends; returns how it ended and how long it took."""
    work = args.work
    logs = {name: os.path.join(work, name + ".log") for name in ("bios", "reads", "serial")}
    qmp_path = os.path.join(work, "qmp.sock")
    diskette = args.kind == "diskette"
    drive = ("if=floppy,index=0,readonly=on" if diskette else "if=ide,index=0,snapshot=on")
    command = [
        "qemu-system-i386", "-accel", "tcg", "-machine", "pc", "-m", "32", "-S",
        "-drive", f"file={qemu_value(args.disk)},format=raw,{drive}", "-boot", "a" if diskette else "c",
        "-no-reboot", "-no-shutdown", "-nic", "none", "-display", "none",
        "-monitor", "none", "-parallel", "none",
        "-serial", "file:" + qemu_value(logs["serial"]),
        "-chardev", f"file,id=bios,path={qemu_value(logs['bios'])}",
        "-device", "isa-debugcon,iobase=0x402,chardev=bios",
        "-trace", f"blk_co_preadv,file={qemu_value(logs['reads'])}",
        "-qmp", f"unix:{qemu_value(qmp_path)},server=on,wait=off",
    ]
    with open(os.path.join(work, "qemu.log"), "wb") as out:
        qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    try:
        qmp = Qmp(qmp_path, time.monotonic() + 10)
        qmp.command("cont")
        start = last_change = time.monotonic()
        sizes = None
        while True:
            time.sleep(0.1)
            for event in qmp.poll():
                if event["event"] == "SHUTDOWN":
                    reason = event.get("data", {}).get("reason")
                    ended = "power-off" if reason == "guest-shutdown" else "reset" if reason == "guest-reset" else reason
                    return finish(qmp, qemu, args, ended, time.monotonic() - start)
            now = time.monotonic()
            if now - start >= args.timeout:
                return finish(qmp, qemu, args, "timeout", now - start)
            seen = tuple(os.path.getsize(p) if os.path.exists(p) else 0 for p in logs.values())
            if seen != sizes:
                sizes, last_change = seen, now
            bios = read_text(logs["bios"])
            refused = HANDED_OVER not in bios and "No bootable device" in bios
            if (refused or (HANDED_OVER in bios and not args.banner)) and now - last_change >= args.quiet:
                return finish(qmp, qemu, args, "quiet", now - start)
    except (OSError, TrialError) as e:
        qemu.kill()
        qemu.wait()
        raise TrialError(f"{e}; QEMU said: {read_text(os.path.join(work, 'qemu.log')).strip()}")


def finish(qmp, qemu, args, ended, seconds):
    """Takes the screen (a picture and its text), then ends QEMU."""
    ppm, text = os.path.join(args.work, "screen.ppm"), os.path.join(args.work, "screen.bin")
    qmp.command("screendump", filename=ppm)
    qmp.command("pmemsave", val=TEXT_SCREEN, size=COLUMNS * ROWS * 2, filename=text)
    try:
        qmp.command("quit")
    except TrialError:
        pass  # QEMU may close the socket before it answers
    qemu.wait(timeout=10)
    ppm_to_png(ppm, args.png)
    return ended, seconds, screen_lines(text)


def report(args, ended, seconds, screen):
    """Prints what the boot showed; returns the reasons it fails (none: it passes)."""
    problems = []
    bios = read_text(os.path.join(args.work, "bios.log")).replace("\r", "")
    said = [line.strip() for line in bios.split("\n")
            if line.startswith(("Booting from", "Boot failed", "No bootable device"))]
    handed_over = HANDED_OVER in said
    what = "the boot sector" if args.kind == "diskette" else "the stick's MBR"
    # The BIOS's words on this drive; then those on the drives it tried next.
    if handed_over:
        ours = said.index(HANDED_OVER) + 1
        print(f"  BIOS:    handed over to {what} ({'; '.join(said[:ours])})")
    else:
        ours = next((i for i, line in enumerate(said) if i and line.startswith("Booting from")), len(said))
        print(f"  BIOS:    refused ({'; '.join(said[:ours]) or 'said nothing of a boot'})")
        problems.append("the BIOS did not hand over")
    if said[ours:]:
        print(f"  BIOS:    then {'given the machine back, ' if handed_over else ''}tried on: {'; '.join(said[ours:])}")

    reads = reads_of(os.path.join(args.work, "reads.log"))
    end = args.start + args.size
    first = next((i for i, (offset, _) in enumerate(reads) if offset == args.start), None)
    if handed_over and not reads:
        raise TrialError("no read traced: this QEMU's trace backend is not 'log'")
    if handed_over and first is None:
        print(f"  reads:   the MBR never read the image's first sector (at byte {args.start})")
        problems.append("the image was not started")
    elif handed_over:
        if args.kind == "stick":
            print(f"  MBR:     read the partition's first sector (the image's), at byte {args.start}")
        code = reads[first + 1:]
        outside = [(o, n) for o, n in code if o < args.start or o + n > end]
        if not code:
            print("  reads:   the boot code read nothing after the hand-over")
            problems.append("the boot code read nothing of the image")
        else:
            total = sum(n for _, n in code)
            span = f"bytes {min(o for o, _ in code)} to {max(o + n for o, n in code)} of the disk"
            print(f"  reads:   the boot code read {total} bytes in {len(code)} read{'s' * (len(code) > 1)}, {span}")
        if outside:
            o, n = outside[0]
            print(f"  outside: {len(outside)} of its reads fell outside the image [{args.start}, {end}):"
                  f" the first, {n} bytes at byte {o} of the disk")
            problems.append("a read fell outside the image")
        elif code:
            print(f"  inside:  every read fell inside the image [{args.start}, {end})")

    serial = [line for line in read_text(os.path.join(args.work, "serial.log")).replace("\r", "").split("\n")
              if line.strip()]
    for line in serial[-10:]:
        print(f"  COM1:    {line}")
    if not serial:
        print("  COM1:    nothing")
    print("  end:     " + {
        "power-off": f"the guest powered off after {seconds:.1f} s",
        "reset": f"the guest reset the machine after {seconds:.1f} s",
        "timeout": f"stopped at the time limit, {args.timeout} s",
        "quiet": f"stopped after {args.quiet} s without a read or a log line ({seconds:.1f} s in all)",
    }.get(ended, f"QEMU's guest stopped ({ended}) after {seconds:.1f} s"))
    if args.banner:
        if not any(args.banner in line for line in serial):
            problems.append(f'no "{args.banner}" on COM1')
        if ended != "power-off":
            problems.append("no power-off")
    print(f"  screen:  at the end ({args.png}):")
    for line in screen or [""]:
        print(f"    | {line}")
    return problems


def main():
    parser = argparse.ArgumentParser(description="One boot of scripts/try-boot.sh.")
    parser.add_argument("--as", dest="kind", choices=("diskette", "stick"), required=True)
    parser.add_argument("--start", type=int, required=True)
    parser.add_argument("--size", type=int, required=True)
    parser.add_argument("--timeout", type=float, required=True)
    parser.add_argument("--quiet", type=float, required=True)
    parser.add_argument("--banner")
    parser.add_argument("--png", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("disk")
    args = parser.parse_args()
    try:
        problems = report(args, *boot(args))
    except TrialError as e:
        print(f"try-boot.py: cannot run the boot: {e}", file=sys.stderr)
        return 3
    print(f"  verdict: {'FAIL: ' + '; '.join(problems) if problems else 'PASS'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
