"""The installed extensions load anywhere NumPy does: each needs no shared
library but libc (the interpreter's symbols come from the loading process)
and exports nothing but its entry point."""

import importlib.util
import re
import shutil
import subprocess

import pytest

# The shared objects as installed, found without loading them (zelvane.bake would
# refuse NumPy 2).
MODULES = {name: importlib.util.find_spec(f"zelvane.{name}").origin for name in ("bake", "_rows")}


@pytest.fixture(params=sorted(MODULES))
def module(request):
    return request.param, MODULES[request.param]


def readelf(path, *options):
    exe = shutil.which("readelf")
    assert exe is not None, "readelf (binutils) is needed to inspect the extension"
    return subprocess.run([exe, "-W", *options, path],
                          check=True, capture_output=True, text=True).stdout


def test_installed_extension_is_tested(module):
    assert "site-packages" in module[1]


def test_needs_only_libc(module):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf(module[1], "--dynamic"))
    assert needed == ["libc.so.6"]


def test_exports_only_the_entry_point(module):
    name, extension = module
    exported = []
    for line in readelf(extension, "--dyn-syms").splitlines():
        fields = line.split()
        # Num: Value Size Type Bind Vis Ndx Name
        if len(fields) >= 8 and fields[0].endswith(":") and fields[6] != "UND" \
                and fields[4] in ("GLOBAL", "WEAK") and fields[3] != "SECTION":
            exported.append(fields[7])
    assert exported == [f"PyInit_{name}"]
