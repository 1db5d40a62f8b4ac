"""Pickling a density: the same bits back, and a changed pickle refused by its field."""

import copy
import copyreg
import pickle

import numpy as np
import pytest

from zelvane import InputError, PiecewiseLinearDensity as Density, Tail

POINTS = np.array([-np.inf, -30.0, -1.0, 0.0, 0.3, 5.0, 12.0, 19.9, 20.0, 55.0, 1e6, np.inf])
LEVELS = np.array([0.0, 1e-9, 0.01, 0.3, 0.5, 0.77, 0.999, 1.0])


class Tampered:
    """Pickles as `reduced`: a density's own reduction with its state changed."""

    def __init__(self, reduced):
        self.reduced = reduced

    def __reduce__(self):
        return self.reduced


def rebuilt(state):
    """How protocols 0 and 1 rebuild a density: a new object, then its state set."""
    return copyreg._reconstructor, (Density, object, None), state


def densities():
    yield Density([0.0, 1.0, 3.0], [1.0, 2.0, 0.0])
    yield Density.from_histogram([5, 30, 20, 8], [-np.inf, 0, 10, 20, np.inf], mean=12.0)
    yield Density.from_masses([0, 1, 2, 3], [1, 2, 1], method="exact")
    left = Tail("exponential", -2.0, 0.5, 3.0)
    yield Density([-2.0, 4.0], [1.0, 0.0], left_tail=left,
                  right_tail=Tail("exponential", 4.0, 0.0, 1.0))


def loaded(d, change=None, drop=None):
    """`d` pickled and loaded, its state first changed by `change` (a dict) or without
    the field `drop`."""
    state = dict(d.__reduce_ex__(2)[2])
    state.update(change or {})
    if drop is not None:
        del state[drop]
    return pickle.loads(pickle.dumps(Tampered(rebuilt(state))))


def evaluations(d):
    return [d.pdf(POINTS), d.cdf(POINTS), d.sf(POINTS), d.ppf(LEVELS), d.isf(LEVELS),
            d.masses(), np.array([d.mean(), d.var(), d.gini(), d.median()]),
            np.asarray(d.lorenz(LEVELS))]


@pytest.mark.parametrize("d", list(densities()))
def test_pickle_and_copies_give_the_same_bits(d):
    for twin in (pickle.loads(pickle.dumps(d, protocol)) for protocol in range(2, 6)):
        mine, theirs = twin.__getstate__(), d.__getstate__()
        assert all(pickle.dumps(mine[name]) == pickle.dumps(theirs[name]) for name in theirs)
        for got, want in zip(evaluations(twin), evaluations(d)):
            assert got.tobytes() == want.tobytes()
        assert (twin.left_tail, twin.right_tail, twin.method, twin.smoothing, twin.edf,
                twin.mass_error) == (d.left_tail, d.right_tail, d.method, d.smoothing,
                                     d.edf, d.mass_error)
        for array in (twin.knots, twin.values):
            with pytest.raises(ValueError):
                array.flags.writeable = True
    deep = copy.deepcopy(d)
    assert [a.tobytes() for a in evaluations(deep)] == [a.tobytes() for a in evaluations(d)]


def test_the_layout_without_a_format_number_is_read():
    d = Density.from_histogram([5, 30, 20, 8], [-np.inf, 0, 10, 20, np.inf], mean=12.0)
    d.mass_error
    old = {name: getattr(d, name) for name in Density.__slots__}
    twin = pickle.loads(pickle.dumps(Tampered(rebuilt(old))))
    for got, want in zip(evaluations(twin), evaluations(d)):
        assert got.tobytes() == want.tobytes()
    # Its tables are made again, not taken: a changed one is no longer read.
    old["_below"] = np.zeros_like(old["_below"])
    twin = pickle.loads(pickle.dumps(Tampered(rebuilt(old))))
    assert twin.cdf(15.0) == d.cdf(15.0)
    del old["_areas"]
    with pytest.raises(InputError, match="format 1 lacks its field 'areas'"):
        pickle.loads(pickle.dumps(Tampered(rebuilt(old))))


@pytest.mark.parametrize("layout", [3, 0, "2", None, True, 2.0, [1, 2]])
def test_an_unknown_format_is_refused_by_name(layout):
    with pytest.raises(InputError, match=r"format .* cannot be read: this version of zelvane "
                                         r"reads formats 1 and 2") as caught:
        loaded(Density([0.0, 1.0], [1.0, 1.0]), {"format": layout})
    assert caught.value.argument == "format"


def test_a_missing_field_and_a_foreign_state_are_refused():
    with pytest.raises(InputError, match="lacks its field 'right_tail'"):
        loaded(Density([0.0, 1.0], [1.0, 1.0]), drop="right_tail")
    d = Density([0.0, 1.0], [1.0, 1.0])
    with pytest.raises(InputError, match="holds a dict of its fields, not a list"):
        d.__setstate__([1, 2])


def _tail_state(d, side, **fields):
    tail = getattr(d, side)
    return {side: tail._replace(**fields)}


TAILED = Density.from_histogram([5, 30, 20, 8], [-np.inf, 0, 10, 20, np.inf], mean=12.0)


@pytest.mark.parametrize("change, field, problem", [
    ({"values": -TAILED.values}, "values", "negative"),
    ({"values": np.where(np.arange(TAILED.values.size) == 3, np.nan, TAILED.values)},
     "values", "not_finite"),
    ({"values": TAILED.values[:-1]}, "knots", "length"),
    ({"values": np.zeros_like(TAILED.values)}, "areas", "pickle_mismatch"),
    ({"values": TAILED.values * 1.5}, "areas", "pickle_mismatch"),
    ({"knots": np.where(np.arange(TAILED.knots.size) == 2, np.nan, TAILED.knots)},
     "knots", "not_finite"),
    ({"knots": TAILED.knots[::-1].copy()}, "knots", "not_increasing"),
    ({"knots": np.where(np.arange(TAILED.knots.size) == 2, TAILED.knots[2] + 0.1,
                        TAILED.knots)}, "areas", "pickle_mismatch"),
    ({"areas": -TAILED._areas}, "areas", "negative"),
    ({"areas": TAILED._areas[1:]}, "areas", "shape"),
    ({"sums": (0.1, 0.2, np.nan)}, "sums[2]", "not_finite"),
    ({"sums": (TAILED._sums[0], TAILED._sums[1], TAILED._sums[2] * 2)}, "sums",
     "pickle_mismatch"),
    ({"sums": (1.0, 2.0)}, "sums", "type"),
    (_tail_state(TAILED, "right_tail", mass=-0.1), "right_tail.mass", "negative"),
    (_tail_state(TAILED, "right_tail", mass=0.5), "right_tail.mass", "pickle_mismatch"),
    (_tail_state(TAILED, "left_tail", mass=np.nan), "left_tail.mass", "not_finite"),
    (_tail_state(TAILED, "right_tail", parameter=np.nan), "right_tail.parameter",
     "not_finite"),
    (_tail_state(TAILED, "left_tail", parameter=-2.0), "left_tail.parameter", "not_positive"),
    (_tail_state(TAILED, "right_tail", joint=21.0), "right_tail.joint", "tail_joint"),
    (_tail_state(TAILED, "left_tail", kind="pareto"), "left_tail.kind", "choice"),
    ({"left_tail": None}, "left_tail.mass", "pickle_mismatch"),
    ({"right_tail": (1, 2, 3, 4)}, "right_tail", "type"),
    ({"method": 3}, "method", "type"),
    ({"smoothing": -1.0}, "smoothing", "negative"),
    ({"edf": np.inf}, "edf", "not_finite"),
    ({"mass_error": True}, "mass_error", "type"),
])
def test_a_changed_field_is_refused_by_its_name(change, field, problem):
    with pytest.raises(ValueError) as caught:
        loaded(TAILED, change)
    assert isinstance(caught.value, InputError)
    assert (caught.value.argument, caught.value.problem) == (field, problem)
    assert field.split("[")[0] in str(caught.value)


def test_negated_values_no_longer_give_a_negative_density():
    # The state that once loaded and gave pdf < 0.
    d = Density([0.0, 1.0, 3.0], [1.0, 2.0, 0.0])
    with pytest.raises(InputError, match=r"values\[0\]"):
        loaded(d, {"values": -d.values, "areas": d._areas})
