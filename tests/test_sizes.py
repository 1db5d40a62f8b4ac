"""tools/sizes.py, which lists the kernels' functions and the Python modules over their
limits: it must find every function where it starts and ends, whatever braces sit in
comments, literals, lambdas and initialisers, and it must fail when something is over."""

import importlib.util
import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SPEC = importlib.util.spec_from_file_location("sizes", ROOT / "tools" / "sizes.py")
sizes = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(sizes)

SAMPLE = r'''// A file of every shape: { in a comment
#include <cstdint>
namespace zelvane::sample {
namespace {
constexpr int table[] = {1, 2, 3};
}  // namespace

struct box {
    int a = 0;
    int get() const noexcept { return a; }
    box(int x) : a(x) {
    }
};

double solve(double x,
             int n) noexcept {
    const char* text = "}}{";  /* } */
    const char brace = '}';
    auto step = [&](double t) {
        return t * x;
    };
    for (int i = 0; i < n; ++i) {
        x = step(x);
    }
    const char* raw = R"x(})x";
    return x + 1'000;
}

template <typename T>
T twice(T t) { return t + t; }
}  // namespace zelvane::sample
'''


def test_functions_are_found_from_their_header_to_their_closing_brace():
    found = list(sizes.functions(SAMPLE))
    assert found == [("get", 10, 10), ("box", 11, 12), ("solve", 15, 27), ("twice", 29, 30)]


def test_blanking_keeps_lines_and_drops_braces_in_comments_and_literals():
    text = 'a("{", \'}\'); // {\n/* }\n} */ b(R"q(})q");\n'
    code = sizes.blank(text)
    assert code.count("\n") == text.count("\n")
    assert "{" not in code and "}" not in code and code.startswith("a(")


def test_a_tree_with_a_long_function_or_module_fails(tmp_path, capsys):
    kernels, package = tmp_path / "src" / "kernels", tmp_path / "zelvane" / "cli"
    kernels.mkdir(parents=True)
    package.mkdir(parents=True)
    body = "    x += 1;\n" * 98
    (kernels / "fit.cpp").write_text(f"void fit(int x) {{\n{body}}}\n")  # 100 lines
    (tmp_path / "zelvane" / "_big.py").write_text("x = 1\n" * 700)
    (package / "__init__.py").write_text("")
    os.chdir(tmp_path)
    assert sizes.main([]) == 0
    assert sizes.main(["--lines", "99"]) == 1
    assert "  100  src/kernels/fit.cpp:1  fit" in capsys.readouterr().out
    (package / "command.py").write_text("x = 1\n" * 701)
    assert sizes.main([]) == 1
    assert capsys.readouterr().out.split() == ["701", str(Path("zelvane/cli/command.py"))]


@pytest.fixture(autouse=True)
def _keep_cwd():
    cwd = os.getcwd()
    yield
    os.chdir(cwd)
