#!/usr/bin/env python3
"""NSGA-II in evokit's Python module against DEAP's (Debian's python3-deap).

Problems: ZDT1, ZDT2 and ZDT3 with 30 variables in [0, 1] (two objectives) and DTLZ2 with
three objectives and 12 variables (k = 10). Population 100, 250 generations, 10 seeds.

Encoding and variation, two pairs of sides:
- "evokit-bits" and "deap-bits": each variable an unsigned 16-bit integer gene read as
  x = value / 65535 (DEAP: a list of the same bits decoded the same way); one-point
  crossover at any bit with probability 0.9 per pair, bit-flip mutation with probability
  1/L per bit (L = 16 times the number of variables).
- "evokit-sbx" and "deap-sbx": real-coded, SBX crossover (eta 20, probability 0.9) and
  polynomial mutation (eta 20, probability 1/n per variable); evokit through
  CrossoverMethod.SIMULATED_BINARY and MutationMethod.POLYNOMIAL with each variable a 32-bit
  float gene bounded to [0, 1], which the component's initialisation draws uniformly
  within its bounds under that variation, as DEAP's does. (Random bits of a float gene are
  mostly outside [0, 1], which is why the bit-level sides use integer genes.)
Selection on every side: binary tournament on rank then crowding distance, then survival
of the best 100 of parents and children by rank and crowding.

Measures: the hypervolume of the final first front, from (1.1, 1.1) for the ZDT problems
and (1.1, 1.1, 1.1) for DTLZ2, computed by DEAP's hypervolume module for every side (for
evokit it is also checked against the library's own front_hypervolume); and the process
CPU time per generation of the evolution loop (the initial population excluded), both
sides on one thread, the fitness Python code on both. Each round is one seed; its runs
(problem x side) go in a shuffled order so that machine load spreads evenly.

Fitness. DEAP's sides call the problem function once per individual (toolbox.evaluate on
one decoded vector), as DEAP's algorithms evaluate. The evokit side runs either
--evokit-fitness batch (the default): GeneticAlgorithm.batch_fitness, one call per
generation with the (stale individuals x variables) array of gene values, scored by the
numpy-vectorised versions of the problems (zdt1_rows and friends, the same arithmetic
over rows); or --evokit-fitness callback: GeneticAlgorithm.fitness, one call per
individual with an Individual, scored by the same per-vector functions as DEAP. The two
modes give the same evolution for a seed as long as the vectorised functions round as the
scalar ones do.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/python/compare_nsga2.py
           [--rounds 10] [--generations 250] [--sides evokit-bits,deap-bits,evokit-sbx,deap-sbx]
           [--evokit-fitness batch|callback]
"""
import argparse
import math
import random
import statistics
import sys
import time

import numpy as np
from deap import base, creator, tools
from deap.tools._hypervolume import hv

try:
    import evokit
except ImportError:  # the DEAP sides still run
    evokit = None

POP = 100
BITS = 16
SCALE = float((1 << BITS) - 1)


# --- problems (every objective minimised) -----------------------------------------
def zdt1(x):
    g = 1 + 9 * x[1:].sum() / (len(x) - 1)
    return x[0], g * (1 - math.sqrt(x[0] / g))


def zdt2(x):
    g = 1 + 9 * x[1:].sum() / (len(x) - 1)
    return x[0], g * (1 - (x[0] / g) ** 2)


def zdt3(x):
    g = 1 + 9 * x[1:].sum() / (len(x) - 1)
    r = x[0] / g
    return x[0], g * (1 - math.sqrt(r) - r * math.sin(10 * math.pi * x[0]))


def dtlz2(x, m=3):
    g = float(((x[m - 1:] - 0.5) ** 2).sum())
    a = x[:m - 1] * (math.pi / 2)
    f = []
    for i in range(m):
        v = 1 + g
        for j in range(m - 1 - i):
            v *= math.cos(a[j])
        if i > 0:
            v *= math.sin(a[m - 1 - i])
        f.append(v)
    return tuple(f)


# The same problems over the rows of a 2-D array (one candidate per row), returning one
# row of objectives per candidate: what evokit's batch fitness scores a generation with.
def zdt_g(X):
    return 1 + 9 * X[:, 1:].sum(axis=1) / (X.shape[1] - 1)


def zdt1_rows(X):
    g = zdt_g(X)
    return np.column_stack([X[:, 0], g * (1 - np.sqrt(X[:, 0] / g))])


def zdt2_rows(X):
    g = zdt_g(X)
    return np.column_stack([X[:, 0], g * (1 - (X[:, 0] / g) ** 2)])


def zdt3_rows(X):
    g = zdt_g(X)
    r = X[:, 0] / g
    return np.column_stack([X[:, 0], g * (1 - np.sqrt(r) - r * np.sin(10 * math.pi * X[:, 0]))])


def dtlz2_rows(X, m=3):
    g = ((X[:, m - 1:] - 0.5) ** 2).sum(axis=1)
    a = X[:, :m - 1] * (math.pi / 2)
    F = np.empty((len(X), m))
    for i in range(m):
        v = 1 + g
        for j in range(m - 1 - i):
            v = v * np.cos(a[:, j])
        if i > 0:
            v = v * np.sin(a[:, m - 1 - i])
        F[:, i] = v
    return F


ROWS = {"ZDT1": zdt1_rows, "ZDT2": zdt2_rows, "ZDT3": zdt3_rows, "DTLZ2": dtlz2_rows}

# name: (function, variables, objectives, hypervolume reference)
PROBLEMS = {
    "ZDT1": (zdt1, 30, 2, (1.1, 1.1)),
    "ZDT2": (zdt2, 30, 2, (1.1, 1.1)),
    "ZDT3": (zdt3, 30, 2, (1.1, 1.1)),
    "DTLZ2": (dtlz2, 12, 3, (1.1, 1.1, 1.1)),
}


def hypervolume(front, reference):
    """Volume dominated by the rows of front (minimised) up to reference; rows not strictly
    inside it add nothing."""
    front = np.asarray(front, dtype=float).reshape(-1, len(reference))
    inside = front[(front < np.asarray(reference)).all(axis=1)]
    return float(hv.hypervolume(inside.tolist(), list(reference))) if len(inside) else 0.0


# --- evokit -------------------------------------------------------------------------
EVOKIT_FITNESS = "batch"  # --evokit-fitness


def run_evokit(problem, seed, generations, coding, fitness=None):
    f, n, m, ref = PROBLEMS[problem]
    common = dict(initial_population=POP, selection_method=evokit.SelectionMethod.NSGA2, crossover_probability=0.9,
                  operations={evokit.GeneticOperation.CROSSOVER, evokit.GeneticOperation.MUTATE})
    if coding == "bits":
        ga = evokit.GeneticAlgorithm(crossover_method=evokit.CrossoverMethod.BIT_BOUNDARY,
                                     mutation_probability=1.0 / (n * BITS), **common)
        for i in range(n):
            ga.add_gene(f"x{i}", evokit.GeneType.INTEGER, BITS)
        scale = SCALE
    else:
        ga = evokit.GeneticAlgorithm(crossover_method=evokit.CrossoverMethod.SIMULATED_BINARY,
                                     mutation_method=evokit.MutationMethod.POLYNOMIAL, mutation_probability=1.0 / n,
                                     crossover_distribution_index=20.0, mutation_distribution_index=20.0, **common)
        for i in range(n):
            ga.add_gene(f"x{i}", evokit.GeneType.FLOAT, 32, min_value=0.0, max_value=1.0)
        scale = 1.0
    ga.objective_senses = [evokit.ObjectiveSense.MINIMIZE] * m
    ga.hypervolume_reference = list(ref)
    if (fitness or EVOKIT_FITNESS) == "batch":
        rows = ROWS[problem]
        ga.batch_fitness = lambda genes: rows(genes / scale)
    else:
        ga.fitness = lambda ind: f(ind.genes / scale)
    evokit.rand_seed(seed)
    ga.initialize()
    start = time.process_time()
    ga.evolve(generations)
    elapsed = time.process_time() - start
    front = np.asarray(ga.front)
    volume = hypervolume(front, ref)
    if not math.isclose(volume, ga.front_hypervolume, rel_tol=1e-9, abs_tol=1e-12):
        sys.exit(f"{problem} seed {seed}: evokit's front_hypervolume {ga.front_hypervolume} != {volume}")
    return elapsed / generations, volume, len(front)


# --- DEAP ---------------------------------------------------------------------------
creator.create("FitnessMin2", base.Fitness, weights=(-1.0, -1.0))
creator.create("FitnessMin3", base.Fitness, weights=(-1.0, -1.0, -1.0))
creator.create("Bits2", list, fitness=creator.FitnessMin2)
creator.create("Bits3", list, fitness=creator.FitnessMin3)
creator.create("Reals2", list, fitness=creator.FitnessMin2)
creator.create("Reals3", list, fitness=creator.FitnessMin3)

WEIGHTS = (1 << np.arange(BITS - 1, -1, -1)).astype(float) / SCALE


def deap_toolbox(problem, coding):
    f, n, m, _ = PROBLEMS[problem]
    tb = base.Toolbox()
    if coding == "bits":
        tb.register("bit", random.randint, 0, 1)
        tb.register("individual", tools.initRepeat, getattr(creator, f"Bits{m}"), tb.bit, n * BITS)
        tb.register("evaluate", lambda ind: f(np.asarray(ind, dtype=float).reshape(n, BITS) @ WEIGHTS))
        tb.register("mate", tools.cxOnePoint)
        tb.register("mutate", tools.mutFlipBit, indpb=1.0 / (n * BITS))
    else:
        tb.register("real", random.random)
        tb.register("individual", tools.initRepeat, getattr(creator, f"Reals{m}"), tb.real, n)
        tb.register("evaluate", lambda ind: f(np.asarray(ind, dtype=float)))
        tb.register("mate", tools.cxSimulatedBinaryBounded, low=0.0, up=1.0, eta=20.0)
        tb.register("mutate", tools.mutPolynomialBounded, low=0.0, up=1.0, eta=20.0, indpb=1.0 / n)
    tb.register("population", tools.initRepeat, list, tb.individual)
    tb.register("select", tools.selNSGA2)
    return tb


def run_deap(problem, seed, generations, coding):
    _, _, _, ref = PROBLEMS[problem]
    random.seed(seed)
    tb = deap_toolbox(problem, coding)
    pop = tb.population(n=POP)
    for ind in pop:
        ind.fitness.values = tb.evaluate(ind)
    pop = tb.select(pop, POP)  # assigns the crowding distances the first tournament reads
    start = time.process_time()
    for _ in range(generations):
        offspring = [tb.clone(ind) for ind in tools.selTournamentDCD(pop, POP)]
        for a, b in zip(offspring[::2], offspring[1::2]):
            if random.random() <= 0.9:
                tb.mate(a, b)
            tb.mutate(a)
            tb.mutate(b)
            del a.fitness.values, b.fitness.values
        for ind in offspring:
            ind.fitness.values = tb.evaluate(ind)
        pop = tb.select(pop + offspring, POP)
    elapsed = time.process_time() - start
    front = [ind.fitness.values for ind in tools.sortNondominated(pop, POP, first_front_only=True)[0]]
    return elapsed / generations, hypervolume(front, ref), len(front)


SIDES = {
    "evokit-bits": lambda p, s, g: run_evokit(p, s, g, "bits"),
    "deap-bits": lambda p, s, g: run_deap(p, s, g, "bits"),
    "evokit-sbx": lambda p, s, g: run_evokit(p, s, g, "sbx"),
    "deap-sbx": lambda p, s, g: run_deap(p, s, g, "sbx"),
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--generations", type=int, default=250)
    ap.add_argument("--problems", default=",".join(PROBLEMS))
    ap.add_argument("--sides", default=",".join(SIDES))
    ap.add_argument("--evokit-fitness", choices=("batch", "callback"), default="batch",
                    help="evokit's fitness: one vectorised call per generation (batch) or one call per individual")
    a = ap.parse_args()
    global EVOKIT_FITNESS
    EVOKIT_FITNESS = a.evokit_fitness
    problems = a.problems.split(",")
    sides = a.sides.split(",")
    if evokit is None or not hasattr(evokit, "MutationMethod"):
        print("no evokit module with NSGA-II and real-coded variation here: the evokit sides are left out",
              file=sys.stderr)
        sides = [s for s in sides if not s.startswith("evokit")]
    if evokit is not None:
        evokit.set_max_threads(1)
    results = {(p, s): [] for p in problems for s in sides}
    for r in range(a.rounds):
        seed = 1000 + r
        runs = [(p, s) for p in problems for s in sides]
        random.Random(seed).shuffle(runs)
        for p, s in runs:
            results[(p, s)].append(SIDES[s](p, seed, a.generations))
        print(f"round {r + 1}/{a.rounds} done", file=sys.stderr, flush=True)

    print(f"population {POP}, {a.generations} generations, {a.rounds} seeds; hypervolume of the final first "
          "front from (1.1, 1.1) or (1.1, 1.1, 1.1); CPU seconds per generation (median); evokit's fitness: "
          f"{a.evokit_fitness}")
    print(f"{'problem':8} {'side':11} {'hypervolume median':>19} {'mean':>8} {'sd':>8} {'min':>8} {'max':>8} "
          f"{'front':>6} {'s/gen':>9}")
    for p in problems:
        for s in sides:
            times, volumes, sizes = zip(*results[(p, s)])
            sd = statistics.stdev(volumes) if len(volumes) > 1 else 0.0
            print(f"{p:8} {s:11} {statistics.median(volumes):19.4f} {statistics.mean(volumes):8.4f} {sd:8.4f} {min(volumes):8.4f} "
                  f"{max(volumes):8.4f} {statistics.mean(sizes):6.1f} {statistics.median(times):9.5f}")


if __name__ == "__main__":
    main()
