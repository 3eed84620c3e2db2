"""What the patch and update benchmarks share: their peers' tools."""
import os
import shutil
import subprocess
import sys


def ensure_tools():
    """Installs xdelta3, zstd and xz with apt-get when they are missing."""
    missing = [p for p, tool in (("xdelta3", "xdelta3"), ("zstd", "zstd"), ("xz-utils", "xz"))
               if shutil.which(tool) is None]
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    print("installing " + " ".join(missing), file=sys.stderr)
    subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                   check=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
