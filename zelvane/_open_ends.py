"""The open ends of the smooth fits: how each tail is chosen and held, and what is
said of it.

- closing an open end at a finite edge (``lower=``, ``upper=``), and the checks of
  a ``tail=`` against the ends;
- what the native fit holds per row: a tail's parameter given or chosen from the
  brackets (the Pareto index of :func:`~zelvane._tails.pareto_index`), and how each
  row's was chosen (``Tail.chosen``);
- counts of one histogram moved, as little as the likelihood allows, towards a mean
  that no tail within its bounds reaches;
- the tails read back from the fit's numbers, those that left their bounds refused,
  and a ``zelvane.ExtrapolationWarning`` where the brackets barely support them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

import math
import sys
import warnings

from zelvane._checks import per_row, read_only, whole_numbers
from zelvane._errors import ExtrapolationWarning, InputError
from zelvane._native import INFO, TAIL_KINDS
from zelvane._tails import (INDEX_BOUNDS, PRIOR_SWAY, Tail, pareto_index, prior_sway,
                            scale_bounds)

if TYPE_CHECKING:
    from zelvane._smooth import SmoothFit

    Float64Array = npt.NDArray[np.float64]
    FloatArray = npt.NDArray[np.floating[Any]]


def _closed(edges: FloatArray, closing: Tuple[Optional[float], Optional[float]]) -> FloatArray:
    """`edges` with the open ends that `lower=` and `upper=` close at those edges."""
    if closing == (None, None):
        return edges
    edges = edges.copy()
    for value, k, name, side, end in ((closing[0], 0, "lower", "below", "first"),
                                      (closing[1], -1, "upper", "above", "last")):
        if value is None:
            continue
        ends = edges[..., k].reshape(-1)
        if not np.all(np.isinf(ends)):
            raise InputError("not_open", argument=name, value=value, end=end,
                             edge=ends[np.argmin(np.isinf(ends))])
        inner = edges[..., 1 if k == 0 else -2].reshape(-1)
        beyond = value < inner if k == 0 else value > inner
        if not np.all(beyond):
            raise InputError("closing_edge", argument=name, value=value, side=side, end=end,
                             edge=inner[np.argmin(beyond)])
        edges[..., k] = value
    return edges


Choice = Tuple[Union[None, str, float], Union[None, str, float]]


def _check_choice(choice: Choice, left: bool, right: bool, mean: Any, tail: Any) -> None:
    """Refuses a `tail=` for no open end, a choice of a pair for a closed end, and a
    number for the tail that a mean sets."""
    opens = (left, right)
    pair = isinstance(tail, (tuple, list))
    if tail is not None and not pair and not any(opens):
        raise InputError("tail_closed", argument="tail", value=tail, end="first and the last")
    for k, end in ((0, "first"), (1, "last")):
        if pair and choice[k] is not None and not opens[k]:
            raise InputError("tail_closed", argument=f"tail[{k}]", value=choice[k], end=end)
    if mean is not None and any(opens):
        k = 1 if right else 0
        if isinstance(choice[k], float):
            raise InputError("tail_with_mean", argument="tail", value=choice[k],
                             end="right" if k else "left")


def _held(choice: Choice, edges: FloatArray, masses: FloatArray, r: int, exact: bool,
          left: bool, right: bool, means: Any, gap_name: str
          ) -> Tuple[Tuple[Any, Any], str, Tuple[Any, ...]]:
    """What the native fit holds: each tail's parameter per row (None: the fit's own
    choice), the law of the right tail, and how each row's parameters are chosen (with
    the brackets' own Pareto index per row, NaN where there is none)."""
    rows = masses.shape[:-1]
    if not rows and edges.ndim == 1:
        return _held_one(choice, edges, masses, r, exact, left, right, means, gap_name)
    n = rows[0] if rows else 1
    held: List[Any] = [None, None]
    chosen: List[Any] = [np.full(n, "interpolated", dtype=object), np.full(n, "interpolated",
                                                                       dtype=object)]
    kind = {"pareto": "pareto", "exponential": "exponential"}.get(str(choice[1]), "none")
    for k in (0, 1):
        if isinstance(choice[k], float) and (left, right)[k]:
            held[k] = np.full(n, choice[k])
            chosen[k][:] = "fixed"
    if right and not isinstance(choice[1], float) and kind != "exponential":
        joint = np.broadcast_to(edges[..., -2], rows).reshape(n)
        if kind == "pareto" and not (joint > 0).all():
            raise InputError("pareto_joint", argument="tail", value=joint[np.argmin(joint > 0)])
        index, how, own = pareto_index(np.asarray(edges, dtype=np.float64),
                                       np.asarray(masses, dtype=np.float64), r, exact)
        index, how = np.reshape(index, n), np.reshape(how, n)
        pareto = joint > 0
        if exact:
            # A tail that no index within its bounds lets the end bracket carry.
            # (An empty end bracket is refused by the fit itself, in its own words.)
            beside = masses.reshape(n, -1)[:, -2] > 0
            low = (index < INDEX_BOUNDS[0]) & pareto & beside
            if low.any():
                k = int(np.argmax(low))
                raise InputError("tail_uncarried", argument=gap_name, index=masses.shape[-1] - 1,
                                 row=k if rows else None, value=masses.reshape(n, -1)[k, -1],
                                 bounds=f"{INDEX_BOUNDS[0]:g} <= alpha <= {INDEX_BOUNDS[1]:g}",
                                 closer="upper")
        held[1] = np.ascontiguousarray(np.where(pareto, index, np.nan))
        chosen[1] = np.where(pareto, how, "interpolated").astype(object)
        brackets = np.reshape(own, n)
    else:
        brackets = np.full(n, np.nan)
    if means is not None:
        k = 1 if right else 0
        chosen[k] = np.where(np.isnan(means), chosen[k], "mean").astype(object)
    return (held[0], held[1]), kind, (chosen[0], chosen[1], brackets)


def _held_one(choice: Choice, edges: FloatArray, masses: FloatArray, r: int, exact: bool,
              left: bool, right: bool, means: Any, gap_name: str
              ) -> Tuple[Tuple[Any, Any], str, Tuple[Any, ...]]:
    """:func:`_held` for one histogram (arrays of one row, made from scalars)."""
    held: List[Any] = [None, None]
    how: List[str] = ["interpolated", "interpolated"]
    kind = {"pareto": "pareto", "exponential": "exponential"}.get(str(choice[1]), "none")
    for k in (0, 1):
        given = choice[k]
        if isinstance(given, float) and (left, right)[k]:
            held[k] = np.array([given])
            how[k] = "fixed"
    brackets = math.nan
    if right and not isinstance(choice[1], float) and kind != "exponential":
        joint = edges[-2]
        if kind == "pareto" and not joint > 0:
            raise InputError("pareto_joint", argument="tail", value=joint)
        index, named, own = pareto_index(cast("Float64Array", edges),
                                         cast("Float64Array", masses), r, exact)
        if joint > 0:
            if exact and index < INDEX_BOUNDS[0] and masses[-2] > 0:
                # As in _held: no index within its bounds lets the end bracket carry.
                raise InputError("tail_uncarried", argument=gap_name,
                                 index=masses.shape[-1] - 1, row=None, value=masses[-1],
                                 bounds=f"{INDEX_BOUNDS[0]:g} <= alpha <= "
                                        f"{INDEX_BOUNDS[1]:g}", closer="upper")
            held[1] = np.array([float(index)])
            how[1] = str(named.item())
        else:
            held[1] = np.array([np.nan])
        brackets = float(own)
    if means is not None and not math.isnan(means[0]):
        how[1 if right else 0] = "mean"
    chosen = np.array([how[0]], dtype=object), np.array([how[1]], dtype=object)
    return (held[0], held[1]), kind, (chosen[0], chosen[1], np.array([brackets]))


#: How far the counts may be moved to reach a mean: the likelihood-ratio statistic of
#: the moved shares against the counts, at most the 99 % point of chi-squared with one
#: degree of freedom (one parameter, the tilt, moves them).
MEAN_MOVE = 6.635


def _moved_for_mean(fit_rows: Callable[..., Tuple[Float64Array, Tuple[Any, ...]]],
                    refusal: InputError, edges: FloatArray, masses: FloatArray, r: int,
                    lam: float, sample_size: Any, mean: Any, workers: int,
                    ends: Tuple[bool, bool], choice: Choice, names: Tuple[str, str]
                    ) -> Tuple[Float64Array, Tuple[Any, ...], Float64Array]:
    """The fit of counts of one histogram whose mean lies below what a tail within its
    bounds reaches: the counts' shares are tilted towards the low bins, ``q_i
    exp(-theta x_i) / Z`` with ``x_i`` the bins' middles (the open bin taken at twice
    its edge), the tilt that moves a distribution's mean the most for its divergence
    from the counts; as far as the likelihood allows (:data:`MEAN_MOVE`) and no further
    than the mean needs, and the fit that meets the mean made on those shares. A sample
    has the mean it has: its top draws may lie just above the last edge, where no tail
    joined to the body puts them all. Beyond that move the refusal stands, with the
    range reachable there. Exact masses (`lam` 0) move for nothing: their refusal
    says so, and names counts-aware smoothing where the masses are counts. `fit_rows`
    makes each fit, as the smooth fit of checked rows makes it; the fit's output and
    tails are returned with the moved counts it was made on."""
    target = refusal.value
    left, right = ends
    if lam == 0.0:
        # Exact masses: the smooth fit that carries them reaches no further.
        raise refusal.replaced(exact=True, counts=whole_numbers(masses))
    if masses.ndim != 1 or not right or left or target is None or \
            not target < refusal.details["lowest"]:
        raise refusal
    total = float(masses.sum())
    size = total if sample_size is None else float(np.asarray(sample_size))
    q = masses / total
    inner = edges[:-1]
    x = np.append(0.5 * (inner[:-1] + inner[1:]), 2.0 * inner[-1])
    x = (x - x.min()) / (x.max() - x.min())
    held = q > 0

    def tilted(theta: float) -> Float64Array:
        logs = np.where(held, np.log(np.where(held, q, 1.0)) - theta * x, -np.inf)
        shares: Float64Array = np.exp(logs - logs.max())
        normed: Float64Array = shares / shares.sum()
        return normed

    def deviance(theta: float) -> float:
        p = tilted(theta)
        return float(2.0 * size * np.sum(q[held] * np.log(q[held] / p[held])))

    # The largest tilt that the likelihood allows, by bisection (doubling out first).
    far = 1.0
    while deviance(far) < MEAN_MOVE and far < 1e6:
        far *= 2.0
    near = 0.0
    for _ in range(60):
        middle = 0.5 * (near + far)
        near, far = (middle, far) if deviance(middle) < MEAN_MOVE else (near, middle)

    def attempt(theta: float) -> Tuple[Float64Array, Tuple[Any, ...], Float64Array]:
        moved = tilted(theta) * total
        out, chosen = fit_rows(edges, moved, r, lam, size, mean, workers, left, right, choice,
                               names[1], names[0])
        return out, chosen, moved

    try:
        best = attempt(near)
    except InputError as farther:
        if farther.problem != "unreachable_mean":
            raise
        raise refusal.replaced(lowest=farther.details["lowest"]) from None
    # The least tilt that reaches the mean.
    reach, miss = near, 0.0
    for _ in range(30):
        if reach - miss <= 1e-6 * near:
            break
        middle = 0.5 * (reach + miss)
        try:
            best = attempt(middle)
            reach = middle
        except InputError as farther:
            if farther.problem != "unreachable_mean":
                raise
            miss = middle
    return best


def _fit_reaching(fit_rows: Callable[..., Tuple[Float64Array, Tuple[Any, ...]]],
                  edges: FloatArray, masses: FloatArray, r: int, lam: float, sample_size: Any,
                  mean: Any, workers: int, ends: Tuple[bool, bool], choice: Choice,
                  names: Tuple[str, str]) -> Tuple[Float64Array, Tuple[Any, ...]]:
    """The fit of checked rows (`fit_rows`, as the smooth fit makes it), each row's
    counts moved for a mean out of reach as :func:`_moved_for_mean` moves those of one
    histogram. In a batch every row whose mean the fit refuses is fitted alone, as the
    same histogram alone is, and the other rows together; a row that no move brings
    within reach is refused with its range, numbered as in the batch."""
    sizes: Optional[Float64Array] = None
    means: Optional[Float64Array] = None

    def fit(rows: Any) -> Tuple[Float64Array, Tuple[Any, ...]]:
        if rows is None:
            return fit_rows(edges, masses, r, lam, sample_size, mean, workers, ends[0],
                            ends[1], choice, names[1], names[0])
        return fit_rows(edges[rows] if edges.ndim == 2 else edges, masses[rows], r, lam,
                        None if sizes is None else sizes[rows],
                        None if means is None else means[rows], workers, ends[0], ends[1],
                        choice, names[1], names[0])

    try:
        return fit(None)
    except InputError as refusal:
        if refusal.problem != "unreachable_mean":
            raise
        if masses.ndim == 1:
            out, chosen, _ = _moved_for_mean(fit_rows, refusal, edges, masses, r, lam,
                                             sample_size, mean, workers, ends, choice, names)
            return out, chosen
        if refusal.row is None:
            raise
        first = refusal
    n = masses.shape[0]
    sizes = per_row("sample_size", sample_size, (n,), missing_allowed=False)
    means = per_row("mean", mean, (n,), missing_allowed=True)
    alone: Dict[int, Tuple[Float64Array, Tuple[Any, ...]]] = {}
    refused: Optional[InputError] = first
    rest = np.arange(n)
    while refused is not None:
        # The refused row, numbered among the rows just fitted together.
        k = int(rest[int(refused.row)])  # type: ignore[arg-type]
        try:
            out_k, chosen_k, _ = _moved_for_mean(
                fit_rows, refused.replaced(row=None), edges[k] if edges.ndim == 2 else edges,
                masses[k], r, lam, None if sizes is None else float(sizes[k]),
                None if means is None else float(means[k]), workers, ends, choice, names)
        except InputError as error:
            raise (error.replaced(row=k) if error.row is None else error) from None
        alone[k] = (out_k, chosen_k)
        rest = np.array([j for j in range(n) if j not in alone])
        refused = None
        if len(rest):
            try:
                out_rest, chosen_rest = fit(rest)
            except InputError as error:
                if error.row is None:
                    raise
                if error.problem != "unreachable_mean":
                    raise error.replaced(row=int(rest[error.row])) from None
                refused = error
    out = np.empty((n, out_k.shape[-1]), np.float64)
    parts: List[Any] = [np.empty(n, dtype=object), np.empty(n, dtype=object), np.full(n, np.nan)]
    if len(rest):
        out[rest] = out_rest
        for part, given in zip(parts, chosen_rest):
            part[rest] = given
    for k, (out_k, chosen_k) in alone.items():
        out[k] = out_k
        for part, given in zip(parts, chosen_k):
            part[k] = np.reshape(given, -1)[0]
    return out, tuple(parts)


#: The tails' kinds in the order of their codes.
_KIND_NAMES = tuple(name for name, _ in sorted(TAIL_KINDS.items(), key=lambda kv: kv[1]))


def _kind_names(codes: Any) -> Any:
    """The kind of every row's tail from the fit's codes (``"none"`` where a row has
    none, an empty open bin): a read-only array of strings."""
    names = np.array([name for name, _ in sorted(TAIL_KINDS.items(), key=lambda kv: kv[1])])
    numbers = np.asarray(codes).astype(np.int64)
    known = (numbers >= 0) & (numbers < len(names))
    return read_only(np.where(known, names[np.where(known, numbers, 0)], "none"))


def _tail(info: Any, side: str, batch: bool, chosen: Any) -> Optional[Tail]:
    """The tail of one side (``"left"``, ``"right"``) from the fit's numbers (NumPy, or
    Dask columns), its kind from the fit's codes; `chosen` says how each row's parameter
    was chosen (one name for all, or one per row)."""
    if not batch and isinstance(info, np.ndarray):
        # One histogram: its row's numbers as floats, its kind named as _kind_names does.
        code, joint_at, mass_at, parameter_at = (
            float(info[0, INFO[f"{side}_{field}"]])
            for field in ("kind", "joint", "mass", "parameter"))
        number = int(code) if math.isfinite(code) else -1
        if not 0 <= number < len(_KIND_NAMES) or _KIND_NAMES[number] == "none":
            return None
        name = chosen if isinstance(chosen, str) else \
            str(np.asarray(chosen, dtype=object).reshape(-1)[0])
        return Tail(_KIND_NAMES[number], joint_at, mass_at, parameter_at, name)
    kind, joint, mass, parameter = (info[:, INFO[f"{side}_{field}"]]
                                    for field in ("kind", "joint", "mass", "parameter"))
    if not isinstance(info, np.ndarray):
        # Lazy: the kind of every row, as its fit chose it, computed with the rest.
        dtype = _kind_names(()).dtype
        kinds = kind.map_blocks(_kind_names, dtype=dtype, meta=np.empty((0,), dtype))
        return Tail(kinds, joint, mass, parameter, chosen)
    kinds = _kind_names(kind)
    names = np.broadcast_to(np.asarray(chosen, dtype=str), kinds.shape)
    if not batch:
        if kinds[0] == "none":
            return None
        return Tail(str(kinds[0]), float(joint[0]), float(mass[0]), float(parameter[0]),
                    str(names[0]))
    shown: Any = str(kinds[0]) if (kinds == kinds[0]).all() else kinds
    how: Any = str(names[0]) if (names == names[0]).all() else read_only(names.copy())
    return Tail(shown, read_only(joint.copy()), read_only(mass.copy()),
                read_only(parameter.copy()), how)


def _check_tails(fit: SmoothFit, edges: FloatArray, masses: FloatArray, lam: float,
                 chosen: Tuple[Any, ...], gap_name: str) -> None:
    """Refuses a fit of exact masses whose tail left its bounds (the end bin could carry
    no tail within them), marks a tail held at a bound, and warns
    (ExtrapolationWarning) of every row whose result rests on an extrapolation that the
    data barely support: a tail at a bound, a default Pareto index that moves the mean
    by more than :data:`~zelvane._tails.PRIOR_SWAY` of it from where the brackets' own
    index would put it (the prior, not the data, decides), or a Pareto index of the
    caller's at 1 or below (an infinite mean)."""
    if fit.left_tail is None and fit.right_tail is None:
        return
    rows = masses.shape[:-1]
    if not rows:
        _check_one(fit, edges, masses, lam, chosen, gap_name)
        return
    n = rows[0]
    flat = np.broadcast_to(edges, rows + (edges.shape[-1],)).reshape(n, -1)
    first = 1 if np.isneginf(flat[0, 0]) else 0
    last = -2 if np.isposinf(flat[0, -1]) else -1
    width = flat[:, last] - flat[:, first]
    warned = np.zeros(n, bool)
    reasons: List[str] = []

    def note(rows_of: Any, reason: str) -> Any:
        if rows_of.any() and reason not in reasons:
            reasons.append(reason)
        return rows_of

    for k, tail in ((0, fit.left_tail), (1, fit.right_tail)):
        if tail is None:
            continue
        kinds = np.broadcast_to(np.asarray(tail.kind, dtype=str), (n,))
        parameter = np.reshape(np.asarray(tail.parameter, dtype=np.float64), n)
        has = (kinds != "none") & (np.reshape(np.asarray(tail.mass, dtype=np.float64), n) > 0)
        how = np.asarray(chosen[k], dtype=object).copy()
        low = np.where(kinds == "pareto", INDEX_BOUNDS[0], scale_bounds(1.0)[0] * width)
        high = np.where(kinds == "pareto", INDEX_BOUNDS[1], scale_bounds(1.0)[1] * width)
        own = has & (how != "fixed") & (how != "mean")
        outside = own & ((parameter < low * (1 - 1e-9)) | (parameter > high * (1 + 1e-9)))
        if outside.any() and lam == 0.0:
            j = int(np.argmax(outside))
            index = 0 if k == 0 else masses.shape[-1] - 1
            bounds = (f"{low[j]:g} <= alpha <= {high[j]:g}" if kinds[j] == "pareto"
                      else f"{low[j]:.6g} <= beta <= {high[j]:.6g}")
            raise InputError("tail_uncarried", argument=gap_name, index=index,
                             row=j if rows else None, value=masses.reshape(n, -1)[j, index],
                             bounds=bounds, closer="lower" if k == 0 else "upper")
        at_bound = own & ((np.abs(parameter - low) <= 1e-9 * low)
                          | (np.abs(parameter - high) <= 1e-9 * high))
        how = np.where(at_bound, "bound", how)
        warned |= note(has & (how == "bound"), "a tail's parameter is held at a bound of its "
                       "range")
        warned |= note(has & (how == "fixed") & (kinds == "pareto") & (parameter <= 1.0),
                       "a Pareto index of 1 or below makes the mean infinite")
        if k == 1:
            default = has & (kinds == "pareto") & ((how == "brackets") | (how == "prior"))
            if default.any():
                share = np.reshape(np.asarray(tail.mass, dtype=np.float64), n) / np.reshape(
                    masses, (n, -1)).sum(axis=1)
                joint = np.reshape(np.asarray(tail.joint, dtype=np.float64), n)
                sway = prior_sway(joint, share, parameter, chosen[2], _means(fit, n))
                warned |= note(default & (sway > PRIOR_SWAY),
                               f"the prior of the default tail moves the mean by more than "
                               f"{100 * PRIOR_SWAY:g} % from the brackets' own index")
        _set_chosen(fit, k, how, rows)
    if warned.any():
        count = int(warned.sum())
        which = (f"row {int(np.argmax(warned))}" + (f" and {count - 1} more" if count > 1 else "")
                 if rows else "the fit")
        warnings.warn(f"{which}: {'; '.join(reasons)}: the brackets barely support the "
                      "tail, and what depends on it (the mean, the Gini index, top shares) "
                      "is uncertain; give the mean, tail= or upper= if known",
                      ExtrapolationWarning, stacklevel=_caller_level())


def _check_one(fit: SmoothFit, edges: FloatArray, masses: FloatArray, lam: float,
               chosen: Tuple[Any, ...], gap_name: str) -> None:
    """:func:`_check_tails` for the fit of one histogram: its tails' float fields and
    one name each, in Python scalars rather than arrays of one row."""
    first = 1 if edges[0] == -np.inf else 0
    last = -2 if edges[-1] == np.inf else -1
    width = float(edges[last] - edges[first])
    reasons: List[str] = []
    for k, tail in ((0, fit.left_tail), (1, fit.right_tail)):
        if tail is None:
            continue
        pareto = tail.kind == "pareto"
        parameter = tail.parameter
        has = tail.kind != "none" and tail.mass > 0
        how = str(chosen[k][0])
        low = INDEX_BOUNDS[0] if pareto else scale_bounds(1.0)[0] * width
        high = INDEX_BOUNDS[1] if pareto else scale_bounds(1.0)[1] * width
        own = has and how != "fixed" and how != "mean"
        if own and (parameter < low * (1 - 1e-9) or parameter > high * (1 + 1e-9)) and \
                lam == 0.0:
            index = 0 if k == 0 else masses.shape[-1] - 1
            bounds = (f"{low:g} <= alpha <= {high:g}" if pareto
                      else f"{low:.6g} <= beta <= {high:.6g}")
            raise InputError("tail_uncarried", argument=gap_name, index=index, row=None,
                             value=masses[index], bounds=bounds,
                             closer="lower" if k == 0 else "upper")
        if own and (abs(parameter - low) <= 1e-9 * low or abs(parameter - high) <= 1e-9 * high):
            how = "bound"
        if has and how == "bound":
            _noted(reasons, "a tail's parameter is held at a bound of its range")
        if has and how == "fixed" and pareto and parameter <= 1.0:
            _noted(reasons, "a Pareto index of 1 or below makes the mean infinite")
        if k == 1 and has and pareto and how in ("brackets", "prior"):
            share = np.reshape(tail.mass, 1) / np.reshape(masses, (1, -1)).sum(axis=1)
            sway = prior_sway(np.reshape(tail.joint, 1), share, np.reshape(parameter, 1),
                              chosen[2], _means(fit, 1))
            if sway[0] > PRIOR_SWAY:
                _noted(reasons, f"the prior of the default tail moves the mean by more than "
                                f"{100 * PRIOR_SWAY:g} % from the brackets' own index")
        if how != tail.chosen:
            setattr(fit, "left_tail" if k == 0 else "right_tail", tail._replace(chosen=how))
    if reasons:
        warnings.warn(f"the fit: {'; '.join(reasons)}: the brackets barely support the "
                      "tail, and what depends on it (the mean, the Gini index, top shares) "
                      "is uncertain; give the mean, tail= or upper= if known",
                      ExtrapolationWarning, stacklevel=_caller_level())


def _noted(reasons: List[str], reason: str) -> None:
    if reason not in reasons:
        reasons.append(reason)


def _means(fit: SmoothFit, n: int) -> Float64Array:
    """The mean of each row's density, from its body's pieces and its tails."""
    x = np.broadcast_to(fit.knots, np.shape(fit.values)).reshape(n, -1)
    v = np.reshape(fit.values, (n, -1))
    origin = x[:, :1]
    x0, x1 = x[:, :-1] - origin, x[:, 1:] - origin
    h = x1 - x0
    moment = np.sum(h * (v[:, :-1] * (2 * x0 + x1) + v[:, 1:] * (x0 + 2 * x1)), axis=1) / 6.0
    mass = np.sum(h * (v[:, :-1] + v[:, 1:]), axis=1) / 2.0
    moment = moment + origin[:, 0] * mass
    for k, tail in ((0, fit.left_tail), (1, fit.right_tail)):
        if tail is None:
            continue
        kinds = np.broadcast_to(np.asarray(tail.kind, dtype=str), (n,))
        m = np.where(kinds == "none", 0.0, np.reshape(np.asarray(tail.mass, dtype=np.float64), n))
        a = np.reshape(np.asarray(tail.parameter, dtype=np.float64), n)
        joint = np.reshape(np.asarray(tail.joint, dtype=np.float64), n)
        with np.errstate(divide="ignore", invalid="ignore"):
            own = np.where(kinds == "pareto", np.where(a > 1, joint * a / (a - 1), np.inf),
                           joint - a if k == 0 else joint + a)
        moment = moment + np.where(m > 0, m * own, 0.0)
        mass = mass + m
    means: Float64Array = moment / mass
    return means


def _caller_level() -> int:
    """The stack level of the first caller outside the package, for warnings."""
    frame: Any = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_globals.get("__name__", "").startswith("zelvane"):
        frame, level = frame.f_back, level + 1
    return level


def _set_chosen(fit: SmoothFit, k: int, how: Any, rows: Tuple[int, ...]) -> None:
    """Writes how each row's tail on side `k` was chosen into the fit's tail."""
    name = "left_tail" if k == 0 else "right_tail"
    tail = getattr(fit, name)
    names = np.asarray(how, dtype=str)
    if not rows:
        setattr(fit, name, tail._replace(chosen=str(names[0])))
        return
    shown: Any = str(names[0]) if (names == names[0]).all() else read_only(names.copy())
    setattr(fit, name, tail._replace(chosen=shown))
