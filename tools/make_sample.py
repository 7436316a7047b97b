"""Generates src/orvanel/data/sample.mat, the sample matrix shipped with the package.

A small made-up study area: 50 zones scattered over 30 km x 30 km, each with residents and
jobs. Four tables:

- TRIPS (fixed point, 2 decimals): daily car trips from a singly constrained gravity model;
- TIME  (double precision): car travel time in minutes;
- COST  (single precision): money cost of a car trip;
- COUNT (fixed point, 0 decimals): trips seen in a 2 % survey sample, many of them zero.

The random numbers come from a fixed seed, and only operations that IEEE 754 rounds
exactly (+, -, *, /, sqrt) and exactly rounded sums are applied to them, so every NumPy
version on every machine produces the same file.

Run from the repository root with the package installed:
    python tools/make_sample.py [--output PATH]
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

import orvanel

SEED = 20240611
ZONES = 50
SIDE_KM = 30.0
DEFAULT_OUTPUT = Path("src/orvanel/data/sample.mat")


def exact_row_sums(values: np.ndarray) -> np.ndarray:
    return np.array([math.fsum(row) for row in values.tolist()])


def build() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(SEED)
    x = rng.random(ZONES) * SIDE_KM
    y = rng.random(ZONES) * SIDE_KM
    residents = 500.0 + np.floor(rng.random(ZONES) * 4500.0)
    jobs = 200.0 + np.floor(rng.random(ZONES) * 3800.0)
    congestion = 1.0 + rng.random(ZONES) * 0.5

    dx = x[:, None] - x[None, :]
    dy = y[:, None] - y[None, :]
    straight = np.sqrt(dx * dx + dy * dy)
    # Roads are not straight; trips within a zone are half as long as to its nearest neighbour.
    distance = straight * 1.3
    np.fill_diagonal(distance, np.inf)
    nearest = distance.min(axis=1)
    np.fill_diagonal(distance, nearest / 2.0)

    speed_km_per_min = 40.0 / 60.0
    time = 2.0 + distance / speed_km_per_min * (congestion[:, None] + congestion[None, :]) / 2.0
    cost = 1.5 + distance * 0.21

    scaled = time / 12.0
    deterrence = 1.0 / (1.0 + scaled * scaled * scaled)
    attraction = jobs[None, :] * deterrence
    productions = residents * 1.8  # car trips per resident and day
    trips = productions[:, None] * attraction / exact_row_sums(attraction)[:, None]
    trips = np.round(trips, 2)

    count = np.floor(trips * 0.02 + rng.random((ZONES, ZONES)))

    return {"TRIPS": trips, "TIME": time, "COST": cost, "COUNT": count}


TYPES = {"TRIPS": 2, "TIME": "D", "COST": "S", "COUNT": 0}


def main() -> None:
    parser = argparse.ArgumentParser(description="Generate the sample matrix file.")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT)
    args = parser.parse_args()
    orvanel.write(args.output, build(), types=TYPES, run_id="SAMPLE")
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
