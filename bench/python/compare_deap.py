#!/usr/bin/env python3
"""Times evokit's Python module against DEAP (Debian's python3-deap) on the same problems.

OneMax: 1,000 bits, population 100, tournament of 3, one-point crossover 0.9, mutation
0.001 per bit, the fitness a Python function on both sides. Quartic regression:
x^4 + x^3 + x^2 + x over 20 points of [-1, 1), Add Sub Mul and a protected Div over x,
population 500, 50 generations, tournament of 7, ramped half-and-half to depth 6, depth
limit 17, crossover 0.9 and mutation 0.1 with each library's own subtree operators, the
mean squared error without linear scaling, the first population built inside the timed
call on both sides. Each round runs both libraries
one after the other, alternating which goes first, on the round's seed. Times are the
process's CPU time per generation (all threads), steadier than wall time on a shared
machine; both sides run on one thread.

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/python/compare_deap.py [--rounds N]
"""
import argparse
import operator
import random
import statistics
import time

import numpy as np
from deap import algorithms, base, creator, gp, tools

import evokit

BITS, POP, ONEMAX_GENS = 1000, 100, 200
GP_POP, GP_GENS = 500, 50
POINTS = [-1 + i / 10 for i in range(20)]


def evokit_onemax(seed):
    ga = evokit.GeneticAlgorithm(gene_size=BITS, initial_population=POP, fitness_method=evokit.FitnessMethod.MAXIMIZE,
                                 selection_method=evokit.SelectionMethod.TOURNAMENT, tournament_field=3,
                                 crossover_method=evokit.CrossoverMethod.BIT_BOUNDARY, crossover_probability=0.9,
                                 mutation_probability=0.001, operations={evokit.GeneticOperation.CROSSOVER,
                                                                         evokit.GeneticOperation.MUTATE})
    ga.fitness = lambda ind: float(ind.bits.sum())
    evokit.rand_seed(seed)
    ga.initialize()
    start = time.process_time()
    ga.evolve(ONEMAX_GENS)
    return (time.process_time() - start) / ONEMAX_GENS, ga.max_fitness


def deap_onemax(seed):
    random.seed(seed)
    tb = base.Toolbox()
    tb.register("bit", random.randint, 0, 1)
    tb.register("individual", tools.initRepeat, creator.BitList, tb.bit, BITS)
    tb.register("population", tools.initRepeat, list, tb.individual)
    tb.register("evaluate", lambda ind: (sum(ind),))
    tb.register("mate", tools.cxOnePoint)
    tb.register("mutate", tools.mutFlipBit, indpb=0.001)
    tb.register("select", tools.selTournament, tournsize=3)
    pop = tb.population(n=POP)
    for ind in pop:
        ind.fitness.values = tb.evaluate(ind)
    start = time.process_time()
    algorithms.eaSimple(pop, tb, cxpb=0.9, mutpb=1.0, ngen=ONEMAX_GENS, verbose=False)
    elapsed = time.process_time() - start
    return elapsed / ONEMAX_GENS, max(ind.fitness.values[0] for ind in pop)


def evokit_quartic(seed):
    X = np.array(POINTS).reshape(-1, 1)
    y = np.array([x**4 + x**3 + x**2 + x for x in POINTS])
    # No early stop: an exact program (error 0) would end the run before GP_GENS generations
    # while DEAP runs them all, and the time per generation would be understated.
    # The plain GP run DEAP makes: the regressor's additions (coefficient fitting, variable
    # weights, the linear seed, the size limit, held-out rows) off.
    model = evokit.SymbolicRegressor(population_size=GP_POP, generations=GP_GENS, constants="",
                                     function_set="Add Sub Mul Div", init_depth=6, size_limit=0, depth_limit=17,
                                     tournament_size=7, p_crossover=0.9, p_mutation=0.1, coefficient_iterations=0,
                                     variable_weights=False, linear_seed=False, validation_fraction=0.0,
                                     model_selection="best", linear_scaling=False, stopping_error=-1.0,
                                     random_state=seed)
    start = time.process_time()
    model.fit(X, y)
    assert model.n_generations_ == GP_GENS, model.n_generations_
    return (time.process_time() - start) / GP_GENS, float(np.mean((model.predict(X) - y) ** 2))


def protected_div(a, b):
    return 1.0 if b == 0 else a / b


def deap_quartic(seed):
    random.seed(seed)
    pset = gp.PrimitiveSet("MAIN", 1)
    for fn in (operator.add, operator.sub, operator.mul):
        pset.addPrimitive(fn, 2)
    pset.addPrimitive(protected_div, 2)
    pset.renameArguments(ARG0="x")
    tb = base.Toolbox()
    tb.register("expr", gp.genHalfAndHalf, pset=pset, min_=1, max_=6)
    tb.register("individual", tools.initIterate, creator.Program, tb.expr)
    tb.register("population", tools.initRepeat, list, tb.individual)

    def evaluate(ind):
        f = gp.compile(ind, pset)
        return (sum((f(x) - (x**4 + x**3 + x**2 + x)) ** 2 for x in POINTS) / len(POINTS),)

    tb.register("evaluate", evaluate)
    tb.register("select", tools.selTournament, tournsize=7)
    tb.register("mate", gp.cxOnePoint)
    tb.register("expr_mut", gp.genFull, min_=0, max_=2)
    tb.register("mutate", gp.mutUniform, expr=tb.expr_mut, pset=pset)
    for op in ("mate", "mutate"):
        tb.decorate(op, gp.staticLimit(key=operator.attrgetter("height"), max_value=17))
    # The regressor's fit builds its first population inside the timed call: so does this.
    start = time.process_time()
    pop = tb.population(n=GP_POP)
    pop, _ = algorithms.eaSimple(pop, tb, cxpb=0.9, mutpb=0.1, ngen=GP_GENS, verbose=False)
    elapsed = time.process_time() - start
    return elapsed / GP_GENS, min(ind.fitness.values[0] for ind in pop)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    rounds = parser.parse_args().rounds
    creator.create("FitnessMax", base.Fitness, weights=(1.0,))
    creator.create("BitList", list, fitness=creator.FitnessMax)
    creator.create("FitnessMin", base.Fitness, weights=(-1.0,))
    creator.create("Program", gp.PrimitiveTree, fitness=creator.FitnessMin)
    results = {}
    for r in range(rounds):
        for problem, pair in (("onemax", (evokit_onemax, deap_onemax)), ("quartic", (evokit_quartic, deap_quartic))):
            order = pair if r % 2 == 0 else pair[::-1]
            for run in order:
                seconds, quality = run(r + 1)
                results.setdefault(run.__name__, []).append((seconds, quality))
                print(f"round {r + 1} {run.__name__:15s} {seconds * 1e3:9.3f} ms/generation  result {quality:.6g}",
                      flush=True)
    print()
    for problem, quality in (("onemax", "best bits set"), ("quartic", "best mean squared error")):
        ours, theirs = results[f"evokit_{problem}"], results[f"deap_{problem}"]
        ratios = [t[0] / o[0] for o, t in zip(ours, theirs)]
        print(f"{problem}: evokit {statistics.median(o[0] for o in ours) * 1e3:.3f} ms/generation, "
              f"DEAP {statistics.median(t[0] for t in theirs) * 1e3:.3f} ms/generation, "
              f"evokit faster by {min(ratios):.0f}-{max(ratios):.0f}x (median {statistics.median(ratios):.0f}x); "
              f"{quality}: evokit median {statistics.median(o[1] for o in ours):.6g}, "
              f"DEAP median {statistics.median(t[1] for t in theirs):.6g}")


if __name__ == "__main__":
    main()
