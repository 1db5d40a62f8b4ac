"""CI sessions for zelvane: the whole test suite on every supported interpreter (with
NumPy 1.x, and with NumPy 2 and the newest of its companions on the newest two), the C++
unit tests, the wheel, the checks that need a build of their own (sanitizers,
fuzzing, valgrind), and the documentation site built and checked in a browser.

`bash tools/ci.sh` runs every session; `bash tools/ci.sh -s NAME` runs one (the
arguments go to nox; `nox -l` lists the sessions). Extra arguments after `--` go to
pytest, or to the fuzzer in the fuzz session.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Dict, Iterator, List, Optional

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
# The interpreters with NumPy 1.x, under which zelvane.bake loads and every test runs.
INTERPRETERS = ("3.8", "3.9", "3.10", "3.11", "3.12")
# The interpreters with NumPy 2 and the newest SciPy, pandas, matplotlib and Dask that
# install there. The lower bounds keep pip from settling a conflict by going back to a
# NumPy 1.x stack: a conflict fails the session instead.
NUMPY2_INTERPRETERS = ("3.12", "3.13")
NUMPY2_STACK = ("numpy>=2", "scipy>=1.13", "pandas>=2.2", "matplotlib>=3.8",
                "dask[array]>=2024.8", "distributed>=2024.8")
# Tests that need zelvane.bake to load (NumPy 1.x), and those of the package under NumPy 2
# (tests/conftest.py registers both markers).
WITHOUT_NUMPY2_TESTS = ("-m", "not needs_numpy2")
WITHOUT_BAKE_TESTS = ("-m", "not needs_bake")
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


def installed_package(session: nox.Session) -> str:
    """The folder of the package the session installed, asked from build/, outside the
    source folder (whose zelvane/ has no extension)."""
    BUILD.mkdir(exist_ok=True)
    with session.chdir(BUILD):
        where = session.run("python", "-c",
                            "import os, zelvane; print(os.path.dirname(zelvane.__file__))",
                            silent=True)
    return str(where).strip().splitlines()[-1]


def pytest(session: nox.Session, *args: str, env: Optional[Dict[str, str]] = None) -> None:
    """Run pytest on the installed package from build/, outside the source package,
    so that `import zelvane` finds the installed one with its extensions; the examples
    in its modules' docstrings run too (--doctest-modules)."""
    package = installed_package(session)
    with session.chdir(BUILD):
        session.run("python", "-m", "pytest", *PYTEST, "--doctest-modules", package, *args,
                    env={**PYTEST_ENV, **(env or {})})


@contextlib.contextmanager
def shared_build() -> Iterator[None]:
    """Hold the lock of the package's own build folder (build/{wheel_tag}), which the
    sessions of one interpreter share: tools/ci.sh runs two sessions at once."""
    lock = BUILD / "ci" / "build.lock"
    lock.parent.mkdir(parents=True, exist_ok=True)
    with open(lock, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        yield


def show_versions(session: nox.Session, numpy: Optional[str] = None, major: int = 1) -> None:
    """Print what the session tests; fail unless NumPy's major version is `major` and,
    with `numpy`, unless that NumPy is installed."""
    session.run("python", "-c", "import sys, numpy; print(sys.version); "
                "print('numpy', numpy.__version__); "
                f"assert numpy.__version__.split('.')[0] == '{major}', 'not NumPy {major}'; "
                f"assert {numpy!r} in (None, numpy.__version__), 'wrong numpy'")


def tests(session: nox.Session, *requirements: str) -> None:
    # The package is built exactly as a user's `pip install` builds it; the newest
    # NumPy 1.x, under which zelvane.bake loads, unless a NumPy is given.
    with shared_build():
        session.install(".[test]", *(requirements or ("numpy<2",)))
    show_versions(session, requirements[0].split("==")[1] if requirements else None)
    pytest(session, str(TESTS), *WITHOUT_NUMPY2_TESTS, *session.posargs)


for _version in INTERPRETERS:
    nox.session(name=f"tests-{_version}", python=interpreter(_version))(tests)


@nox.session(name=f"tests-3.11-numpy{OLDEST_NUMPY}", python=interpreter("3.11"))
def tests_oldest_numpy(session: nox.Session) -> None:
    tests(session, f"numpy=={OLDEST_NUMPY}")


def tests_numpy2(session: nox.Session) -> None:
    """NumPy 2 with the newest companions that install beside it, all resolved together,
    then every test but those that need zelvane.bake to load (it refuses NumPy 2, which
    a test of its own checks)."""
    with shared_build():
        session.install(".[test]", *NUMPY2_STACK)
    session.run("python", "-m", "pip", "check")
    show_versions(session, major=2)
    session.run("python", "-m", "pip", "list", "--format=freeze", silent=False)
    pytest(session, str(TESTS), *WITHOUT_BAKE_TESTS, *session.posargs)


for _version in NUMPY2_INTERPRETERS:
    nox.session(name=f"tests-{_version}-numpy2", python=interpreter(_version))(tests_numpy2)


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
                            "build-dir=build/asan/{wheel_tag}"), ".[test]", "numpy<2", env=clang)
    show_versions(session)
    # The threads run longer here, where a race on memory would be reported.
    pytest(session, str(TESTS), *WITHOUT_NUMPY2_TESTS, *session.posargs,
           env={**sanitizer_env(preload=True), "ZELVANE_STRESS_SECONDS": "3"})


# libFuzzer targets in tests/fuzz/: name -> the sources besides fuzz_<name>.cpp.
FUZZERS = {"format_check": ["src/binding/format_check.cpp"]}
FUZZ_SECONDS = int(os.environ.get("ZELVANE_FUZZ_SECONDS", "60"))
# The fuzzers' random seed: fixed, so that CI explores the same inputs on every run (a
# slower machine a prefix of them); ZELVANE_FUZZ_SEED=0 lets libFuzzer pick one.
FUZZ_SEED = int(os.environ.get("ZELVANE_FUZZ_SEED", "20261209"))
# Where a fuzzer writes an input that fails, outside the checkout: the test sessions
# replay tests/fuzz/regressions/, which takes such an input only with its fix.
FOUND = BUILD / "fuzz" / "found"


def fuzz_options(name: str) -> List[str]:
    """The options of a bounded fuzzing run whose failing input goes to FOUND/name."""
    found = FOUND / name
    found.mkdir(parents=True, exist_ok=True)
    return [f"-max_total_time={FUZZ_SECONDS}", "-max_len=4096", "-print_final_stats=1",
            f"-seed={FUZZ_SEED}", f"-artifact_prefix={found}/"]


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    """Each libFuzzer target under ASan and UBSan: first every input kept in
    tests/fuzz/regressions/<name>/, then a bounded run from the committed seed corpus.
    A crash fails the session and libFuzzer writes its input into build/fuzz/found/,
    to be committed into the regressions folder with the fix."""
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
            str(binary), str(work), *fuzz_options(name), *session.posargs, env=env,
            silent=True)
        session.log("\n".join(str(output).splitlines()[-7:]))


# The command line's readers fuzzed in-process by atheris (tests/fuzz/fuzz_cli_readers.py).
# atheris has wheels for 3.8 to 3.13 (2.3 up to 3.10, 3.0 for 3.11, 3.1 for 3.12 and
# 3.13); its instrumentation rewrites each interpreter's bytecode, and the target is
# run on 3.11, the interpreter of tools/test.sh, with NumPy 1.x as users of 3.11 have
# it. Wheels only: a source build of atheris needs a libFuzzer of its own.
CLI_FUZZ_PYTHON = "3.11"


@nox.session(name="fuzz-cli", python=interpreter(CLI_FUZZ_PYTHON))
def fuzz_cli(session: nox.Session) -> None:
    """The command line's readers (tables, .npy, .npz) under atheris: first every input
    kept in tests/fuzz/regressions/cli_readers/, then a bounded run from the committed
    seed corpus. An exception other than the command's bad input fails the session, and
    its input is written into build/fuzz/found/, to be committed into the regressions
    folder with the fix."""
    # A build folder of its own: the test sessions of the same interpreter build in the
    # other lane at the same time.
    session.install(*config("build-dir=build/fuzz-cli/{wheel_tag}"), ".", "numpy<2",
                    "--only-binary=atheris", "atheris")
    target = TESTS / "fuzz" / "fuzz_cli_readers.py"
    regressions = TESTS / "fuzz" / "regressions" / "cli_readers"
    kept = sorted(p for p in regressions.glob("*") if not p.name.startswith("."))
    work = BUILD / "fuzz" / "corpus_cli_readers"
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(TESTS / "fuzz" / "corpus" / "cli_readers", work)
    # Outside the checkout, whose zelvane folder has no built extension.
    with session.chdir(BUILD):
        if kept:
            session.log(f"replaying {len(kept)} kept input(s) of cli_readers")
            session.run("python", str(target), *map(str, kept), silent=True)
        output = session.run(
            "python", str(target), str(work), *fuzz_options("cli_readers"),
            *session.posargs, silent=True)
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
    session.install(*config(*DEBUGGABLE, "build-dir=build/valgrind/{wheel_tag}"), ".[test]",
                    "numpy<2")
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
                "python", "-m", "pytest", *PYTEST, *WITHOUT_NUMPY2_TESTS, "-k", VALGRIND_DESELECT,
                *selected,
                *session.posargs, env={**PYTEST_ENV, "PYTHONMALLOC": "malloc"}, external=True)
    finally:
        errors = valgrind_errors(xml_file) if xml_file.exists() else ["no memcheck log"]
        session.log(f"memcheck: {len(errors)} error(s) outside the suppressions")
        for line in errors:
            session.log(line)
    if errors:
        session.error("memcheck reported errors (frames in the package marked [zelvane])")


# What a manylinux policy lets a wheel's shared objects need from the system.
MANYLINUX_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0",
                       "libgcc_s.so.1", "libstdc++.so.6", "libutil.so.1", "libnsl.so.1",
                       "libresolv.so.2", "libcrypt.so.1", "libz.so.1", "libexpat.so.1"}


def audit(report: str) -> List[str]:
    """What is wrong with a wheel by the text of ``auditwheel show``: no manylinux
    platform tag, external libraries to bundle, or system libraries beyond the policy."""
    text = " ".join(report.split())
    problems = []
    tag = re.search(r'is consistent with the following platform tag: "([^"]+)"', text)
    if tag is None or not re.fullmatch(r"manylinux(_\d+_\d+|1|2010|2014)_x86_64", tag.group(1)):
        problems.append(f"no manylinux platform tag: {tag.group(1) if tag else 'none named'}")
    if "external shared libraries are required" in text:
        problems.append("it needs external shared libraries")
    used = re.search(r"system-provided shared libraries: (.*?) This constrains", text)
    named = re.findall(r"(\S+\.so(?:\.\d+)*) with versions", used.group(1)) if used else []
    if used is None or not named:
        problems.append("no system libraries named")
    problems += [f"{library} is beyond the manylinux policy"
                 for library in named if library not in MANYLINUX_LIBRARIES]
    return problems


@nox.session(python=interpreter("3.12"))
def wheel(session: nox.Session) -> None:
    """The wheel of one interpreter as ``pip wheel . --no-deps -w build/wheel`` builds it
    (from a build tree of its own): auditwheel must find it consistent with a manylinux
    platform tag and needing no library beyond that policy."""
    out = BUILD / "wheel"
    shutil.rmtree(out, ignore_errors=True)
    shutil.rmtree(BUILD / "wheel-tree", ignore_errors=True)
    session.run("python", "-m", "pip", "wheel", str(ROOT), "--no-deps", "-w", str(out),
                *config("build-dir=build/wheel-tree/{wheel_tag}"))
    wheels = sorted(out.glob("zelvane-*.whl"))
    if len(wheels) != 1:
        session.error(f"expected one wheel in {out}, found {[w.name for w in wheels]}")
    session.install("auditwheel")
    report = str(session.run("auditwheel", "show", str(wheels[0]), silent=True))
    session.log(report)
    problems = audit(report)
    if problems:
        session.error("; ".join(problems))


# The documentation site: built by tools/docs.sh, every example of the guide and the
# README run, the site checked in Debian's chromium (tools/ci.sh installs it).
DOCS_TESTS = TESTS / "docs"


@nox.session(python=interpreter("3.11"))
def docs(session: nox.Session) -> None:
    """``bash tools/docs.sh`` into this session's environment (warnings are errors, the
    gallery's examples run), then the examples of the user guide and the README with
    their output compared, then the built site in headless chromium: every page without
    a console error or a missing resource, the gallery's images, the search, and the
    screenshots kept in docs/_build/screenshots."""
    for program in ("chromium", "chromedriver"):
        if shutil.which(program) is None:
            session.error(f"{program} is missing: apt-get install chromium chromium-driver")
    with shared_build():
        session.run("bash", str(ROOT / "tools" / "docs.sh"), external=True,
                    env={"DOCS_VENV": str(session.virtualenv.location)})
    # From build/, so that the examples import the installed package.
    with session.chdir(BUILD):
        session.run("python", "-m", "pytest", "-p", "no:cacheprovider", f"--rootdir={ROOT}",
                    f"--confcutdir={DOCS_TESTS}", "-rs", str(DOCS_TESTS / "check_examples.py"),
                    str(DOCS_TESTS / "check_site.py"), *session.posargs)


@nox.session(python=interpreter("3.12"))
def probes(session: nox.Session) -> None:
    """The adversarial round's whole set of probes (tests/probes/run.py; its quick ones
    run in every tests session too): each finding of that round stays fixed. Findings
    still open (probe_set.OPEN) are reported and do not fail the session, unless
    ``-- --strict``; one that holds again says so. A few minutes."""
    with shared_build():
        session.install(".[test]", "numpy<2")
    show_versions(session)
    with session.chdir(BUILD):
        session.run("python", str(TESTS / "probes" / "run.py"), *session.posargs)
