"""The installed extension loads anywhere NumPy does: it needs no shared
library but libc (the interpreter's symbols come from the loading process)
and exports nothing but its entry point."""

import re
import shutil
import subprocess

import zelvane.bake


def readelf(*options):
    exe = shutil.which("readelf")
    assert exe is not None, "readelf (binutils) is needed to inspect the extension"
    return subprocess.run([exe, "-W", *options, zelvane.bake.__file__],
                          check=True, capture_output=True, text=True).stdout


def test_installed_extension_is_tested():
    assert "site-packages" in zelvane.bake.__file__


def test_needs_only_libc():
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("--dynamic"))
    assert needed == ["libc.so.6"]


def test_exports_only_the_entry_point():
    exported = []
    for line in readelf("--dyn-syms").splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) >= 8 and fields[0].endswith(":") and fields[6] != "UND" \
                and fields[4] in ("GLOBAL", "WEAK") and fields[3] != "SECTION":
            exported.append(fields[7])
    assert exported == ["PyInit_bake"]
