"""CI sessions for zelvane: the whole test suite on every supported interpreter, the
C++ unit tests, and the checks that need a build of their own (sanitizers, fuzzing,
valgrind).

`bash tools/ci.sh` runs every session; `bash tools/ci.sh -s NAME` runs one (the
arguments go to nox; `nox -l` lists the sessions). Extra arguments after `--` go to
pytest, or to the fuzzer in the fuzz session.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Dict, List, Optional

import nox

ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build"
TESTS = ROOT / "tests"
PYENV = Path(os.environ.get("PYENV_ROOT", "~/.pyenv")).expanduser()

nox.options.envdir = str(BUILD / "nox")
# Each interpreter's own venv module and the pip it bundles, which work on 3.8 too.
nox.options.default_venv_backend = "venv"
# CI must not pass by testing less: an interpreter that cannot be found fails its session.
nox.options.error_on_missing_interpreters = True

# Oldest NumPy that the package supports, tested on one interpreter.
OLDEST_NUMPY = "1.23.5"
INTERPRETERS = ("3.8", "3.9", "3.10", "3.11", "3.12")
# Fixed hypothesis examples (the profile is registered in tests/conftest.py), and no
# skipped test but where a marker allows it (tests/ci_checks.py).
PYTEST = ("-p", "no:cacheprovider", f"--rootdir={ROOT}", "--hypothesis-profile=ci",
          "-p", "ci_checks", "-rs")
PYTEST_ENV = {"PYTHONPATH": str(TESTS)}


def interpreter(version: str) -> str:
    """The newest pyenv build of Python `version`, e.g. .../versions/3.8.18/bin/python3.8.

    When there is none, the pattern searched for is returned: nox cannot find it and
    fails the session with that path in its message."""
    versions = PYENV / "versions"
    found = [p for p in versions.glob(f"{version}.*/bin/python{version}")
             if re.fullmatch(rf"{re.escape(version)}\.\d+", p.parent.parent.name)]
    if not found:
        return str(versions / f"{version}.*" / "bin" / f"python{version}")
    return str(max(found, key=lambda p: int(p.parent.parent.name.rsplit(".", 1)[1])))


def clang_runtime(name: str) -> str:
    """Path of one of clang's runtime libraries, e.g. libclang_rt.asan-x86_64.so."""
    path = subprocess.run(["clang", f"-print-file-name={name}"], check=True,
                          capture_output=True, text=True).stdout.strip()
    if not os.path.isfile(path):
        raise RuntimeError(f"{name} is missing: apt-get install libclang-rt-14-dev")
    return path


def pytest(session: nox.Session, *args: str, env: Optional[Dict[str, str]] = None) -> None:
    """Run pytest on the installed package from build/, outside the source package,
    so that `import zelvane` finds the installed one with its extensions."""
    BUILD.mkdir(exist_ok=True)
    with session.chdir(BUILD):
        session.run("python", "-m", "pytest", *PYTEST, *args,
                    env={**PYTEST_ENV, **(env or {})})


def show_versions(session: nox.Session, numpy: Optional[str] = None) -> None:
    """Print what the session tests; with `numpy`, fail unless that NumPy is installed."""
    session.run("python", "-c", "import sys, numpy; print(sys.version); "
                "print('numpy', numpy.__version__); "
                f"assert {numpy!r} in (None, numpy.__version__), 'wrong numpy'")


def tests(session: nox.Session, *requirements: str) -> None:
    # The package is built exactly as a user's `pip install` builds it.
    session.install(".[test]", *requirements)
    show_versions(session, requirements[0].split("==")[1] if requirements else None)
    pytest(session, str(TESTS), *session.posargs)


for _version in INTERPRETERS:
    nox.session(name=f"tests-{_version}", python=interpreter(_version))(tests)


@nox.session(name=f"tests-3.11-numpy{OLDEST_NUMPY}", python=interpreter("3.11"))
def tests_oldest_numpy(session: nox.Session) -> None:
    tests(session, f"numpy=={OLDEST_NUMPY}")


# Frame names and lines in sanitizer and memcheck reports: debug information, no stripping.
DEBUGGABLE = ("cmake.build-type=RelWithDebInfo", "install.strip=false")


def config(*settings: str) -> List[str]:
    """pip options passing `settings` to the build backend."""
    return [option for setting in settings for option in ("--config-settings", setting)]


def cmake_tools(session: nox.Session) -> None:
    session.install("cmake>=3.18", "ninja")


def ctest(session: nox.Session, build_dir: Path, *options: str,
          env: Optional[Dict[str, str]] = None) -> None:
    """Configure, build and run the C++ unit tests in `build_dir`."""
    session.run("cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                "-DZELVANE_BUILD_MODULE=OFF", "-DZELVANE_BUILD_CPP_TESTS=ON", *options,
                env=env)
    session.run("cmake", "--build", str(build_dir), env=env)
    session.run("ctest", "--test-dir", str(build_dir), "--output-on-failure", env=env)


@nox.session(python=interpreter("3.11"))
def cpp(session: nox.Session) -> None:
    """The GoogleTest unit tests of the kernels and parsers, built with g++."""
    cmake_tools(session)
    ctest(session, BUILD / "ci" / "cpp-tests")


def sanitizer_env(preload: bool) -> Dict[str, str]:
    """Sanitizer settings; with `preload`, for the interpreter and every process it starts.

    Leak checking is on for the C++ unit tests alone. In the interpreter, it reports
    hundreds of blocks per run that CPython and NumPy leave behind at exit by design,
    from imports, and with frame pointers missing in the interpreter the stacks are too
    short to tell a leak of the package's from those. The package's only heap
    allocations are interpreter objects, whose references test_references.py counts."""
    env = {
        # Every allocation of the interpreter through malloc, where ASan sees it.
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": f"detect_leaks={0 if preload else 1}:detect_stack_use_after_return=1"
                        ":check_initialization_order=1:strict_init_order=1",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
    }
    if preload:
        env["LD_PRELOAD"] = clang_runtime("libclang_rt.asan-x86_64.so")
    return env


@nox.session(python=interpreter("3.11"))
def sanitizers(session: nox.Session) -> None:
    """Every extension module and the C++ unit tests built by clang with AddressSanitizer
    and UndefinedBehaviorSanitizer; the whole pytest suite runs with the runtime preloaded."""
    clang = {"CC": "clang", "CXX": "clang++"}
    cmake_tools(session)
    ctest(session, BUILD / "asan" / "cpp-tests", "-DZELVANE_SANITIZE=ON",
          "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_COMPILER=clang++",
          env=sanitizer_env(preload=False))
    # A build tree of its own: clang's sanitized objects must not mix with g++'s.
    session.install(*config("cmake.define.ZELVANE_SANITIZE=ON", *DEBUGGABLE,
                            "build-dir=build/asan/{wheel_tag}"), ".[test]", env=clang)
    show_versions(session)
    # The threads run longer here, where a race on memory would be reported.
    pytest(session, str(TESTS), *session.posargs,
           env={**sanitizer_env(preload=True), "ZELVANE_STRESS_SECONDS": "3"})


# libFuzzer targets in tests/fuzz/: name -> the sources besides fuzz_<name>.cpp.
FUZZERS = {"format_check": ["src/binding/format_check.cpp"]}
FUZZ_SECONDS = int(os.environ.get("ZELVANE_FUZZ_SECONDS", "60"))


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    """Each libFuzzer target under ASan and UBSan: first every input kept in
    tests/fuzz/regressions/<name>/, then a bounded run from the committed seed corpus.
    A crash fails the session and libFuzzer writes its input into the regressions
    folder, to be committed there once the fault is fixed."""
    for name, sources in FUZZERS.items():
        binary = BUILD / "fuzz" / f"fuzz_{name}"
        binary.parent.mkdir(parents=True, exist_ok=True)
        session.run("clang++", "-std=c++20", "-O1", "-g", "-fno-omit-frame-pointer",
                    "-fsanitize=fuzzer,address,undefined", "-fno-sanitize-recover=all",
                    f"-I{ROOT / 'src'}", *(str(ROOT / s) for s in sources),
                    str(TESTS / "fuzz" / f"fuzz_{name}.cpp"), "-o", str(binary))
        env = {"UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
               "ASAN_OPTIONS": "detect_leaks=1"}
        regressions = TESTS / "fuzz" / "regressions" / name
        kept = sorted(p for p in regressions.glob("*") if not p.name.startswith("."))
        if kept:
            session.log(f"replaying {len(kept)} kept input(s) of {name}")
            session.run(str(binary), *map(str, kept), env=env, silent=True)
        # The run grows a scratch copy; the committed corpus stays as it is.
        work = BUILD / "fuzz" / f"corpus_{name}"
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(TESTS / "fuzz" / "corpus" / name, work)
        # Quiet on success (a line per new input otherwise); everything on a crash.
        output = session.run(
            str(binary), str(work), f"-max_total_time={FUZZ_SECONDS}", "-max_len=4096",
            "-print_final_stats=1", f"-artifact_prefix={regressions}/", *session.posargs,
            env=env, silent=True)
        session.log("\n".join(str(output).splitlines()[-7:]))


# Tests run under valgrind: the binding, the conversions and both solvers, without
# those that time another thread or crash a child process on purpose.
VALGRIND_TESTS = ["test_binding.py", "test_conversion.py", "test_fitgapmass.py",
                  "test_fitgapmass_meh.py", "test_references.py", "test_rows.py"]
VALGRIND_DESELECT = "not guard and not long_fit"


def valgrind_errors(xml_file: Path) -> List[str]:
    """One line per error in a memcheck XML log: its kind and the frames it names,
    marked where they lie in one of the package's shared objects."""
    lines = []
    for error in ET.parse(xml_file).getroot().iter("error"):
        frames = []
        for frame in error.iter("frame"):
            where = frame.findtext("fn") or frame.findtext("ip") or "?"
            obj = frame.findtext("obj") or ""
            frames.append(("[zelvane] " if "/zelvane/" in obj else "") + where)
        lines.append(f"{error.findtext('kind')}: " + " <- ".join(frames[:12]))
    return lines


# 3.12: memcheck cannot follow how 3.11 reads the digits of a new zero integer, and
# reports the small integer found from them at every later use.
@nox.session(python=interpreter("3.12"))
def valgrind(session: nox.Session) -> None:
    """memcheck over the binding, conversion and solver tests, with the interpreter's
    own reports suppressed (tests/valgrind/python.supp). Any error fails the session;
    the report says which of its frames are the package's."""
    session.install(*config(*DEBUGGABLE, "build-dir=build/valgrind/{wheel_tag}"), ".[test]")
    show_versions(session)
    xml_file = BUILD / "valgrind" / "memcheck.xml"
    xml_file.parent.mkdir(parents=True, exist_ok=True)
    if xml_file.exists():
        xml_file.unlink()
    selected = [str(TESTS / name) for name in VALGRIND_TESTS]
    try:
        with session.chdir(BUILD):
            session.run(
                "valgrind", "--tool=memcheck", "--error-exitcode=99",
                "--num-callers=40",
                # In XML mode memcheck lists the blocks left at exit whatever
                # --leak-check says; the interpreter leaves thousands by design.
                "--leak-check=no", "--show-leak-kinds=none", "--errors-for-leak-kinds=none",
                f"--suppressions={TESTS / 'valgrind' / 'python.supp'}",
                "--xml=yes", f"--xml-file={xml_file}",
                "python", "-m", "pytest", *PYTEST, "-k", VALGRIND_DESELECT, *selected,
                *session.posargs, env={**PYTEST_ENV, "PYTHONMALLOC": "malloc"}, external=True)
    finally:
        errors = valgrind_errors(xml_file) if xml_file.exists() else ["no memcheck log"]
        session.log(f"memcheck: {len(errors)} error(s) outside the suppressions")
        for line in errors:
            session.log(line)
    if errors:
        session.error("memcheck reported errors (frames in the package marked [zelvane])")
