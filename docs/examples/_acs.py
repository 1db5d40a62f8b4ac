"""Reading the census tables of the gallery (``data/``): households by income bracket
(B19001) and the published median, mean and Gini index of each state and year."""

from __future__ import annotations

import csv
from pathlib import Path
from typing import Dict, List, Tuple

import numpy as np

DATA = Path(__file__).resolve().parent / "data"


def brackets(geography: str, year: int) -> Tuple[np.ndarray, np.ndarray]:
    """Edges (the last one inf) and households of one table."""
    edges: List[float] = []
    households: List[float] = []
    with open(DATA / "acs_household_income_brackets.csv", newline="") as f:
        for row in csv.DictReader(f):
            if row["geography"] == geography and int(row["year"]) == year:
                if not edges:
                    edges.append(float(row["lower"]))
                edges.append(float(row["upper"]))
                households.append(float(row["households"]))
    return np.array(edges), np.array(households)


def effective_sample_size(geography: str, year: int) -> float:
    """How many independent observations the table's margins of error are worth: each
    bracket's share p and standard error s (the 90 % margin / 1.645, as a share) give
    p (1 - p) / s^2, as for a simple random sample; the median over the brackets."""
    shares, errors = [], []
    with open(DATA / "acs_household_income_brackets.csv", newline="") as f:
        for row in csv.DictReader(f):
            if row["geography"] == geography and int(row["year"]) == year:
                shares.append(float(row["households"]))
                errors.append(float(row["households_moe"]) / 1.645)
    total = sum(shares)
    p, s = np.array(shares) / total, np.array(errors) / total
    return float(np.median(p * (1 - p) / s**2))


def every_table() -> Tuple[List[Tuple[str, int]], np.ndarray, np.ndarray]:
    """Every (geography, year), the shared edges and one row of households each."""
    tables: Dict[Tuple[str, int], List[float]] = {}
    edges: List[float] = []
    with open(DATA / "acs_household_income_brackets.csv", newline="") as f:
        for row in csv.DictReader(f):
            key = (row["geography"], int(row["year"]))
            tables.setdefault(key, []).append(float(row["households"]))
            if len(tables) == 1:
                edges = edges or [float(row["lower"])]
                edges.append(float(row["upper"]))
    keys = sorted(tables)
    return keys, np.array(edges), np.array([tables[k] for k in keys])


def published() -> Dict[Tuple[str, int], Dict[str, float]]:
    """The published figures of every table: households, median, mean, gini (NaN where
    none is published)."""
    figures = {}
    with open(DATA / "acs_household_income_published.csv", newline="") as f:
        for row in csv.DictReader(f):
            figures[(row["geography"], int(row["year"]))] = {
                name: float(row[name]) if row[name] else float("nan")
                for name in ("households", "median", "mean", "gini")}
    return figures
