"""Run the adversarial round's probes against the installed zelvane.

    python tests/probes/run.py            # the whole set (a few minutes)
    python tests/probes/run.py --quick    # the quick ones, as the test suite runs them
    python tests/probes/run.py NAME ...   # the probes named
    python tests/probes/run.py --strict   # open findings fail too

Prints one line per probe as it ends: ``ok``, ``FAIL``, ``open`` (a finding still open,
probe_set.OPEN, whose probe fails as expected) or ``HOLDS`` (an open one that no longer
fails: take it out of OPEN), with its owner, the finding and what went wrong. Exits 1
if a probe failed that is not open (with --strict, if any failed). The nox session
``probes`` runs the whole set.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from probe_set import OPEN, PROBES, run_all  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description="Run the adversarial round's probes.")
    parser.add_argument("names", nargs="*", help="probes to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="only the quick probes")
    parser.add_argument("--strict", action="store_true", help="open findings fail too")
    arguments = parser.parse_args()
    unknown = [name for name in arguments.names if name not in PROBES]
    if unknown:
        parser.error(f"no probe named {', '.join(unknown)}")
    names = arguments.names or [name for name, p in PROBES.items()
                                if p.quick or not arguments.quick]
    failed = 0
    for name in names:
        problem = run_all([name])[name]
        p = PROBES[name]
        if name in OPEN and not arguments.strict:
            word = "open" if problem else "HOLDS"
        else:
            word = "FAIL" if problem else "ok"
            failed += bool(problem)
        print(f"{word:5} {name:28} [{p.owner}] {p.finding}"
              + (f"\n      {problem}" if problem else ""), flush=True)
    print(f"{len(names) - failed} of {len(names)} probes hold or are open")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
