"""The check of a bundle's manifest against a hostile one: a member list of
nothing but '{', at 1 and 2 MiB.  One pass over the text keeps the ratio
of the two times near 2; a rescan per '{' would make it near 4."""

from __future__ import annotations

import io
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path


def seconds(oamlog: str, bundle: Path) -> float:
    start = time.monotonic()
    subprocess.run([oamlog, str(bundle)], capture_output=True, timeout=600)
    return time.monotonic() - start


def main() -> int:
    oamlog = sys.argv[1]
    times = []
    with tempfile.TemporaryDirectory() as tmp:
        for mib in (1, 2):
            manifest = b'{"members":[' + b"{" * (mib << 20)
            bundle = Path(tmp) / f"m{mib}.tar.gz"
            info = tarfile.TarInfo("manifest.json")
            info.size = len(manifest)
            with tarfile.open(bundle, "w:gz", format=tarfile.USTAR_FORMAT) as tf:
                tf.addfile(info, io.BytesIO(manifest))
            times.append(min(seconds(oamlog, bundle) for _ in range(3)))
            print(f"manifest of {mib} MiB of '{{': {times[-1]:.3f} s")
    print(f"ratio 2 MiB / 1 MiB: {times[1] / max(times[0], 1e-6):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
