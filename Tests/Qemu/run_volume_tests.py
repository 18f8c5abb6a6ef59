#!/usr/bin/env python3
"""The drivers as a platform ships them: their FFS files, with the test
platform's DXE driver and SMM dispatchers, are added to the DXE volume of
Debian's SMM-capable OVMF with fvtool. OVMF's own DXE dispatcher and SMM core
load them; PlatformTest.efi then raises S3, S4 and S5 entry and power-button
SMIs through SMM communicate. QEMU shows the Super I/O bytes (isa-debugcon at
0x2E and 0x2F, whose reads return a chosen byte), answers the status byte at
0x803, and traces the keyboard controller. The simulator runs the same
inputs; both must agree.

Two boots: the status byte clear (power-off programming allowed) and set.
Exits 0 only when every check passed.
"""

import argparse
import json
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run_firmware_tests import Failure, clean_lines, verdict, _watch  # noqa: E402

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.secboot.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"

PRODUCT_DXE = ["BoardInitDxe", "SignalTuneDxe", "SubsysIdDxe"]
PLATFORM_FILES = ["TestPlatformDxe", "TestSmmDispatchers"]
ALL_FILES = PLATFORM_FILES + PRODUCT_DXE + ["SioPowerSmm"]

# name, status byte at 0x803, what every Super I/O data read returns
BOOTS = [("status-clear", 0x00, 0x5A), ("status-set", 0x04, 0xA5)]
# What PlatformTest.efi does, in order; "setup-off" clears SioPowerOffEnable.
SMI_SEQUENCE = ["3", "4", "5", "pb", "setup-off", "pb"]
SIMULATOR_STEP = {"3": {"sx": 3}, "4": {"sx": 4}, "5": {"sx": 5}, "pb": "power-button"}
# Super I/O registers the handlers read: logical device 0x0A's and global 0x27.
SIO_LDN_REGISTERS = [0x30, 0xE0, 0xEC, 0xF0, 0xF4, 0xF9]
SIO_POWER_OFF_ENABLE = 0x286
SETUP_SIZE = 669

KBC_TRACE = re.compile(r"pckbd_kbd_write_(command|data)\s+(?:cmd|val)?\s*=?\s*(0x[0-9a-fA-F]+)")
FVTEST = re.compile(r"FVTEST (\S+) ?(.*)$")


def setup_bytes(header):
    """The (offset, value) pairs the platform driver creates Setup with."""
    text = Path(header).read_text()
    match = re.search(r"#define TEST_SETUP_BYTES (.*)", text)
    if not match:
        raise Failure(f"{header} has no TEST_SETUP_BYTES")
    return [(int(o, 0), int(v, 0)) for o, v in re.findall(r"\{(0x[0-9A-Fa-f]+|\d+),\s*(0x[0-9A-Fa-f]+|\d+)\}", match.group(1))]


def scenario(setup, status, readback, steps):
    return {
        "setup": {"fill": 0, "size": SETUP_SIZE, "attributes": "0x7",
                  "bytes": {hex(o): v for o, v in setup}},
        "io": {"0x803": hex(status)},
        "sio": {"global": {"0x27": hex(readback)},
                "ldn": {"0xA": {hex(r): hex(readback) for r in SIO_LDN_REGISTERS}}},
        "run": ["SioPowerSmm"] + steps,
    }


def simulate(boardsim, work, name, setup, status, readback):
    """Runs the SMI sequence in the simulator, one run per Setup content (a
    Setup change is a new run). Returns what the handlers wrote: port 0x2E
    bytes, port 0x2F bytes, keyboard-controller commands and data, and the
    final memory log."""
    segments, current, enabled = [], [], list(setup)
    for action in SMI_SEQUENCE:
        if action == "setup-off":
            segments.append((list(enabled), current))
            enabled = [(o, 0 if o == SIO_POWER_OFF_ENABLE else v) for o, v in enabled]
            current = []
        else:
            current.append(SIMULATOR_STEP[action])
    segments.append((enabled, current))

    index, data, keyboard, memory_log = [], [], [], None
    for number, (content, steps) in enumerate(segments):
        path = work / f"{name}-sim{number}.json"
        path.write_text(json.dumps(scenario(content, status, readback, steps), indent=1))
        run = subprocess.run([boardsim, "run", str(path)], capture_output=True, text=True, check=False)
        if run.returncode != 0:
            raise Failure(f"boardsim failed on {path}: {run.stderr.strip()}")
        in_smi = False
        for line in run.stdout.splitlines():
            event = json.loads(line)
            kind = event["event"]
            if kind == "smi":
                in_smi = True
            elif kind == "step":
                in_smi = False
            elif kind == "io-write" and in_smi:
                port, value = int(event["port"], 16), int(event["value"], 16)
                if port == 0x2E:
                    index.append(value)
                elif port == 0x2F:
                    data.append(value)
                elif port in (0x60, 0x64):
                    keyboard.append(("data" if port == 0x60 else "command", value))
            elif kind == "final":
                memory_log = event["memory_log"]
    return index, data, keyboard, memory_log


def qemu_boot(args, work, name, flash, status, readback):
    base = work / name
    fat = base / "fat"
    shutil.rmtree(base, ignore_errors=True)
    fat.mkdir(parents=True)
    shutil.copy2(args.test_app, fat / "PlatformTest.efi")
    command = "PlatformTest.efi " + " ".join(SMI_SEQUENCE)
    (fat / "startup.nsh").write_bytes(f"FS0:\r\n{command}\r\nreset -s\r\n".encode("ascii"))
    vars_fd = base / "vars.fd"
    shutil.copyfile(args.ovmf_vars, vars_fd)
    serial, trace = base / "serial.log", base / "trace.log"
    qemu = [
        args.qemu, "-machine", "q35,smm=on", "-m", "256M", "-nic", "none", "-nographic", "-no-reboot",
        "-global", "driver=cfi.pflash01,property=secure,value=on",
        "-serial", f"file:{serial}", "-monitor", "none",
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={flash}",
        "-drive", f"if=pflash,format=raw,unit=1,file={vars_fd}",
        "-drive", f"format=raw,file=fat:rw:{fat}",
        "-chardev", f"file,id=sioindex,path={base / 'port2e.bin'}",
        "-device", "isa-debugcon,iobase=0x2e,chardev=sioindex",
        "-chardev", f"file,id=siodata,path={base / 'port2f.bin'}",
        "-device", f"isa-debugcon,iobase=0x2f,chardev=siodata,readback={readback:#x}",
        "-chardev", f"file,id=status,path={base / 'port803.bin'}",
        "-device", f"isa-debugcon,iobase=0x803,chardev=status,readback={status:#x}",
        "-trace", "enable=pckbd_kbd_write_command", "-trace", "enable=pckbd_kbd_write_data",
        "-D", str(trace),
    ]
    started = time.monotonic()
    with open(base / "qemu.log", "wb") as log:
        proc = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        timed_out = _watch(proc, serial, started, args.timeout)
    elapsed = time.monotonic() - started
    lines = clean_lines(serial.read_bytes()) if serial.exists() else []
    print(f"--- {name}: status byte {status:#04x}, Super I/O reads {readback:#04x}  ({elapsed:.1f} s"
          f"{', TIMED OUT' if timed_out else ''})")
    keyboard = []
    if trace.exists():
        for match in KBC_TRACE.finditer(trace.read_text("latin-1")):
            keyboard.append((match.group(1), int(match.group(2), 16)))
    read = lambda p: list(p.read_bytes()) if p.exists() else []
    return lines, timed_out, read(base / "port2e.bin"), read(base / "port2f.bin"), keyboard, elapsed


def hexes(values):
    return " ".join(f"{v:02X}" for v in values)


def check_boot(name, lines, timed_out, files, index, data, keyboard, expected):
    problems = []
    report = {}
    for line in lines:
        if "FVTEST" in line:
            line = line[line.index("FVTEST"):]
            print(f"    {line}")
            match = FVTEST.match(line)
            if match:
                report.setdefault(match.group(1), []).append(match.group(2))
    if "FVTEST-END" not in "\n".join(lines):
        exception = next((l.strip() for l in lines if "Exception Type" in l), None)
        reason = exception or ("no result within the time limit" if timed_out else "QEMU stopped early")
        tail = "\n".join(l for l in lines[-20:] if l.strip())
        return [f"{name}: PlatformTest.efi never finished ({reason}); last console lines:\n{tail}"]

    # Dispatched from the volume, entries successful (the DXE core unloads an
    # image whose entry failed), the platform ahead of the product drivers.
    loaded = {}
    for entry in report.get("image", []):
        position, guid = entry.split()[:2]
        loaded[guid.upper()] = int(position)
    where = {file: loaded.get(guid.upper()) for file, guid in files.items()}
    for file in ["TestPlatformDxe"] + PRODUCT_DXE:
        if where[file] is None:
            problems.append(f"{name}: {file} is not loaded (not dispatched, or its entry failed)")
    if all(where[f] is not None for f in ["TestPlatformDxe"] + PRODUCT_DXE):
        late = [f for f in PRODUCT_DXE if where[f] < where["TestPlatformDxe"]]
        if late:
            problems.append(f"{name}: {', '.join(late)} dispatched before the test platform")

    platform = (report.get("platform") or ["absent"])[0]
    if platform != "memory-log=Success pcd-wrap=Success setup=Success":
        problems.append(f"{name}: the test platform reports {platform}")
    sets = [p for p in report.get("pcd", []) if p.startswith("set")]
    if sets != ["set32 623 0x6A311C5E", "set32 576 0x6A341C5E", "set32 326 0x0"]:
        problems.append(f"{name}: SubsysIdDxe's PCD sets were {sets}")

    # SioPowerSmm holds four registrations (three Sx, one button), and every
    # SMI reached its handler once. OVMF's own SMM drivers register S3-entry
    # handlers of their own once a dispatcher exists: those run too.
    smm = files["SioPowerSmm"].upper()
    registered = (report.get("registered") or [""])[-1].upper().split(",")
    if registered.count(smm) != 4:
        problems.append(f"{name}: SioPowerSmm holds {registered.count(smm)} registrations, not 4 ({registered})")
    smis = report.get("smi", [])
    wanted = [a for a in SMI_SEQUENCE if a != "setup-off"]
    if len(smis) != len(wanted):
        problems.append(f"{name}: {len(smis)} SMIs reported for {len(wanted)} raised")
    for action, smi in zip(wanted, smis):
        fields = dict(f.split("=", 1) for f in smi.split()[1:])
        ran = fields.get("ran", "").upper().split(",")
        if fields.get("status") != "Success" or fields.get("last") != "0x0" or ran.count(smm) != 1 or \
                (action == "pb" and ran != [smm]):
            problems.append(f"{name}: SMI {action}: {smi}; SioPowerSmm's handler must run once, with status 0")

    exp_index, exp_data, exp_keyboard, exp_log = expected
    if index != exp_index:
        problems.append(f"{name}: port 0x2E got [{hexes(index)}], the simulator wrote [{hexes(exp_index)}]")
    if data != exp_data:
        problems.append(f"{name}: port 0x2F got [{hexes(data)}], the simulator wrote [{hexes(exp_data)}]")
    # OVMF's own keyboard driver talks to the controller during boot; the
    # handlers' traffic is what comes last.
    if keyboard[len(keyboard) - len(exp_keyboard):] != exp_keyboard or len(keyboard) < len(exp_keyboard):
        problems.append(f"{name}: keyboard controller got {keyboard[-len(exp_keyboard) - 4:]}, "
                        f"the simulator sent {exp_keyboard}")
    log_hex = (report.get("memory-log") or [""])[0]
    qemu_log = bytes.fromhex(log_hex) if log_hex else b""
    if exp_log is None:
        if qemu_log[:4] == b"DMEM":
            problems.append(f"{name}: the memory-log block holds a log; the simulator's holds none")
    else:
        sim = bytes.fromhex(exp_log["data"])
        if qemu_log[:4] != b"DMEM" or qemu_log[16:16 + len(sim)] != sim:
            problems.append(f"{name}: memory log {log_hex}, the simulator's {exp_log}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fvtool", required=True)
    parser.add_argument("--boardsim", required=True)
    parser.add_argument("--ffs", action="append", required=True, help="NAME=GUID=PATH of a firmware file")
    parser.add_argument("--test-app", required=True, help="PlatformTest.efi")
    parser.add_argument("--platform-header", required=True, help="TestPlatform.h")
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--ovmf-code", default=OVMF_CODE)
    parser.add_argument("--ovmf-vars", default=OVMF_VARS)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds allowed for one boot")
    args = parser.parse_args()

    work = Path(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    problems = []
    try:
        for needed in (args.ovmf_code, args.ovmf_vars):
            if not Path(needed).is_file():
                raise Failure(f"{needed} not found; tools/bootstrap installs the ovmf package")
        if shutil.which(args.qemu) is None:
            raise Failure(f"{args.qemu} not found; tools/bootstrap installs qemu-system-x86")
        files, paths = {}, {}
        for given in args.ffs:
            file, guid, path = given.split("=", 2)
            files[file], paths[file] = guid, path
        missing = [f for f in ALL_FILES if f not in files]
        if missing:
            raise Failure(f"no firmware file given for {', '.join(missing)}")
        flash = work / "OVMF_CODE_BOARD.fd"
        added = subprocess.run([args.fvtool, "add", "--flash", args.ovmf_code, "-o", str(flash)] +
                               [paths[f] for f in ALL_FILES], capture_output=True, text=True, check=False)
        if added.returncode != 0:
            raise Failure(f"fvtool add failed: {added.stderr.strip()}")
        setup = setup_bytes(args.platform_header)
        total = 0.0
        for name, status, readback in BOOTS:
            expected = simulate(args.boardsim, work, name, setup, status, readback)
            lines, timed_out, index, data, keyboard, elapsed = qemu_boot(args, work, name, flash, status, readback)
            total += elapsed
            problems += check_boot(name, lines, timed_out, files, index, data, keyboard, expected)
        print(f"boot time: {total:.1f} s for {len(BOOTS)} boots")
    except Failure as error:
        problems.append(str(error))

    return verdict(problems, "the drivers in the firmware volume behave as the simulator says")


if __name__ == "__main__":
    sys.exit(main())
