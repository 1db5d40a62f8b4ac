"""The package under NumPy 2: zelvane.bake, built for the binary interface of NumPy 1.x,
refuses to load with its one ImportError, as it does for any NumPy it was not built
for, and the rest of the package goes on working without it."""

import json

import pytest

from conftest import run_python
from test_compat_checks import INIT_ENTRY, NUMPY_IMPORT_FAILED

pytestmark = pytest.mark.needs_numpy2


def test_bake_refuses_numpy_2_with_its_one_import_error():
    rc, out, err = run_python("""
        import json, sys, traceback
        import numpy
        import zelvane

        outcomes = []
        for attempt in ("import statement", "attribute of the package"):
            try:
                if attempt == "import statement":
                    import zelvane.bake
                else:
                    zelvane.bake
            except ImportError as error:
                frames = traceback.extract_tb(error.__traceback__)
                outcomes.append([type(error).__name__, str(error),
                                 error.__cause__ is None and error.__context__ is None,
                                 list(frames[-1][:3])])
        # What did load keeps working.
        values = zelvane.fit_density([0, 1, 2, 3], [1, 2, 1]).tolist()
        print(json.dumps([numpy.__version__, outcomes, "zelvane.bake" in sys.modules, values]))
    """)
    assert rc == 0, err
    version, outcomes, loaded, values = json.loads(out)
    assert int(version.split(".")[0]) >= 2
    assert outcomes == [["ImportError", NUMPY_IMPORT_FAILED, True, INIT_ENTRY]] * 2
    assert not loaded and values == [0.5, 1.5, 1.5, 0.5]
