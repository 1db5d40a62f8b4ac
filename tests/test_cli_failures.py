"""The zelvane command when things go wrong around it: an output that is the input,
inputs too large for memory, a full disk, a closed pipe, Ctrl-C. Each ends with its
exit status and one line on stderr, no traceback, the input untouched, no temporary
file left and an older output as it was. Also the fitted values below zero that the
command announces and --check counts, the smooth fit's float64 input, and the one fit
behind a summary or a plot."""

import errno
import io
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import zelvane
from test_cli import console_script, read_csv, run_batch, run_child

OLD = b"an older output\n"
TABLE = b"edge,mass\n0,2\n1,7\n2,12\n3,9\n5,4\n8,1\n12\n"


def snapshot(directory):
    """Every file of the directory with its bytes (symlinks as their target)."""
    files = {}
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if os.path.islink(path):
            files[name] = "->" + os.readlink(path)
        elif os.path.isdir(path):
            files[name] = sorted(os.listdir(path))
        else:
            with open(path, "rb") as stream:
                files[name] = stream.read()
    return files


def one_line(err):
    assert err.count("\n") == 1 and err.endswith("\n"), err
    assert "Traceback" not in err
    return err[:-1]


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "my.csv").write_bytes(TABLE)
    (tmp_path / "old.csv").write_bytes(OLD)
    return tmp_path


# -- refused before anything is read or written -----------------------------

def test_an_output_that_is_the_input_is_refused_however_it_is_named(folder):
    os.symlink("my.csv", folder / "link.csv")
    os.link(folder / "my.csv", folder / "hard.csv")
    (folder / "sub").mkdir()
    before = snapshot(folder)
    runs = run_batch(folder, [
        (["fit", "my.csv", "-o", "my.csv"], b""),
        (["fit", "my.csv", "-o", "./sub/../my.csv"], b""),
        (["fit", "my.csv", "-o", str(folder / "my.csv")], b""),
        (["fit", "link.csv", "-o", "my.csv"], b""),
        (["fit", "my.csv", "-o", "hard.csv"], b""),
        (["fit", "my.csv", "-o", "old.csv", "--plot", "my.csv"], b""),
        (["summary", "my.csv", "--plot", "link.csv"], b""),
        (["fit", "my.csv", "-o", "new.csv", "--plot", "./new.csv"], b""),
    ])
    lines = [one_line(err) for status, out, err in runs if status == 2 and out == ""]
    assert lines == [
        "zelvane: my.csv: is the input file: writing it would replace the input",
        "zelvane: ./sub/../my.csv: is the input file 'my.csv': writing it would replace "
        "the input",
        f"zelvane: {folder / 'my.csv'}: is the input file 'my.csv': writing it would "
        "replace the input",
        "zelvane: my.csv: is the input file 'link.csv': writing it would replace the input",
        "zelvane: hard.csv: is the input file 'my.csv': writing it would replace the input",
        "zelvane: my.csv: is the input file: writing it would replace the input",
        "zelvane: link.csv: is the input file 'my.csv': writing it would replace the input",
        "zelvane: ./new.csv: --plot and --output name the same file",
    ]
    assert snapshot(folder) == before


def npy_header(shape, descr="<f8"):
    stream = io.BytesIO()
    np.lib.format.write_array_header_1_0(
        stream, {"descr": descr, "fortran_order": False, "shape": shape})
    return stream.getvalue()


def test_inputs_beyond_memory_and_options_beyond_bounds_are_one_line(folder):
    import zipfile

    rng = np.random.default_rng(5)
    files = {
        # A cell longer than the csv module's own limit of 131,072 characters.
        "long-cell.csv": b'edge,mass\n0,"' + b"7" * 200_000 + b'"\n1,x' + b"y" * 200_000
                         + b"\n2\n",
        "huge.npy": npy_header((10 ** 11,)) + b"\0" * 64,
        "wide.npy": None,
        "cluster.npy": None,
        "negative.csv": b"0,1\n1,-2\n2,3\n3\n",
        "point.npy": None,
    }
    for name, data in files.items():
        if data is not None:
            (folder / name).write_bytes(data)
    np.save(folder / "wide.npy", np.array([-1.7e308, 0.0, 1.7e308]))
    # A tight cluster and one far sample: numpy's rules would cut 1e13 bins.
    np.save(folder / "cluster.npy", np.append(rng.uniform(0, 1e-6, 1000), 1e6))
    np.save(folder / "samples.npy", rng.normal(size=50))
    # One sample so large that widening it by 0.5 each way leaves no width to bin.
    np.save(folder / "point.npy", np.array([5.5e119]))
    # An archive whose counts declare 10^10 elements in a member of a few bytes.
    with zipfile.ZipFile(folder / "huge.npz", "w") as archive:
        archive.writestr("edges.npy", (lambda s: (np.save(s, np.arange(3.0)), s.getvalue())[1])(
            io.BytesIO()))
        archive.writestr("counts.npy", npy_header((10 ** 10,)) + b"\0" * 16)
    before = snapshot(folder)
    cases = [
        (["fit", "long-cell.csv"], "long-cell.csv, line 3, column 2: not a number: "
                                   "'x" + "y" * 56 + "...'"),
        (["fit", "huge.npy"], "huge.npy: the header declares 100000000000 float64 elements "
                              "(800000000000 bytes), but the file holds 64 bytes of data"),
        (["fit", "huge.npz"], "huge.npz, array 'counts': the header declares 10000000000 "
                              "float64 elements (80000000000 bytes), but the file holds 16 "
                              "bytes of data"),
        (["fit", "samples.npy", "--bins", "1000000000"],
         "--bins 1000000000 is more than 1000000 bins"),
        (["fit", "cluster.npy"], None),
        (["fit", "cluster.npy", "--bins", "fd"], None),
        (["fit", "wide.npy"], "wide.npy: the samples span [-1.7e+308, 1.7e+308], wider than "
                              "float64 can measure"),
        (["fit", "point.npy"], "point.npy: numpy.histogram cannot bin these samples: "
                               "[5.5e+119, 5.5e+119] cannot be cut into 1 bin of positive "
                               "width in float64"),
        (["fit", "negative.csv", "--method", "exact"],
         "negative.csv, line 2: mass[1] = -2.0 is negative"),
        (["fit", "negative.csv", "--method", "iterative"],
         "negative.csv, line 2: mass[1] = -2.0 is negative"),
    ]
    # The cluster may fit, by the rules of the NumPy installed: into a file of its own.
    runs = run_batch(folder, [(argv + ["-o", "cluster.csv" if "cluster.npy" in argv else "old.csv"],
                               b"") for argv, _ in cases])
    for (argv, line), (status, out, err) in zip(cases, runs):
        rule = argv[-1] if len(argv) > 2 else "auto"
        if line is None and status == 0:
            # This NumPy's rule makes a count of bins that the command fits (NumPy 2's
            # "auto" does; NumPy 1.x's asks for 10^13).
            assert (out, err) == ("", ""), (argv, err)
            continue
        assert (status, out) == (2, ""), (argv, err)
        if line is None:
            assert one_line(err).startswith(f"zelvane: cluster.npy: --bins {rule} makes ")
            assert one_line(err).endswith("bins of these samples, more than 1000000: give "
                                          "--bins a count")
        else:
            assert one_line(err) == f"zelvane: {line}"
    if (folder / "cluster.csv").exists():
        (folder / "cluster.csv").unlink()
    assert snapshot(folder) == before
    # Workers far beyond any machine: a usage error, no traceback.
    runs = run_batch(folder, [(["fit", "my.csv", "--workers", str(10 ** 20)], b"")])
    status, out, err = runs[0]
    assert (status, out) == (2, "") and "Traceback" not in err
    assert one_line(err).startswith("zelvane: error: argument --workers: expected 0 (one per "
                                    f"core) to 1024, not '{10 ** 20}'")


def test_memory_that_a_fit_cannot_have_is_one_line(folder):
    # As the rows module reports a size it cannot allocate.
    code = ("import sys, zelvane._smooth as smooth\n"
            "def fit_smooth(*args, **kwargs):\n"
            "    raise MemoryError('cannot allocate 81920000000 bytes')\n"
            "smooth.fit_smooth = fit_smooth\n"
            "from zelvane.cli import main\n"
            "sys.exit(main(sys.argv[1:]))")
    before = snapshot(folder)
    rc, out, err = run_child(["-c", code, "fit", "my.csv", "-o", "old.csv"], folder)
    assert (rc, out, err) == (2, "", "zelvane: my.csv: too large for the memory at hand "
                                     "(cannot allocate 81920000000 bytes)\n")
    assert snapshot(folder) == before


def test_data_beyond_the_memory_this_process_may_have_is_refused_unread(folder, monkeypatch,
                                                                        capsys):
    """An array that the file does hold, but that would not fit in memory (a
    container's limit, say): refused from its header, before NumPy allocates it."""
    import zelvane.cli.arrays as read
    from zelvane import _rows
    from zelvane.cli import main

    assert 0 < read.memory_bytes() == _rows.memory_bytes()
    np.save(folder / "samples.npy", np.ones(600))
    np.savez(folder / "many.npz", edges=np.arange(21.0), counts=np.ones((30, 20)))
    monkeypatch.chdir(folder)
    monkeypatch.setattr(read, "memory_bytes", lambda: 4000)
    before = snapshot(folder)
    assert main(["fit", "samples.npy"]) == 2
    assert main(["fit", "many.npz", "-o", "old.csv"]) == 2
    assert capsys.readouterr().err.splitlines() == [
        f"zelvane: {name}: 4800 bytes of data do not fit in the memory this process may have "
        "(4000 bytes)" for name in ("samples.npy", "many.npz, array 'counts'")]
    assert snapshot(folder) == before


# -- failures while writing -------------------------------------------------

def test_a_full_disk_is_one_line_and_leaves_no_temporary_file(folder):
    os.symlink("/dev/full", folder / "full.csv")
    # The disk fills after some of the table: the older output stays, the part goes.
    code = ("import errno, sys\n"
            "import zelvane.cli.write as write\n"
            "class Full:\n"
            "    def __init__(self, stream): self.stream, self.left = stream, 40\n"
            "    def write(self, data):\n"
            "        self.left -= len(data)\n"
            "        if self.left < 0: raise OSError(errno.ENOSPC, 'No space left on device')\n"
            "        return self.stream.write(data)\n"
            "    def __getattr__(self, name): return getattr(self.stream, name)\n"
            "opened = write.PendingFile.open\n"
            "def open_(self):\n"
            "    self.stream = Full(opened(self))\n"
            "    return self.stream\n"
            "write.PendingFile.open = open_\n"
            "from zelvane.cli import main\n"
            "sys.exit(main(sys.argv[1:]))")
    before = snapshot(folder)
    for argv in (["fit", "my.csv", "-o", "old.csv"], ["fit", "my.csv", "-o", "old.csv",
                                                      "--method", "both", "--check"]):
        rc, out, err = run_child(["-c", code, *argv], folder)
        assert (rc, out) == (2, "")
        # With both methods the exact fit's values below zero are announced first.
        lines = err.splitlines()
        assert len(lines) == 1 + ("both" in argv) and "Traceback" not in err
        assert lines[-1] == "zelvane: old.csv: cannot write: No space left on device"
        assert snapshot(folder) == before
    # The real thing: a device that is always full, as the output and as stdout.
    rc, out, err = run_child(["-m", "zelvane", "fit", "my.csv", "-o", "full.csv"], folder)
    assert (rc, out, err) == (2, "", "zelvane: full.csv: cannot write: No space left on "
                                     "device\n")
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([sys.executable, "-m", "zelvane", "fit", "my.csv"], cwd=folder,
                              stdout=full, stderr=subprocess.PIPE, timeout=300)
    assert (proc.returncode, proc.stderr) == (
        2, b"zelvane: <stdout>: cannot write: No space left on device\n")
    assert snapshot(folder) == before


def test_a_pipe_closed_by_its_reader_is_one_line(folder):
    np.savez(folder / "many.npz", edges=np.arange(21.0),
             counts=np.random.default_rng(1).gamma(2.0, 3.0, (3000, 20)).round())
    os.mkfifo(folder / "pipe.csv")
    got = []

    def read_a_little():
        with open(folder / "pipe.csv", "rb") as pipe:
            got.append(pipe.read(100))

    reader = threading.Thread(target=read_a_little)
    reader.start()
    rc, out, err = run_child(["-m", "zelvane", "fit", "many.npz", "-o", "pipe.csv"], folder)
    reader.join(timeout=300)
    assert got and got[0].startswith(b"histogram,knot,value,mass,fitted_mass\n")
    assert (rc, out, err) == (2, "", "zelvane: pipe.csv: cannot write: Broken pipe\n")
    assert not [name for name in os.listdir(folder) if name.endswith(".part")]


def test_ctrl_c_exits_130_and_leaves_nothing_half_written(folder):
    """SIGINT once the command holds its input and is fitting, and once it has begun
    to write the output: exit 130, one line, the older output as it was."""
    stream = io.BytesIO()
    np.savez(stream, edges=np.arange(41.0),
             counts=np.random.default_rng(2).gamma(2.0, 3.0, (20000, 40)).round())
    before = snapshot(folder)
    for moment in ("fitting", "writing"):
        proc = subprocess.Popen([console_script(), "fit", "-", "-o", "old.csv"], cwd=folder,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        # The write returns once the command has read nearly all of standard input,
        # inside its own code.
        proc.stdin.write(stream.getvalue())
        proc.stdin.close()
        deadline = time.monotonic() + 300  # only a guard against a hang
        if moment == "fitting":
            time.sleep(0.5)
        else:
            while not [n for n in os.listdir(folder) if n.endswith(".part")]:
                assert proc.poll() is None and time.monotonic() < deadline
                time.sleep(0.005)
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=300)
        out, err = proc.stdout.read(), proc.stderr.read()
        proc.stdout.close()
        proc.stderr.close()
        assert (proc.returncode, out, err) == (130, b"", b"zelvane: interrupted\n"), moment
        assert snapshot(folder) == before


# A child that stops inside a writer, once the temporary file holds some of its output:
# it makes the file "ready" and waits there for a signal.
HOLD = """
import os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # as an interactive shell gives it
signal.signal(signal.SIGHUP, signal.SIG_DFL)  # as a terminal gives it, even under nohup
def hold():
    open("ready", "w").close()
    # Short sleeps: the kernel may hand the signal to another thread (NumPy's BLAS
    # threads), which does not cut the main thread's sleep short; Python raises it in
    # the main thread at its next check.
    for _ in range(12000): time.sleep(0.01)
"""
HELD_WRITERS = {
    "csv": "import zelvane.cli.formats as formats\n"
           "real = formats.csv_lines\n"
           "def csv_lines(*args):\n"
           "    yield from real(*args)\n"
           "    hold()\n"
           "formats.csv_lines = csv_lines\n",
    "npz": "import numpy.lib.format as npy_format\n"
           "real = npy_format.write_array\n"
           "def write_array(*args, **kwargs):\n"
           "    real(*args, **kwargs)\n"
           "    hold()\n"
           "npy_format.write_array = write_array\n",
    "png": "import zelvane.cli.plot as plot\n"
           "real = plot.write_plot\n"
           "def write_plot(*args, **kwargs):\n"
           "    real(*args, **kwargs)\n"
           "    hold()\n"
           "plot.write_plot = write_plot\n",
}


@pytest.mark.parametrize("name, kind", [("SIGTERM", "csv"), ("SIGTERM", "npz"),
                                        ("SIGTERM", "png"), ("SIGHUP", "npz"),
                                        ("SIGINT", "npz")])
def test_a_signal_to_stop_while_writing_leaves_no_part_and_the_older_output(folder, name, kind):
    """SIGTERM and SIGHUP stop the command as Ctrl-C does, while a temporary file is there
    half written: exit 128 + the signal's number, one line, no temporary file, the older
    outputs as they were (an archive interrupted inside a member adds no noise)."""
    if kind == "png":
        pytest.importorskip("matplotlib")
    signum = getattr(signal, name)
    for old in ("old.npz", "old.png"):
        (folder / old).write_bytes(OLD)
    before = snapshot(folder)
    argv = ["fit", "my.csv", "-o", "old.csv" if kind == "csv" else "old.npz"]
    if kind == "png":
        argv += ["--plot", "old.png"]
    code = HOLD + HELD_WRITERS[kind] + "from zelvane.cli import main\nsys.exit(main(sys.argv[1:]))"
    proc = subprocess.Popen([sys.executable, "-c", code, *argv], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120  # only a guard against a hang
        while not (folder / "ready").exists():
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
            time.sleep(0.01)
        assert [n for n in os.listdir(folder) if n.endswith(".part")]
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    shown = "" if name == "SIGINT" else f" ({name})"
    assert (proc.returncode, out, err) == (128 + signum, b"",
                                           f"zelvane: interrupted{shown}\n".encode())
    os.unlink(folder / "ready")
    assert snapshot(folder) == before


def test_a_signal_ignored_before_the_command_stays_ignored(folder):
    # Under nohup SIGHUP is ignored: the command runs to its end and writes its output.
    code = (HOLD.replace("for _ in range(12000): time.sleep(0.01)",
                         "os.kill(os.getpid(), signal.SIGHUP)")
            + "signal.signal(signal.SIGHUP, signal.SIG_IGN)\n" + HELD_WRITERS["csv"]
            + "from zelvane.cli import main\nsys.exit(main(sys.argv[1:]))")
    rc, out, err = run_child(["-c", code, "fit", "my.csv", "-o", "new.csv"], folder)
    assert (rc, out, err) == (0, "", "")
    assert (folder / "new.csv").read_bytes().startswith(b"knot,value,mass,fitted_mass\n")


def test_a_warning_of_the_fit_is_one_line_naming_the_input(folder):
    # As the fit warns of a result that rests on an extrapolation, twice over; a
    # ResourceWarning (a file the collector closes after an interrupt) and a library's
    # deprecation that is a UserWarning too stay silent.
    code = ("import sys, warnings, zelvane\n"
            "real = zelvane.fit_smooth\n"
            "def fit_smooth(*args, **kwargs):\n"
            "    warnings.warn('unclosed file', ResourceWarning)\n"
            "    class Deprecated(UserWarning, DeprecationWarning): pass\n"
            "    warnings.warn('oneOf deprecated', Deprecated)\n"
            "    for _ in range(2):\n"
            "        warnings.warn('the open bin holds 40 % of the total', UserWarning)\n"
            "    return real(*args, **kwargs)\n"
            "zelvane.fit_smooth = fit_smooth\n"
            "from zelvane.cli import main\n"
            "sys.exit(main(sys.argv[1:]))")
    rc, out, err = run_child(["-c", code, "fit", "my.csv", "-o", "new.csv"], folder)
    assert (rc, out, err) == (0, "", "zelvane: my.csv: warning: the open bin holds 40 % of "
                                     "the total\n")
    assert (folder / "new.csv").exists()


def test_a_fit_that_gives_up_is_one_line_naming_the_row_of_the_file(folder):
    """A solver that cannot confirm its answer is the tool's fault: exit 1, one line
    with the row as the file counts it (rows are fitted in chunks), nothing written."""
    np.savez(folder / "many.npz", edges=np.arange(4.0), counts=np.ones((1500, 3)))
    code = ("import sys, zelvane\n"
            "real = zelvane.fit_smooth\n"
            "def fit_smooth(edges, masses, **kwargs):\n"
            "    if len(masses) < 1024:\n"
            "        raise RuntimeError('row 7: the smooth fit could not confirm its answer')\n"
            "    return real(edges, masses, **kwargs)\n"
            "zelvane.fit_smooth = fit_smooth\n"
            "from zelvane.cli import main\n"
            "sys.exit(main(sys.argv[1:]))")
    before = snapshot(folder)
    rc, out, err = run_child(["-c", code, "fit", "many.npz", "-o", "new.csv"], folder)
    assert (rc, out) == (1, "") and one_line(err) == (
        "zelvane: many.npz: row 1031: the smooth fit could not confirm its answer (the fit "
        "gave up on this input, which it should not: please report it)")
    assert snapshot(folder) == before


@pytest.mark.child_fault
def test_worker_threads_that_cannot_start_are_one_line_of_memory(folder):
    """Under an address-space limit the threads' stacks cannot be mapped: a MemoryError
    of the package, one line and exit 2 from the command, no file written."""
    np.savez(folder / "many.npz", edges=np.arange(4.0), counts=np.ones((64 * 16, 3)))
    code = ("import resource, sys\n"
            "import numpy, zelvane\n"
            "import zelvane.cli, zelvane.cli.fit, zelvane.cli.read, zelvane.cli.formats\n"
            "with open('/proc/self/statm') as f:\n"
            "    pages = int(f.read().split()[0])\n"
            "limit = pages * resource.getpagesize() + 64 * 2 ** 20\n"
            "resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))\n"
            "try:\n"
            "    zelvane.fit_density([0, 1, 2, 3], numpy.ones((64 * 16, 3)), workers=64)\n"
            "except MemoryError as error:\n"
            "    print(type(error).__name__, error)\n"
            "sys.exit(zelvane.cli.main(sys.argv[1:]))")
    before = snapshot(folder)
    rc, out, err = run_child(["-c", code, "fit", "many.npz", "--method", "iterative",
                              "--workers", "64", "-o", "new.csv"], folder)
    assert out.startswith("MemoryError cannot start 64 worker threads: ")
    assert rc == 2 and one_line(err).startswith(
        "zelvane: many.npz: out of memory: cannot start 64 worker threads: ")
    assert snapshot(folder) == before


def test_ctrl_c_at_each_step_of_making_the_temporary_file_leaves_nothing(folder, monkeypatch,
                                                                         capsys):
    """Ctrl-C lands as KeyboardInterrupt wherever Python next checks, whichever thread
    the kernel gave the signal to: just before the file is made, just after, and once
    it is open. Each time the command exits 130 and the folder is as it was."""
    from zelvane.cli import main

    monkeypatch.chdir(folder)
    before = snapshot(folder)
    real_open, real_fdopen = os.open, os.fdopen

    def interrupted(when):
        def os_open(path, *args, **kwargs):
            if str(path).endswith(".part"):
                if when == "before":
                    raise KeyboardInterrupt
                real_open(path, *args, **kwargs)  # made, but its handle lost
                raise KeyboardInterrupt
            return real_open(path, *args, **kwargs)

        def os_fdopen(handle, *args, **kwargs):
            stream = real_fdopen(handle, *args, **kwargs)
            if when == "opened":
                raise KeyboardInterrupt
            return stream
        return os_open, os_fdopen

    made = []
    for when in ("before", "after", "opened"):
        os_open, os_fdopen = interrupted(when)
        monkeypatch.setattr(os, "open", os_open)
        monkeypatch.setattr(os, "fdopen", os_fdopen)
        for argv in (["fit", "my.csv", "-o", "old.csv"],
                     ["fit", "my.csv", "-o", "new.json"]):
            assert main(argv) == 130, (when, argv)
            assert capsys.readouterr().err == "zelvane: interrupted\n"
            assert snapshot(folder) == before, (when, argv)
        monkeypatch.undo()
        monkeypatch.chdir(folder)
        made.append(main(["fit", "my.csv", "-o", "new.csv"]))
        os.unlink(folder / "new.csv")
    assert made == [0, 0, 0]


# -- what the fits give -----------------------------------------------------

EMPTY_BINS = b"0,5\n1,0\n2,0\n3,6\n4,0\n5,4\n6\n"


def test_values_below_zero_are_announced_and_counted_by_check(folder):
    (folder / "empty.csv").write_bytes(EMPTY_BINS)
    edges, masses = np.arange(7.0), np.array([5.0, 0, 0, 6, 0, 4])
    runs = run_batch(folder, [
        (["fit", "empty.csv", "--method", "both", "-o", "both.csv", "--check"], b""),
        (["fit", "empty.csv", "--method", "smooth", "--check"], b""),
    ])
    expected = {m: zelvane.fit_density(edges, masses, method=m) for m in ("iterative", "exact")}
    status, out, err = runs[0]
    assert status == 0
    parts = []
    for method, values in expected.items():
        below = values[values < 0]
        assert below.size, method  # both fits dip below zero beside these empty bins
        parts.append(f"the {method} fit has {below.size} value{'s' * (below.size > 1)} below "
                     f"zero in 1 of 1 histogram, the most negative {below.min():.6g}")
        check = [line for line in out.splitlines() if line.startswith(f"{method}: ")]
        assert check[0].endswith(f", {below.size} value{'s' * (below.size > 1)} below zero "
                                 f"(the most negative {below.min():.6g})")
    assert err == f"zelvane: empty.csv: {'; '.join(parts)}: no density there\n"
    header, columns = read_csv(folder / "both.csv")
    for method, values in expected.items():
        column = columns[header.index(f"value_{method}")]
        assert (column[~np.isnan(column)] == values).all()
    # The smooth fit is never negative: no line, and --check counts nothing.
    status, out, err = runs[1]
    assert status == 0 and "below zero" not in err
    assert not [line for line in err.splitlines() if line.startswith("zelvane:")]


def test_the_smooth_fit_reads_the_masses_in_float64(folder):
    masses = np.array([0.1, 0.7, 0.2, 0.3000000001])
    edges = np.array([0.0, 1.0, 2.5, 3.0, 4.25])
    np.savez(folder / "shares.npz", edges=edges, masses=masses)
    runs = run_batch(folder, [(["fit", "shares.npz", "-o", "shares-out.npz"], b"")])
    assert runs[0] == (0, "", "")
    want = zelvane.fit_smooth(edges, masses)
    rounded = zelvane.fit_smooth(np.float32(edges), np.float32(masses))
    # float32 would round these masses, and the fit with them.
    assert not (want.values == rounded.values).all()
    with np.load(folder / "shares-out.npz") as archive:
        assert (archive["values"] == want.values).all()
        assert (archive["masses"] == masses).all() and archive["masses"].dtype == np.float64
        fitted = archive["fitted_masses"]
    assert np.abs(fitted - masses).max() <= 4 * np.finfo(np.float64).eps


COUNT_FITS = r"""
import json, sys
import zelvane._fitted as fitted, zelvane._smooth as smooth
calls = []
real = smooth.fit_smooth
def counted(*args, **kwargs):
    calls.append(1)
    return real(*args, **kwargs)
smooth.fit_smooth = fitted.fit_smooth = counted
from zelvane.cli import main
status = main(sys.argv[1:])
sys.stderr.write(json.dumps([status, len(calls)]))
"""


def test_a_summary_and_a_plot_fit_the_histogram_once(folder):
    pytest.importorskip("matplotlib")
    (folder / "open.csv").write_bytes(b"lower,upper,count\n,10,5\n10,20,9\n20,40,7\n40,,2\n")
    results = []
    # (The margins of error fit again, by design: left out here.)
    for argv in (["summary", "open.csv", "--no-margins"],
                 ["summary", "open.csv", "--no-margins", "--plot", "s.png"],
                 ["fit", "open.csv", "--plot", "f.png", "-o", "f.csv"]):
        rc, out, err = run_child(["-c", COUNT_FITS, *argv], folder)
        results.append((rc, err))
        if argv[0] == "summary":
            text = out
    assert results == [(0, "[0, 1]")] * 3
    # What the summary prints is the density that a fit of its own gives.
    d = zelvane.PiecewiseLinearDensity.from_masses([-np.inf, 10, 20, 40, np.inf], [5, 9, 7, 2],
                                                   smoothing="auto")
    assert f"median: {d.median():.6g}\n" in text and f"gini: {d.gini():.4f}\n" in text


FUZZ = os.path.join(os.path.dirname(__file__), "fuzz")
# The choices that the first byte of a fuzz input makes (tests/fuzz/fuzz_cli_readers.py).
FUZZ_BINS = (None, "auto", "sturges", "fd", "doane", "3", "1000")


def test_every_kept_fuzz_input_gives_exit_0_or_2(tmp_path):
    """The inputs of the readers' fuzz target, hostile ones included, as the command
    reads them on standard input: a fit or one line of bad input, never a traceback
    (which would end the batch's interpreter)."""
    cases, kinds = [], []
    for folder in ("corpus", "regressions"):
        directory = os.path.join(FUZZ, folder, "cli_readers")
        for name in sorted(os.listdir(directory)):
            with open(os.path.join(directory, name), "rb") as stream:
                data = stream.read()
            bins = FUZZ_BINS[(data[0] >> 1) % len(FUZZ_BINS)]
            argv = ["fit", "-", "-o", "fitted.csv"] + ["--samples"] * (data[0] & 1) \
                + (["--bins", bins] if bins else [])
            cases.append((argv, data[1:]))
            kinds.append(folder)
    assert kinds.count("corpus") >= 10 and kinds.count("regressions") >= 5
    runs = run_batch(tmp_path, cases)
    for kind, (status, out, err) in zip(kinds, runs):
        # A kept crash is bad input for the NumPy that crashed on it; a later NumPy may
        # read it (numpy.histogram of one huge sample, say) and fit it.
        assert out == "" and status in (0, 2), (kind, err)
        if status == 2:
            assert err.startswith("zelvane: ") and err.count("\n") == 1, err
    # The seeds are mostly tables and arrays that fit.
    assert sum(status == 0 for status, _, _ in runs) >= 10


def test_a_refused_row_beyond_the_first_chunk_is_named_as_the_file_numbers_it(folder):
    # Masses whose float32 densities overflow, in one row far past the first chunk
    # of rows that the command fits at a time, for each method that fits in chunks.
    masses = np.ones((3000, 3))
    masses[2500] = 1e33
    np.savez(folder / "rows.npz", edges=np.linspace(0.0, 3e-6, 4), masses=masses)
    before = snapshot(folder)
    runs = run_batch(folder, [(["fit", "rows.npz", "-o", "out.csv", "--method", method], b"")
                              for method in ("iterative", "exact")])
    for (status, out, err), method in zip(runs, ("iterative", "exact")):
        line = one_line(err)
        assert status == 2 and out == ""
        assert f"the '{method}' fit of masses[2500] " in line and "masses[2500, 0]" in line
    assert snapshot(folder) == before
