"""Sphinx configuration of zelvane's documentation site.

Built by ``bash tools/docs.sh`` (warnings are errors) into ``docs/_build/html``. The
package is imported from where it is installed, never from the checkout, whose
``zelvane`` folder has no built extension. The gallery's scripts in ``examples/`` run
at every build and their figures are made then.
"""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent

# The installed package, not the source folder beside this one.
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() not in (ROOT, DOCS)]
os.environ.setdefault("MPLBACKEND", "Agg")

import zelvane  # noqa: E402
from zelvane import _density, _from_data, _summaries  # noqa: E402
from zelvane.cli import package_version  # noqa: E402

# The modules that hold some of the density's methods name its class, and the type of
# what it evaluates, for typing alone (they sit below the class's module): here their
# annotations resolve as those of the methods in the class's own module do.
for _module in (_summaries, _from_data):
    _module.PiecewiseLinearDensity = _density.PiecewiseLinearDensity
    _module.Evaluated = _density.Evaluated

project = "zelvane"
author = "the zelvane developers"
copyright = "the zelvane developers"
release = package_version()
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "sphinx_design",
]

exclude_patterns = ["_build", "examples", "auto_examples/*.py", "auto_examples/*.ipynb"]
templates_path = ["_templates"]
html_static_path = ["_static"]

html_theme = "pydata_sphinx_theme"
html_title = "zelvane"
html_favicon = "_static/favicon.svg"
html_logo = "_static/favicon.svg"
# The theme's script refuses an empty colour mode on the console: light unless asked.
html_context = {"default_mode": "light"}
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
# The theme's version switcher and analytics fetch from the network: none of them.
html_last_updated_fmt = None
html_copy_source = False

# Every public name on a page of its own, made from the docstrings.
autosummary_generate = True
autosummary_imported_members = True
autodoc_typehints = "signature"
# The signatures' types as the code writes them, not NumPy's expansion of its aliases.
autodoc_type_aliases = {"npt.ArrayLike": "numpy.typing.ArrayLike",
                        "ArrayLike": "numpy.typing.ArrayLike",
                        "DaskArray": "dask.array.Array",
                        "Evaluated": "zelvane._density.Evaluated",
                        "RandomSource": "zelvane._density.RandomSource",
                        "Float64Array": "numpy.typing.NDArray[numpy.float64]"}
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
numpydoc_validation_checks: set = set()

# The figures of the guide's plot directives are made at build time, one PNG each.
plot_formats = [("png", 96)]
plot_html_show_source_link = False
plot_html_show_formats = False
plot_include_source = True
plot_pre_code = "import numpy as np\nimport matplotlib.pyplot as plt\n"
plot_rcparams = {"figure.figsize": (6.4, 3.6)}

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"(__init__|_acs)\.py",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "show_memory": False,
    "min_reported_time": 3600,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    # The page of execution times loads its table script from a CDN: none, offline.
    "write_computation_times": False,
}



def escape_bars(app, what, name, obj, options, lines):
    """The docstrings write absolute values as |x - L|, which reStructuredText would read
    as a substitution: their bars are escaped, outside of tables and literals."""
    for k, line in enumerate(lines):
        if "|" in line and "``" not in line and not line.lstrip().startswith(("|", "+")):
            lines[k] = line.replace("|", "\\|")


def plain_aliases(app, what, name, obj, options, signature, return_annotation):
    """An alias inside Optional[...] comes out as TypeAliasForwardRef('name'): the name."""
    def plain(text):
        return None if text is None else re.sub(r"TypeAliasForwardRef\('([^']*)'\)", r"\1", text)
    return plain(signature), plain(return_annotation)


def setup(app):
    app.connect("autodoc-process-docstring", escape_bars)
    app.connect("autodoc-process-signature", plain_aliases)


# The inventories of NumPy, SciPy, pandas and matplotlib cannot be read offline, as the
# build must be: they are named by plain links instead of intersphinx.
nitpicky = False
