#!/usr/bin/python3
"""The host side of scripts/boot-test (see README, "Boot test").

    /usr/bin/python3 sim/boottest.py --root ROOT --deb oam.deb --preload oamsim_preload.so

The virtual chip runs here; ROOT boots in a throw-away overlay, where a
one-shot unit wires the chip into oam.service with a drop-in, installs the
package on a root without /vendor/log (the package starts the service),
removes and purges it and tells this side, which judges that; then it
installs the package again and tells this side, which drives the chip; then
the unit stops the service and powers off.  A probe run as part of the service
(ExecStartPost) tries what the hardening must refuse.  Exit status: 0
passed, 1 failed, 77 the container did not boot.
"""

from __future__ import annotations

import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import oamsim  # noqa: E402

INI = "[HOST_PLAT]\nlog_switch_device_wifi=1\nlog_switch_device_bfg=1\nlog_switch_device_me=1\nlog_compress=zstd\n"
BOOT_SECONDS = 180
STEP_SECONDS = 30
STOP_BOUND = 10.0   # the unit's TimeoutStopSec=
WATCHDOG_SEC = 3    # the drop-in's WatchdogSec=
WIFI_LOG_DIR = "/vendor/log/wifi_log"

# In the container: /oamsim is the chip's folder, /oamtest this run's files.
CHECK_UNIT = """[Unit]
Description=oam boot test
After=basic.target
[Service]
Type=oneshot
ExecStart=/bin/sh /oamtest/inside.sh
StandardOutput=journal+console
StandardError=journal+console
"""

DROP_IN = """[Service]
WatchdogSec=3s
EnvironmentFile=/oamtest/chip.env
RestrictAddressFamilies=AF_UNIX
BindReadOnlyPaths=/oamsim/root/sys:/sys
ExecStartPost=/bin/sh /oamtest/probe.sh
ExecStopPost=/bin/sh -c 'echo "probe exit: $SERVICE_RESULT $EXIT_CODE $EXIT_STATUS"'
"""

# Runs as part of oam.service, under its hardening, and for comparison
# outside it.  /dev/net/tun is a node the container allows and the unit
# does not list.
PROBE = """echo "probe usr: $(touch /usr/oam-probe 2>&1 && echo written)"
echo "probe device: $( (exec 3<>/dev/net/tun) 2>&1 && echo opened)"
"""

INSIDE = """out=/oamtest
fail() { echo "failed $1" >$out/ready; systemctl status oam.service >$out/status.txt 2>&1; systemctl poweroff; exit 1; }
# The drop-in waits for the unit, so that the postinst starts it on the chip.
mkdir -p /etc/systemd/system/oam.service.d
cp $out/boot-test.conf /etc/systemd/system/oam.service.d/
# First on a root without /vendor/log (the chip's /vendor hidden): the
# package makes the log folders, enables and starts the unit; removing it
# stops and disables the unit, purging drops the link that enabled it.
mount -t tmpfs -o mode=0755 oam-bare-vendor /vendor || fail "hiding /vendor"
dpkg -i $out/oam.deb >$out/dpkg.log 2>&1 || fail "dpkg -i on a root without /vendor/log"
first=$(systemctl show -P MainPID oam.service)
{
  echo "installed: $(systemctl is-active oam.service) $(systemctl is-enabled oam.service)"
  echo "log folders: $(stat -c '%a %U:%G' /vendor/log /vendor/log/memdump | tr '\\n' ' ')"
  dpkg -r oam >>$out/dpkg.log 2>&1 || echo "dpkg -r failed"
  gone=running
  [ "$first" -gt 0 ] && kill -0 "$first" 2>/dev/null || gone=gone
  echo "removed: $(systemctl is-active oam.service) $(systemctl is-enabled oam.service 2>&1 | head -n1) $gone"
  wants=/etc/systemd/system/multi-user.target.wants/oam.service
  before=gone
  [ -L $wants ] && before=kept
  dpkg --purge oam >>$out/dpkg.log 2>&1 || echo "dpkg --purge failed"
  after=gone
  [ -L $wants ] && after=kept
  echo "enabling link: $before after removal, $after after purge"
} >$out/package
umount /vendor || fail "showing /vendor again"
# The chip's events of that run end here.
echo installed >$out/ready
read -r _ <$out/stop
dpkg -i $out/oam.deb >>$out/dpkg.log 2>&1 || fail "dpkg -i"
systemctl start oam.service || fail "systemctl start oam.service"
pid=$(systemctl show -P MainPID oam.service)
invocation=$(systemctl show -P InvocationID oam.service)
logs() { find /vendor/log -type f -exec sha256sum {} + | sort; }
# The compressor names its thread once its priority is set: policy and nice.
compressor() {
  for t in /proc/$pid/task/*; do
    [ "$(cat $t/comm 2>/dev/null)" = oam-compress ] && awk '{ sub(/.*[)] /, ""); print $39, $17 }' $t/stat
  done
}
for i in $(seq 50); do [ -n "$(compressor)" ] && break; sleep 0.1; done
{
  echo "compressor policy nice: $(compressor)"
  grep '^Cap' /proc/$pid/status
  sh $out/probe.sh | sed 's/^probe/outside/'
  systemctl show -p ActiveState,StatusText oam.service
  before=$(logs)
  /usr/sbin/oam test >$out/second.out 2>$out/second.err &
  second=$!
  wait $second
  rc=$?
  echo "second status: $rc $(cat $out/second.err)"
  [ "$before" = "$(logs)" ] && echo "second left files: unchanged"
  journalctl --sync
  echo "second in journal: $(journalctl _PID=$second -o cat | wc -l) $(journalctl -u oam.service -o cat | grep -c 'another oam')"
} >$out/result
echo "started $pid" >$out/ready
read -r _ <$out/stop
# The host filled the Wi-Fi log's storage: the failed writes are errors.
for i in $(seq 100); do
  journalctl --sync
  journalctl _SYSTEMD_INVOCATION_ID=$invocation -p err -o cat | grep -q 'write wifi log file err' && break
  sleep 0.1
done
journalctl _SYSTEMD_INVOCATION_ID=$invocation -p err -o cat >$out/errors.txt
rm -f /vendor/log/wifi_log/filler
# A frozen daemon sends no pings: the watchdog has it restarted.
t0=$(date +%s.%N)
kill -STOP $pid
new=$pid
while [ "$new" = "$pid" ] || [ "$new" = 0 ] || [ "$(systemctl show -P ActiveState oam.service)" != active ]; do
  sleep 0.2
  new=$(systemctl show -P MainPID oam.service)
  [ "$(echo "$t0 $(date +%s.%N)" | awk '{ print ($2 - $1 > 30) }')" = 1 ] && break
done
t1=$(date +%s.%N)
echo "restart seconds: $(echo "$t0 $t1" | awk '{ printf "%.2f", $2 - $1 }')" >>$out/result
echo "starts: $(grep -c ' oam start ' /vendor/log/oam_events)" >>$out/result
t0=$(date +%s.%N)
systemctl stop oam.service
t1=$(date +%s.%N)
echo "stop seconds: $(echo "$t0 $t1" | awk '{ printf "%.2f", $2 - $1 }')" >>$out/result
journalctl -u oam.service -o cat >$out/journal.txt
systemctl poweroff
"""


class Failed(Exception):
    pass


def wait_until(check, what: str, timeout: float = STEP_SECONDS):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failed(f"timed out waiting for {what}")
        time.sleep(0.05)


def read_fifo_line(fd: int, nspawn: subprocess.Popen, timeout: float) -> str | None:
    """A line from the container, None when it powered off or timed out
    first."""
    deadline = time.monotonic() + timeout
    data = b""
    while b"\n" not in data:
        left = deadline - time.monotonic()
        if left <= 0 or nspawn.poll() is not None:
            return None
        if select.select([fd], [], [], min(left, 0.5))[0]:
            data += os.read(fd, 4096)
    return data.decode(errors="replace").strip()


def lay_out(run: Path, chip: oamsim.VirtualChip, deb: Path, preload: Path) -> Path:
    io = run / "io"
    io.mkdir()
    shutil.copy(deb, io / "oam.deb")
    shutil.copy(preload, chip.run_dir / "preload.so")
    env = {k: v for k, v in chip.sandbox_env().items() if k.startswith("OAM_SIM_")}
    env["LD_PRELOAD"] = "/oamsim/preload.so"
    (io / "chip.env").write_text("".join(f"{k}={v}\n" for k, v in env.items()))
    for name, text in (("boot-test.conf", DROP_IN), ("probe.sh", PROBE), ("inside.sh", INSIDE),
                       ("oam-boot-check.service", CHECK_UNIT)):
        (io / name).write_text(text)
    for name in ("ready", "stop"):
        os.mkfifo(io / name)
    # The service's /sys: systemd's own read-only mounts under it need
    # their mount points.
    for sub in ("fs/cgroup", "fs/bpf", "kernel"):
        (chip.sandbox.root / "sys" / sub).mkdir(parents=True, exist_ok=True)
    # A file system of its own for the Wi-Fi log, to be filled.
    wifi = chip.host_path(WIFI_LOG_DIR)
    wifi.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0775", "oam-boot-wifi", str(wifi)], check=True)
    return io


def nspawn_command(root: Path, chip: oamsim.VirtualChip, io: Path) -> list[str]:
    cmd = ["systemd-nspawn", "--quiet", "-D", str(root), "--volatile=overlay", "-b", "--register=no",
           "--keep-unit", "--system-call-filter=bpf", f"--bind={chip.run_dir}:/oamsim", f"--bind={io}:/oamtest",
           f"--bind={chip.sandbox.root / 'vendor'}:/vendor", f"--bind={chip.sandbox.root / 'data'}:/data",
           f"--bind-ro={io / 'oam-boot-check.service'}:/etc/systemd/system/oam-boot-check.service"]
    cmd += [f"--bind={sock}:{dev}" for dev, sock in sorted(chip.sandbox.nodes.items())]
    return cmd + ["--", "systemd.wants=oam-boot-check.service"]


def drive(chip: oamsim.VirtualChip, after: int):
    """What a driver does while the service runs (the daemon that came up
    after event `after`); returns what arrived."""
    chip.wait_hello(timeout=STEP_SECONDS, after=after)
    wifi = [b"boot test wifi %d" % i for i in range(3)]
    for msg in wifi:
        chip.send_wifi_log(msg)
    chip.wait_open("qvbfgdbg", timeout=STEP_SECONDS, after=after)
    chip.send_chunk("qvbfgdbg", b"boot test bfg chunk")
    regions = [256 * (i + 1) for i in range(len(oamsim.dump_files("wifi", None)))]
    chip.dump("wifi", 0, regions, timeout=STEP_SECONDS)

    def stored(path, count):
        try:
            found = oamsim.record_payloads(chip.read_file(path))
        except (OSError, ValueError):
            return None
        return found if len(found) >= count else None
    got_wifi = wait_until(lambda: stored("/vendor/log/wifi_log/wifi_log_1", 3), "the Wi-Fi records")
    got_bfg = wait_until(lambda: stored("/vendor/log/bfg_log/bfg_log_1", 1), "the bfg record")

    def archive():
        # Written in place: read until it is whole.
        names = [n for n in chip.listdir(oamsim.MEMDUMP_DIR) if n.endswith(".tar.gz")]
        try:
            with tarfile.open(chip.host_path(f"{oamsim.MEMDUMP_DIR}/{names[0]}")) as tar:
                sizes = sorted(m.size for m in tar.getmembers())
        except (IndexError, OSError, EOFError, tarfile.TarError):
            return None
        owner = chip.host_path(f"{oamsim.MEMDUMP_DIR}/{names[0]}").stat().st_uid
        return (names, sizes, owner) if sizes == regions else None
    archives, sizes, owner = wait_until(archive, "the whole dump archive")

    def journal():
        # Written and synced under the confinement, as a dump wants it.
        try:
            text = chip.read_file("/vendor/log/oam_events").decode(errors="replace")
        except OSError:
            return None
        return text if re.search(r" wifi archive-written \S+\.tar\.gz$", text, re.M) else None
    events = wait_until(journal, "the archive in the events journal")
    # An injected storage fault: the Wi-Fi log's own small file system is
    # filled, so its writes fail (the inside script frees it again).
    fill = os.open(chip.host_path(f"{WIFI_LOG_DIR}/filler"), os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        while os.write(fill, bytes(4096)):
            pass
    except OSError:
        pass
    finally:
        os.close(fill)
    for i in range(200):
        chip.send_wifi_log(b"boot test lost %d " % i * 50)
    checks = [("events journal written", " oam start version " in events, events),
              ("Wi-Fi records stored", got_wifi[:3] == wifi, got_wifi),
              ("bfg record stored", got_bfg[:1] == [b"boot test bfg chunk"], got_bfg),
              ("dump archived", len(archives) == 1, archives),
              ("archive handed to uid 1000", owner == 1000, owner)]
    return checks


def package_checks(text: str) -> list:
    """What installing on a root without /vendor/log, removing and purging
    left, as the inside script wrote it down."""
    def get(key: str) -> list[str]:
        found = re.findall(rf"^{re.escape(key)}:[ \t]*(.*)$", text, re.M)
        return found[-1].split() if found else []
    removed = get("removed")
    return [
        ("dpkg -i started and enabled the unit", get("installed") == ["active", "enabled"], get("installed")),
        ("the package made /vendor/log and memdump/ 0775 root",
         get("log folders") == ["775", "root:root"] * 2, get("log folders")),
        ("dpkg -r stopped the daemon", removed[:1] == ["inactive"] and removed[-1:] == ["gone"], removed),
        ("dpkg -r disabled the unit", len(removed) > 2 and removed[1] != "enabled", removed),
        ("dpkg --purge dropped the enabling link", get("enabling link")[-3:] == ["gone", "after", "purge"],
         get("enabling link")),
        ("no step of dpkg failed", "failed" not in text, text),
    ]


def hardening_checks(text: str, errors: str) -> list:
    """From the inside script's results and the service's journal."""
    def get(key: str, sep: str = ":") -> str:
        # The last one: a daemon restarted by the watchdog ended before.
        found = re.findall(rf"^{re.escape(key)}{sep}\s*(.*)$", text, re.M)
        return found[-1].strip() if found else ""
    stop = float(get("stop seconds") or "inf")
    restart = float(get("restart seconds") or "inf")
    error_lines = errors.splitlines()
    return [
        ("bounding set is CAP_CHOWN only", get("CapBnd") == "0000000000000001", get("CapBnd")),
        # SCHED_IDLE is policy 5.
        ("log compressor at SCHED_IDLE or nice 19", get("compressor policy nice").split()[:1] == ["5"]
         or get("compressor policy nice").split()[1:] == ["19"], get("compressor policy nice")),
        ("/usr read-only to the service", "Read-only file system" in get("probe usr"), get("probe usr")),
        ("/usr writable outside it", get("outside usr") == "written", get("outside usr")),
        ("an unlisted device refused", "Operation not permitted" in get("probe device"), get("probe device")),
        ("that device allowed outside it", "Operation not permitted" not in get("outside device")
         and get("outside device") != "", get("outside device")),
        ("stopped with status 0", get("probe exit") == "success exited 0", get("probe exit")),
        (f"stopped within {STOP_BOUND:g} s", stop < STOP_BOUND, f"{stop} s"),
        ("active once ready, with a status", get("ActiveState", "=") == "active"
         and get("StatusText", "=").startswith("wifi "), (get("ActiveState", "="), get("StatusText", "="))),
        ("a second oam refused", re.fullmatch(r"1 another oam is running, pid \d+", get("second status")) is not None,
         get("second status")),
        ("the second left the files unchanged", get("second left files") == "unchanged", get("second left files")),
        ("the second left the journal unchanged", get("second in journal") == "0 0", get("second in journal")),
        (f"a frozen daemon restarted within {2 * WATCHDOG_SEC} s", restart < 2 * WATCHDOG_SEC, f"{restart} s"),
        ("two starts in the events journal", get("starts") == "2", get("starts")),
        ("errors only at -p err", bool(error_lines) and any("write wifi log file err" in e for e in error_lines)
         and all(re.search(r"fail|err|can't", e, re.I) for e in error_lines), errors),
    ]


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", type=Path, required=True)
    ap.add_argument("--deb", type=Path, required=True)
    ap.add_argument("--preload", type=Path, required=True)
    opts = ap.parse_args()
    run = Path(tempfile.mkdtemp(prefix="oam-boot-"))
    chip = oamsim.VirtualChip(run / "chip", model=None, ini=INI).start()
    io = lay_out(run, chip, opts.deb, opts.preload)
    ready = os.open(io / "ready", os.O_RDWR | os.O_NONBLOCK)
    console = open(run / "console.log", "wb")
    env = dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1")
    nspawn = subprocess.Popen(["timeout", str(BOOT_SECONDS)] + nspawn_command(opts.root, chip, io),
                              stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT, env=env)
    checks = []
    # Read-write: never waits for the reader, which each line awaits.
    stop = os.open(io / "stop", os.O_RDWR)
    try:
        line = read_fifo_line(ready, nspawn, BOOT_SECONDS)
        if line is None:
            nspawn.wait(timeout=30)
            tail = (run / "console.log").read_text(errors="replace").splitlines()[-15:]
            print("\n".join(tail), file=sys.stderr)
            print(f"boot-test: SKIPPED: systemd-nspawn did not boot the container or run the test unit "
                  f"(status {nspawn.returncode})", file=sys.stderr)
            return 77
        if line != "installed":
            raise Failed(f"inside the container: {line}; see {io}/status.txt, dpkg.log")
        checks += package_checks((io / "package").read_text())
        # The first installation's daemon has stopped: what the chip sees
        # from here on is the second one's.
        after = chip.mark()
        os.write(stop, b"go\n")
        line = read_fifo_line(ready, nspawn, STEP_SECONDS * 2)
        if line is None or not line.startswith("started"):
            raise Failed(f"inside the container: {line or 'no second start'}; see {io}/status.txt, dpkg.log")
        try:
            checks += drive(chip, after)
        finally:
            os.write(stop, b"stop\n")
        nspawn.wait(timeout=STEP_SECONDS * 2)
        checks += hardening_checks((io / "result").read_text() + (io / "journal.txt").read_text(),
                                   (io / "errors.txt").read_text())
    except (Failed, oamsim.ChipTimeout, TimeoutError, subprocess.TimeoutExpired, OSError) as exc:
        checks.append(("run", False, str(exc)))
    finally:
        if nspawn.poll() is None:
            nspawn.terminate()
            nspawn.wait(timeout=30)
        chip.close()
        subprocess.run(["umount", "-l", str(chip.host_path(WIFI_LOG_DIR))], check=False)
        os.close(ready)
        os.close(stop)
        console.close()
    for name, ok, seen in checks:
        print(f"boot-test: {'ok  ' if ok else 'FAIL'} {name}" + ("" if ok else f": {seen}"))
    passed = all(ok for _, ok, _ in checks)
    if passed:
        shutil.rmtree(run, ignore_errors=True)
    else:
        print(f"boot-test: console and files kept in {run}")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
