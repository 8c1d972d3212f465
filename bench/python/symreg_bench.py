#!/usr/bin/env python3
"""How well SymbolicRegressor models data, next to scikit-learn's usual regressors.

(a) Real tables that Debian packages ship, plus a synthetic one:
    diabetes   scikit-learn's diabetes progression (442 rows, 10 features)
    star98     statsmodels: share of a California school district's students above the
               national median in maths, NABOVE / (NABOVE + NBELOW), from its 20 other
               columns (303 rows)
    fair       statsmodels: the affairs measure of the Fair survey from its 8 other
               columns (6,366 rows)
    grunfeld   statsmodels: a firm's gross investment from its value, capital stock and
               the year (220 rows; the firm's name left out)
    friedman1  scikit-learn's make_friedman1, 500 rows of 10 features (5 of them noise),
               noise 1, random_state 0
    Five seeded 75/25 splits each (train_test_split, random_state 0..4). SymbolicRegressor
    with its defaults (random_state the split's seed), LinearRegression, and
    GradientBoostingRegressor with its defaults (the same random_state), in an order
    shuffled for every split. Reported: test R² (mean, standard deviation, range), the
    model's size (SymbolicRegressor: the program's nodes and the simplified expression's
    nodes; linear regression: its coefficients and intercept; gradient boosting: the nodes
    of all its trees), the wall time of fit (mean), and the symbolic model of the first
    split.
(b) Nguyen-1..8 over 20 random training points (Nguyen-1..6 on U[-1, 1], Nguyen-7 on
    U[0, 2], Nguyen-8 on U[0, 4]), function set Add Sub Mul Div Sin Cos Exp Log, the
    constant 1, population 500, 50 generations (no stop for want of progress), linear scaling (the default), five
    coefficient iterations per program (noise-free data of 20 rows: they pay here; the
    default is one, --iterations sets it) and the model of lowest training error
    (model_selection "best", no rows held out); a run stops early at a training mean
    squared error of 1e-12. Success: the returned model's root mean
    squared error on 1,000 fresh points of the same range is below 0.01. Seeds 0..29.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/python/symreg_bench.py [--quick] [--only NAME ...]
--quick runs 2 splits and 10 Nguyen seeds; --only keeps a table or problem by name
(diabetes, nguyen-3, ...) or a whole part (real, nguyen), and may be given again.
"""
import argparse
import math
import random
import statistics
import time
import warnings

import numpy as np
from sklearn.datasets import load_diabetes, make_friedman1
from sklearn.ensemble import GradientBoostingRegressor
from sklearn.linear_model import LinearRegression
from sklearn.metrics import r2_score
from sklearn.model_selection import train_test_split

from evokit import SymbolicRegressor


# --- (a) tables --------------------------------------------------------------------------

def _statsmodels(name):
    with warnings.catch_warnings():  # statsmodels' loaders warn about pandas' deprecations
        warnings.simplefilter("ignore")
        from statsmodels import datasets
        return getattr(datasets, name).load_pandas().data


def diabetes():
    data = load_diabetes(as_frame=True)
    return data.data, data.target.to_numpy()


def star98():
    data = _statsmodels("star98")
    share = data["NABOVE"] / (data["NABOVE"] + data["NBELOW"])
    return data.drop(columns=["NABOVE", "NBELOW"]), share.to_numpy()


def fair():
    data = _statsmodels("fair")
    return data.drop(columns=["affairs"]), data["affairs"].to_numpy()


def grunfeld():
    data = _statsmodels("grunfeld")
    return data[["value", "capital", "year"]].astype(float), data["invest"].to_numpy()


def friedman1():
    return make_friedman1(n_samples=500, noise=1.0, random_state=0)


TABLES = {"diabetes": diabetes, "star98": star98, "fair": fair, "grunfeld": grunfeld, "friedman1": friedman1}


def _nodes(tree):
    return 1 if tree[0] in ("var", "const") else 1 + sum(_nodes(child) for child in tree[1:])


def symbolic(seed):
    return SymbolicRegressor(random_state=seed)


def symbolic_size(model):
    # The program's nodes and those of its simplified expression (kept as a tree of tuples
    # beside its text).
    return model.program_size_, _nodes(model._expression)


METHODS = {
    "SymbolicRegressor": (symbolic, symbolic_size),
    "LinearRegression": (lambda seed: LinearRegression(), lambda m: (np.size(m.coef_) + 1,)),
    "GradientBoosting": (lambda seed: GradientBoostingRegressor(random_state=seed),
                         lambda m: (sum(tree.tree_.node_count for tree in m.estimators_.ravel()),)),
}


def run_table(name, splits):
    X, y = TABLES[name]()
    results = {method: {"r2": [], "size": [], "time": []} for method in METHODS}
    expression = None
    for split in range(splits):
        X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, random_state=split)
        order = list(METHODS)
        random.Random(split).shuffle(order)
        for method in order:
            make, size = METHODS[method]
            model = make(split)
            start = time.perf_counter()
            model.fit(X_train, y_train)
            elapsed = time.perf_counter() - start
            results[method]["r2"].append(r2_score(y_test, model.predict(X_test)))
            results[method]["size"].append(size(model))
            results[method]["time"].append(elapsed)
            if method == "SymbolicRegressor" and split == 0:
                expression = model.expression_
    rows, features = np.shape(X)
    print(f"\n{name}: {rows} rows, {features} features, {splits} splits")
    print(f"  {'method':<18} {'test R² mean':>12} {'sd':>6} {'min':>7} {'max':>7}  {'size (median)':>14} {'fit s':>7}")
    for method, r in results.items():
        scores = r["r2"]
        spread = statistics.stdev(scores) if len(scores) > 1 else 0.0
        size = "/".join(f"{statistics.median(column):g}" for column in zip(*r["size"]))
        print(f"  {method:<18} {statistics.mean(scores):>12.3f} {spread:>6.3f} {min(scores):>7.3f} {max(scores):>7.3f}"
              f"  {size:>14} {statistics.mean(r['time']):>7.2f}")
    shown = expression if len(expression) <= 300 else expression[:297] + "..."
    print(f"  model of split 0: {shown}")


# --- (b) Nguyen ---------------------------------------------------------------------------

NGUYEN = {
    "nguyen-1": (lambda x: x**3 + x**2 + x, (-1, 1)),
    "nguyen-2": (lambda x: x**4 + x**3 + x**2 + x, (-1, 1)),
    "nguyen-3": (lambda x: x**5 + x**4 + x**3 + x**2 + x, (-1, 1)),
    "nguyen-4": (lambda x: x**6 + x**5 + x**4 + x**3 + x**2 + x, (-1, 1)),
    "nguyen-5": (lambda x: np.sin(x**2) * np.cos(x) - 1, (-1, 1)),
    "nguyen-6": (lambda x: np.sin(x) + np.sin(x + x**2), (-1, 1)),
    "nguyen-7": (lambda x: np.log(x + 1) + np.log(x**2 + 1), (0, 2)),
    "nguyen-8": (lambda x: np.sqrt(x), (0, 4)),
}
NGUYEN_SET = "Add Sub Mul Div Sin Cos Exp Log"
SUCCESS_RMSE = 0.01


def run_nguyen(names, seeds, iterations):
    print(f"\nNguyen: 20 training points, population 500, 50 generations, {NGUYEN_SET}, constant 1,"
          f" {iterations} coefficient iteration(s), {seeds} seeds; success: RMSE < {SUCCESS_RMSE} on 1,000 fresh points")
    print(f"  {'problem':<9} {'success':>9} {'median fresh RMSE':>18} {'median size':>12} {'fit s (mean)':>13}")
    for name in names:
        f, (low, high) = NGUYEN[name]
        hits, errors, sizes, times = 0, [], [], []
        for seed in range(seeds):
            rng = np.random.RandomState(seed)
            x = rng.uniform(low, high, size=(20, 1))
            fresh = rng.uniform(low, high, size=(1000, 1))
            model = SymbolicRegressor(population_size=500, generations=50, function_set=NGUYEN_SET, constants="1",
                                      model_selection="best", validation_fraction=0.0, stopping_error=1e-12,
                                      coefficient_iterations=iterations, n_iter_no_change=0, random_state=seed)
            start = time.perf_counter()
            model.fit(x, f(x[:, 0]))
            times.append(time.perf_counter() - start)
            rmse = math.sqrt(np.mean((model.predict(fresh) - f(fresh[:, 0])) ** 2))
            errors.append(rmse)
            hits += rmse < SUCCESS_RMSE
            sizes.append(_nodes(model._expression))
        print(f"  {name:<9} {hits:>4}/{seeds:<4} {statistics.median(errors):>18.3g} {statistics.median(sizes):>12g}"
              f" {statistics.mean(times):>13.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="2 splits and 10 Nguyen seeds")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="a table or problem (diabetes, nguyen-3, ...) or a part (real, nguyen); repeatable")
    parser.add_argument("--iterations", type=int, default=5, metavar="N",
                        help="coefficient iterations per program in the Nguyen runs (default 5)")
    args = parser.parse_args()
    known = set(TABLES) | set(NGUYEN) | {"real", "nguyen"}
    only = {name.lower() for name in args.only or []}
    if only - known:
        parser.error(f"unknown --only {', '.join(sorted(only - known))}; choose from {', '.join(sorted(known))}")

    def wanted(name, part):
        return not only or name in only or part in only

    splits, seeds = (2, 10) if args.quick else (5, 30)
    for name in TABLES:
        if wanted(name, "real"):
            run_table(name, splits)
    problems = [name for name in NGUYEN if wanted(name, "nguyen")]
    if problems:
        run_nguyen(problems, seeds, args.iterations)


if __name__ == "__main__":
    main()
