"""The checks of tails, whether given whole or chosen for an open end.

:func:`check_tail` takes a :class:`~zelvane.Tail` given to the density's constructor
(or read from a pickle) and refuses, naming the field, what does not fit its side;
:func:`check_tail_choice` and :func:`check_closing` take the fits' ``tail=``,
``upper=`` and ``lower=``. Every refusal is an :class:`~zelvane.InputError`, as those
of ``zelvane._checks``.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Optional, Tuple, Union

import numpy as np

from zelvane._errors import InputError
from zelvane._tails import KINDS, Tail


def _tail_field(name: str, value: Any) -> float:
    """A field of a tail as a float: a Python or NumPy real number, not a boolean."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                     np.floating)):
        raise InputError("type", argument=name, expected="float", type_name=type(value).__name__)
    return float(value)


def check_tail(tail: Any, name: str, end: float, right: bool) -> Optional[Tail]:
    """`tail` with float fields, None for no tail or a tail without mass; refused with an
    InputError naming the field (``right_tail.mass``, say) when it does not fit the side."""
    if tail is None:
        return None
    if not isinstance(tail, Tail):
        raise InputError("type", argument=name, expected="zelvane.Tail",
                         type_name=type(tail).__name__)
    allowed = KINDS if right else ("exponential",)
    if not isinstance(tail.kind, str) or tail.kind not in allowed:
        raise InputError("choice", argument=f"{name}.kind", given=repr(tail.kind),
                         choices=allowed)
    joint = _tail_field(f"{name}.joint", tail.joint)
    if joint != end:
        raise InputError("tail_joint", argument=f"{name}.joint", value=joint,
                         end="last" if right else "first", knot=end)
    if tail.kind == "pareto" and not joint > 0:
        raise InputError("pareto_joint", argument=f"{name}.kind", value=joint)
    mass = _tail_field(f"{name}.mass", tail.mass)
    if not math.isfinite(mass):
        raise InputError("not_finite", argument=f"{name}.mass", value=mass)
    if mass < 0:
        raise InputError("negative", argument=f"{name}.mass", value=mass)
    parameter = _tail_field(f"{name}.parameter", tail.parameter)
    if not math.isfinite(parameter):
        raise InputError("not_finite", argument=f"{name}.parameter", value=parameter)
    if not parameter > 0:
        raise InputError("not_positive", argument=f"{name}.parameter", value=parameter)
    chosen = getattr(tail, "chosen", "given")
    if not isinstance(chosen, str):
        raise InputError("type", argument=f"{name}.chosen", expected="str",
                         type_name=type(chosen).__name__)
    return Tail(tail.kind, joint, mass, parameter, chosen) if mass > 0 else None


#: What `tail=` takes for an open end, beside a positive number (the tail's parameter) and
#: None (the fit's choice).
TAIL_LAWS = ("pareto", "exponential")


def _tail_choice(name: str, given: Any, right: bool) -> Union[None, str, float]:
    """One end's `tail=`: None, a law of :data:`TAIL_LAWS` (``"exponential"`` alone on
    the left) or a positive finite number."""
    laws = TAIL_LAWS if right else ("exponential",)
    if given is None:
        return None
    if isinstance(given, str):
        if given not in laws:
            raise InputError("choice", argument=name, given=repr(given),
                             choices=laws + ("a positive number", None))
        return given
    if isinstance(given, (bool, np.bool_)) or not isinstance(given, numbers.Real):
        raise InputError("type", argument=name, expected="str, float or None",
                         type_name=type(given).__name__)
    number = float(given)
    if not math.isfinite(number):
        raise InputError("not_finite", argument=name, value=number)
    if not number > 0:
        raise InputError("not_positive", argument=name, value=number)
    return number


def check_tail_choice(tail: Any) -> Tuple[Union[None, str, float], Union[None, str, float]]:
    """`tail=` as one choice per end, (left, right): a pair is taken as such; one choice
    is for both ends, but ``"pareto"``, which only a right tail can be, for the right."""
    if isinstance(tail, (tuple, list)):
        if len(tail) != 2:
            raise InputError("type", argument="tail", expected="a pair (left, right)",
                             type_name=f"{type(tail).__name__} of {len(tail)}")
        return _tail_choice("tail[0]", tail[0], False), _tail_choice("tail[1]", tail[1], True)
    one = _tail_choice("tail", tail, True)
    return (None if one == "pareto" else one), one


def check_closing(name: str, value: Any) -> Optional[float]:
    """`upper=` or `lower=`: None, or a finite real number."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise InputError("type", argument=name, expected="float or None",
                         type_name=type(value).__name__)
    number = float(value)
    if not math.isfinite(number):
        raise InputError("not_finite", argument=name, value=number)
    return number
