"""Files written whole or not at all, and the checks of where they go.

Every file is written to a temporary file beside its destination and renamed onto it
only once everything has been written, so a failure (a full disk, Ctrl-C, SIGTERM)
leaves an existing file as it was and no temporary file behind. A destination that is
no regular file (a device, a named pipe) is written directly.
"""

from __future__ import annotations

import os
import secrets
import stat
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple

from zelvane.cli.errors import BadInput
from zelvane.cli.histograms import STDIN

if TYPE_CHECKING:
    from zelvane.cli.results import Result

PLOT_EXTENSIONS = (".png", ".svg")


def check_destination(path: str, key: str, extensions: Sequence[str]) -> str:
    """The extension of a file to be written, once its name and directory are
    known to be fit for it."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in extensions:
        raise BadInput(path, key, extension=extension or "(none)",
                       known=", ".join(extensions))
    directory = os.path.dirname(path) or os.curdir
    if not os.path.isdir(directory):
        raise BadInput(path, "no_directory", directory=directory)
    if os.path.isdir(path):
        raise BadInput(path, "is_directory")
    return extension


class PendingFile:
    """A temporary file beside ``path`` that becomes ``path`` on ``commit``,
    and is removed by ``discard`` if it never does.

    Make one, put it where the code that discards it will find it, then ``open`` it:
    the temporary file's name is kept before the file exists, so Ctrl-C at any point
    leaves ``discard`` the name of every file there is to remove. (Holding SIGINT back
    does not do: the kernel may hand the signal to any other thread, such as a BLAS
    thread, and Python raises it in the main thread at its next check.)

    A destination that exists and is no regular file (a device such as
    /dev/stdout, a named pipe) cannot be renamed onto: it is written directly."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.temporary: Optional[str] = None
        self.stream: Optional[IO[bytes]] = None

    def open(self) -> IO[bytes]:
        path = self.path
        try:
            if os.path.exists(path) and not stat.S_ISREG(os.stat(path).st_mode):
                self.stream = open(path, "wb")
                return self.stream
            directory = os.path.dirname(path) or os.curdir
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
            while True:
                self.temporary = os.path.join(
                    directory, f".{os.path.basename(path)}.{secrets.token_hex(8)}.part")
                try:
                    handle = os.open(self.temporary, flags, 0o666)  # the umask applies
                    break
                except FileExistsError:  # someone else's file: never ours to remove
                    self.temporary = None
        except OSError as exc:
            raise unwritable(path, exc) from None
        self.stream = os.fdopen(handle, "wb")
        return self.stream

    def commit(self) -> None:
        assert self.stream is not None
        self.stream.close()
        if self.temporary is not None:
            os.replace(self.temporary, self.path)

    def discard(self) -> None:
        if self.stream is not None:
            try:
                self.stream.close()  # a full disk refuses the last buffered bytes here again
            except OSError:
                pass
        if self.temporary is not None and os.path.exists(self.temporary):
            os.unlink(self.temporary)


def unwritable(path: str, error: OSError) -> BadInput:
    """A failure to write ``path`` (a full disk, a closed pipe, no permission) as
    one line that names it."""
    return BadInput(path, "unwritable", reason=error.strerror or str(error))


def write_files(result: Result, output: Optional[Tuple[str, str]],
                plot: Optional[Tuple[str, str]], title: Optional[str] = None,
                truth: Optional[Callable[[Any], Any]] = None,
                densities: Optional[Sequence[Any]] = None) -> None:
    """Write the output and the plot, each to a file beside its destination,
    and rename them into place once both are complete."""
    from zelvane.cli.fitting import progress_bar
    from zelvane.cli.formats import write_result

    pending: List[PendingFile] = []
    # The file being written, which an I/O error is about.
    current = None
    try:
        if output is not None:
            current = output[0]
            stream = open_pending(pending, output[0])
            with progress_bar(result.count, "writing") as advance:
                write_result(stream, output[1], result, advance)
        if plot is not None:
            from zelvane.cli.plot import write_plot

            current = plot[0]
            stream = open_pending(pending, plot[0])
            write_plot(stream, plot[1], result, title, truth, densities)
        while pending:
            current = pending[0].path
            pending[0].commit()
            pending.pop(0)
    except OSError as exc:
        assert current is not None
        raise unwritable(current, exc) from None
    finally:
        for left in pending:
            left.discard()


def open_pending(pending: List[PendingFile], path: str) -> IO[bytes]:
    """Add the temporary file of `path` to `pending`, then create it: an interrupt at
    any point finds in `pending` every temporary file there is to remove."""
    pending.append(PendingFile(path))
    return pending[-1].open()


def same_file(first: str, second: str) -> bool:
    """Whether two paths name one file (by device and inode, through symlinks and any
    spelling), or, where one does not exist yet, one place."""
    try:
        return os.path.samefile(first, second)
    except OSError:
        return os.path.realpath(first) == os.path.realpath(second)


def refuse_overwriting(source: str, outputs: Sequence[Optional[str]]) -> None:
    """Refuse, before anything is read or written, an output that is the input file
    (the input would be replaced by its own fit) or two outputs that are one file."""
    named = [path for path in outputs if path is not None]
    if len(named) == 2 and same_file(named[0], named[1]):
        raise BadInput(named[1], "same_outputs")
    if source == STDIN:
        return
    for path in named:
        if same_file(source, path):
            also = "" if path == source else f" {source!r}"
            raise BadInput(path, "same_file", also=also)


def write_stdout(result: Result) -> None:
    """The CSV table on standard output; a failure to write it (other than a reader
    that went away) is one line about ``<stdout>``."""
    from zelvane.cli.fitting import progress_bar
    from zelvane.cli.formats import write_result

    try:
        sys.stdout.flush()
        with progress_bar(result.count, "writing") as advance:
            write_result(sys.stdout.buffer, ".csv", result, advance)
        sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        silence_stdout()
        raise unwritable("<stdout>", exc) from None


def silence_stdout() -> None:
    """Point standard output at the null device, so that the interpreter's flush at
    exit does not fail again on what is left in its buffer."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)

