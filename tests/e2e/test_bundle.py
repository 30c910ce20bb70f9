"""A bundle made on the device after a dump, read back on a PC: the same
records and events as --dump showed on the device, every member as its
manifest says, and nothing that is not a plain file of the log root."""

from __future__ import annotations

import base64
import datetime
import hashlib
import io
import json
import os
import struct
import subprocess
import tarfile
from pathlib import Path

from tool_support import INI_ALL, payloads, start, wait_until

import oamsim

OAMLOG = Path(os.environ.get("OAMLOG_BIN") or oamsim.default_binary().parent / "oamlog").resolve()
WIFI_LOG = "/vendor/log/wifi_log/wifi_log_1"
BFG_LOG = "/vendor/log/bfg_log/bfg_log_1"
CUST_INI = "[HOST_PLAT]\nwifi_log_size=10\n"
SENT = 40


def on_device(chip, *args) -> str:
    proc = chip.start_process([str(OAMLOG), *map(str, args)], preload=False, ro_paths=[OAMLOG], target=True,
                              name=f"oamlog{len(args)}")
    assert proc.wait(timeout=60) == 0, proc.stderr
    return proc.stdout


def shown(lines: str) -> list[dict]:
    """Records and events; a record's file and offset are where it is kept,
    which a bundle changes."""
    out = []
    for obj in map(json.loads, lines.splitlines()):
        obj.pop("file", None)
        obj.pop("offset", None)
        out.append(obj)
    return out


def send_logs(chip, tag: str):
    for n in range(SENT):
        chip.send_wifi_log(f"wifi {tag} {n:03d}\n".encode())
    chip.send_chunks("qvbfgdbg", [f"bfg {tag} {n:03d}\n".encode() for n in range(SENT)])


def test_a_bundle_reads_back_as_dump_showed_it_on_the_device(chip_factory):
    chip = chip_factory(model="zr4005", ini=INI_ALL, cust_ini=CUST_INI)
    oam = start(chip)
    stored = 0

    def settle():
        nonlocal stored
        stored += SENT
        wait_until(lambda: len(payloads(chip, WIFI_LOG)) == stored and len(payloads(chip, BFG_LOG)) == stored,
                   "records stored", 20)

    send_logs(chip, "before")
    settle()
    ev = chip.dump("wifi", 0, [b"region one", 4096])
    chip.wait_dump_wait(oamsim.NODE_WIFI_EXCP, after=ev.seq + 1)
    send_logs(chip, "after")
    settle()
    oam.terminate()
    assert oam.wait() == 0
    [archive] = [n for n in chip.listdir("/vendor/log/memdump") if n.endswith(".tar.gz")]
    device = shown(on_device(chip, "--dump", archive, "--before", "60", "--json"))
    assert {"wifi", "bfg"} <= {o["core"] for o in device if "event" not in o}
    assert any(o.get("event") == "dump-reported" for o in device)

    # Neither a FIFO standing as the archive's context nor a link among the
    # log files is read into the bundle.
    root = chip.host_path("/vendor/log")
    context = archive.removesuffix(".tar.gz") + ".context"
    os.mkfifo(root / "memdump" / context)
    os.symlink("/etc/passwd", root / "wifi_log" / "wifi_log_9")
    on_device(chip, "--bundle", "/data/vendor/crash.tar.gz", "--dump", archive, "--before", "60")

    bundle = chip.host_path("/data/vendor/crash.tar.gz")
    got = subprocess.run([*oamsim.exec_prefix(), str(OAMLOG), str(bundle), "--json"], capture_output=True, timeout=60)
    assert got.returncode == 0 and got.stderr == b"", got.stderr.decode()
    assert shown(got.stdout.decode()) == device

    with tarfile.open(bundle, "r:gz") as tf:
        members = {m.name: tf.extractfile(m).read() for m in tf.getmembers() if m.isreg()}
    manifest = json.loads(members.pop("manifest.json"))
    assert {m["name"]: (m["size"], m["sha256"]) for m in manifest["members"]} == {
        name: (len(data), hashlib.sha256(data).hexdigest()) for name, data in members.items()}
    assert members[f"memdump/{archive}"] == (root / "memdump" / archive).read_bytes()
    assert members["ini/cust_ini_cfg"] == CUST_INI.encode()
    assert members[f"ini/{Path(chip.ini_path).name}"] == INI_ALL.encode()
    assert sorted(manifest["left_out"], key=lambda m: m["name"]) == [
        {"name": f"memdump/{context}", "why": "not a regular file"},
        {"name": "wifi_log/wifi_log_9", "why": "a link"}]
    assert (manifest["chips"], manifest["modes"], manifest["window"]["dump"]) == (["zr4005"], ["normal"], archive)
    assert [(c["core"], c["records"], c["lost"]) for c in manifest["cores"]] == [
        (core, sum(1 for o in device if o["core"] == core and "event" not in o), 0) for core in ("wifi", "bfg", "me")]
    # The stored record format, as the PC tool reads the device's files.
    assert members["wifi_log/wifi_log_1"] in chip.read_file(WIFI_LOG)
    # Members keep the files' modes and times; the manifest leads.
    with tarfile.open(bundle, "r:gz") as tf:
        assert tf.getnames()[0] == "manifest.json"
        wifi = tf.getmember("wifi_log/wifi_log_1")
    st = (root / "wifi_log" / "wifi_log_1").stat()
    assert (wifi.mode & 0o7777, wifi.mtime) == (st.st_mode & 0o7777, int(st.st_mtime))

    # A record that only the context holds, from before the log files
    # reach back: the bundle shows it as --dump did on the device.
    (root / "memdump" / context).unlink()
    only = b"wifi only in the context\n"
    (root / "memdump" / context).write_bytes(context_of(archive, only, 20))
    device = shown(on_device(chip, "--dump", archive, "--before", "60", "--json"))
    assert base64.b64encode(only).decode() in [o.get("data") for o in device]
    on_device(chip, "--bundle", "/data/vendor/context.tar.gz", "--dump", archive, "--before", "60")
    got = subprocess.run([*oamsim.exec_prefix(), str(OAMLOG), str(chip.host_path("/data/vendor/context.tar.gz")),
                          "--json"], capture_output=True, timeout=60)
    assert got.returncode == 0 and got.stderr == b"", got.stderr.decode()
    assert shown(got.stdout.decode()) == device


def context_of(archive: str, data: bytes, seconds_before: int) -> bytes:
    """A dump's context holding one wifi record, stamped that long before
    the dump was reported (the archive's name tells when, local time)."""
    fields = [int(f) for f in archive.removesuffix(".tar.gz").split("_")[-6:]]
    when = datetime.datetime(*fields) - datetime.timedelta(seconds=seconds_before)
    stamp = (when.year, when.month, when.day, when.hour, when.minute, when.second, 0)
    record = struct.pack("<BBH7H", 0xAA, 0, 18 + len(data), *stamp) + data
    text = when.strftime("%Y-%m-%d %H:%M:%S.000")
    return (f"oam dump context: {seconds_before} s before {text}\n"
            f"core wifi: 1 records, {len(record)} bytes, first {text}, last {text}, 0 lost, 0 left out, "
            f"0 compressed not read\n").encode() + record
