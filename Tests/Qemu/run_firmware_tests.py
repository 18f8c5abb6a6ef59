#!/usr/bin/env python3
"""Boots OVMF under QEMU twice with the DXE driver images and the test harness
on a FAT volume, and checks the harness's result lines.

Boot 1 runs the cases setup-absent, pcd-withdrawn and setup-written; boot 2
(same variable store, so the Setup variable written in boot 1 is still there)
runs setup-kept. Exits 0 only when every check passed and every check this
build's images call for was reported.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

BOOTS = [
    ("boot1", ["setup-absent", "pcd-withdrawn", "setup-written"]),
    ("boot2", ["setup-kept"]),
]

# Dispatch order on the board; any other DXE image follows in name order.
DISPATCH_ORDER = ["BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe"]
REQUIRED_IMAGES = ["SignalTuneDxe", "SubsysIdDxe"]
# Drivers whose Setup and PCD traffic the harness knows.
SETUP_READERS = ["BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe"]

OVMF_CODE = ["/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/ovmf/OVMF.fd"]
OVMF_VARS = ["/usr/share/OVMF/OVMF_VARS_4M.fd", "/usr/share/OVMF/OVMF_VARS.fd"]

ANSI = re.compile(r"\x1b\[[0-9;=?]*[A-Za-z]")
RESULT = re.compile(r"BOARDTEST (\S+) (PASS|FAIL)(?: (.*))?$")
SUMMARY = re.compile(r"BOARDTEST-SUMMARY passed=(\d+) failed=(\d+)")
RUNNING = re.compile(r"BOARDTEST-INFO run (\S+)")
CPU_EXCEPTION = b"!!!! X64 Exception"


class Failure(Exception):
    pass


def verdict(problems, passed):
    """Prints the problems found, or Passed; the exit status."""
    if problems:
        print("\nFAILED:")
        for problem in problems:
            print(f"  {problem}")
        return 1
    print(f"\n{passed}")
    return 0


def first_existing(paths, what):
    for path in paths:
        if os.path.isfile(path):
            return path
    raise Failure(f"{what} not found (looked for {', '.join(paths)}); tools/bootstrap installs the ovmf package")


def dxe_images(firmware_dir):
    names = sorted(p.stem for p in Path(firmware_dir).glob("*Dxe.efi"))
    missing = [n for n in REQUIRED_IMAGES if n not in names]
    if missing:
        raise Failure(f"missing firmware images in {firmware_dir}: {', '.join(missing)}")
    ordered = [n for n in DISPATCH_ORDER if n in names]
    return ordered + [n for n in names if n not in ordered]


def required_checks(images, cases):
    """Names the harness must report for these images and cases."""
    names = ["harness.debug-recorder", "harness.debug-recorder-removed"]
    # Each image loaded as from the firmware volume: code read-only, the rest never executed.
    names += [f"page-protection.{image}" for image in images]
    case_checks = {
        "setup-absent": ["setup-deleted", "pcd-recorder", "pcd-protocol-restored", "setup-still-absent"],
        "pcd-withdrawn": ["pcd-protocol-absent", "pcd-protocol-restored"],
        "setup-written": ["setup-created", "pcd-recorder", "pcd-protocol-restored", "setup-content", "setup-attributes"],
        "setup-kept": ["pcd-recorder", "pcd-protocol-restored", "setup-persisted", "setup-unchanged"],
    }
    for case in cases:
        names += [f"{case}.{c}" for c in case_checks[case]]
        for image in images:
            per_image = ["entry", "cpu-frequency-record", "debug-messages", "setup-writes"]
            if case != "pcd-withdrawn":
                per_image += ["pcd-reads", "pcd-sets"]
            if image in SETUP_READERS:
                per_image.append("setup-reads")
            names += [f"{case}.{image}.{c}" for c in per_image]
    return names


def clean_lines(raw):
    text = ANSI.sub("", raw.decode("latin-1"))
    return [line.rstrip() for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n")]


def _watch(proc, serial, started, timeout):
    """Waits for QEMU to power off; kills it on a CPU exception (once the
    firmware's register dump is out: it spins afterwards) or at the time limit.
    Returns True when the time limit ended the boot."""
    crashed_at = None
    timed_out = False
    while proc.poll() is None:
        now = time.monotonic()
        if now - started > timeout:
            timed_out = True
            break
        if crashed_at is None and serial.exists() and CPU_EXCEPTION in serial.read_bytes():
            crashed_at = now
        if crashed_at is not None and now - crashed_at > 2.0:
            break
        time.sleep(0.25)
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    return timed_out


def boot(args, work, name, images, cases, code, vars_fd):
    fat = work / name / "fat"
    shutil.rmtree(work / name, ignore_errors=True)
    (fat / "images").mkdir(parents=True)
    shutil.copy2(args.harness, fat / "BoardTestHarness.efi")
    for image in images:
        shutil.copy2(Path(args.firmware_dir) / f"{image}.efi", fat / "images" / f"{image}.efi")
    command = f"BoardTestHarness.efi -images {' '.join(images)} -cases {' '.join(cases)}"
    (fat / "startup.nsh").write_bytes(f"FS0:\r\n{command}\r\nreset -s\r\n".encode("ascii"))

    serial = work / name / "serial.log"
    qemu_log = work / name / "qemu.log"
    qemu = [
        args.qemu, "-machine", "q35", "-m", "256M", "-nic", "none", "-nographic", "-no-reboot",
        "-serial", f"file:{serial}", "-monitor", "none",
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
        "-drive", f"if=pflash,format=raw,unit=1,file={vars_fd}",
        "-drive", f"format=raw,file=fat:rw:{fat}",
    ]
    started = time.monotonic()
    with open(qemu_log, "wb") as log:
        proc = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        timed_out = _watch(proc, serial, started, args.timeout)
    returncode = proc.returncode
    qemu_output = qemu_log.read_text("latin-1")
    elapsed = time.monotonic() - started
    lines = clean_lines(serial.read_bytes()) if serial.exists() else []
    print(f"--- {name}: {command}  ({elapsed:.1f} s{', TIMED OUT' if timed_out else ''})")
    return lines, timed_out, returncode, qemu_output


def evaluate(name, lines, timed_out, returncode, qemu_output, images, cases, args_timeout):
    """Prints the harness's lines; returns the list of problems found."""
    problems = []
    results = {}
    summary = None
    for line in lines:
        if "BOARDTEST" not in line:
            continue
        line = line[line.index("BOARDTEST"):]
        print(f"    {line}")
        match = RESULT.match(line)
        if match:
            check, verdict, details = match.group(1), match.group(2), match.group(3) or ""
            results[check] = (verdict, details)
            if verdict == "FAIL":
                problems.append(f"{name}: check {check} failed: {details}")
            continue
        match = SUMMARY.match(line)
        if match:
            summary = (int(match.group(1)), int(match.group(2)))

    if summary is None:
        exception = next((l for l in lines if "Exception Type" in l), None)
        running = [m.group(1) for m in map(RUNNING.search, lines) if m]
        if exception:
            reason = f"CPU exception: {exception.strip()}"
        elif timed_out:
            reason = f"no result within {args_timeout:.0f} s"
        else:
            reason = f"QEMU exited with status {returncode}"
        where = f" while running {running[-1]}" if running else ""
        problems.append(f"{name}: the harness never finished{where} ({reason})")
        tail = "\n".join(l for l in lines[-25:] if l.strip())
        print(f"    serial console, last lines:\n{tail}")
        if qemu_output.strip():
            print(f"    QEMU said:\n{qemu_output.strip()}")
    elif summary[1] != sum(1 for v, _ in results.values() if v == "FAIL"):
        problems.append(f"{name}: the harness's summary counts {summary[1]} failures, not its FAIL lines")

    if summary is not None:
        missing = [c for c in required_checks(images, cases) if c not in results]
        if missing:
            problems.append(f"{name}: checks never reported: {', '.join(missing)}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--firmware-dir", required=True, help="directory holding <Driver>.efi")
    parser.add_argument("--harness", required=True, help="BoardTestHarness.efi")
    parser.add_argument("--work-dir", required=True, help="scratch directory (emptied first)")
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", default=None)
    parser.add_argument("--ovmf-vars", default=None)
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds allowed for one boot")
    args = parser.parse_args()

    try:
        if shutil.which(args.qemu) is None:
            raise Failure(f"{args.qemu} not found; tools/bootstrap installs qemu-system-x86")
        if not os.path.isfile(args.harness):
            raise Failure(f"harness image {args.harness} not built")
        code = args.ovmf_code or first_existing(OVMF_CODE, "OVMF firmware code")
        vars_template = args.ovmf_vars or first_existing(OVMF_VARS, "OVMF variable store")
        images = dxe_images(args.firmware_dir)
    except Failure as error:
        print(f"FAIL: {error}")
        return 1

    work = Path(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    # A private variable store: boot 2 must find what boot 1 wrote.
    vars_fd = work / "OVMF_VARS.fd"
    shutil.copyfile(vars_template, vars_fd)

    print(f"images: {' '.join(images)}")
    if "BoardInitDxe" not in images:
        print("note: BoardInitDxe.efi is not built; its checks are skipped")

    problems = []
    for name, cases in BOOTS:
        lines, timed_out, returncode, qemu_output = boot(args, work, name, images, cases, code, vars_fd)
        found = evaluate(name, lines, timed_out, returncode, qemu_output, images, cases, args.timeout)
        problems += found
        if found and name == "boot1" and not any("check " in p for p in found):
            break  # boot 2 depends on boot 1 having run

    return verdict(problems, "all firmware checks passed")


if __name__ == "__main__":
    sys.exit(main())
