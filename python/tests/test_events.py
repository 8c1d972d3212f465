import numpy as np
import pytest

import evokit

EVOLVES = ["evolve", "parallel_evolve"]
Op = evokit.GeneticOperation


@pytest.fixture(autouse=True)
def four_threads():  # parallel_evolve's callbacks then really come from several threads
    evokit.set_max_threads(4)
    yield
    evokit.set_max_threads(0)


def ga_with(operations, **kw):
    ga = evokit.GeneticAlgorithm(gene_size=32, initial_population=20, operations=operations, **kw)
    ga.fitness = lambda ind: float(ind.count_set_bits)
    evokit.rand_seed(3)
    ga.initialize()
    return ga


@pytest.mark.parametrize("evolve", EVOLVES)
@pytest.mark.parametrize("pick,picked,veto,same", [
    (lambda pop: 3, 3, lambda ind: False, True),
    (lambda pop: pop[-1], 19, lambda ind: np.False_, True),  # an Individual view, a numpy bool
    (lambda pop: -1, 19, None, False),
    (lambda pop: np.int64(3), 3, lambda ind: True, False),
])
def test_custom_selection_and_mutation_veto(evolve, pick, picked, veto, same):
    ga = ga_with({Op.MUTATE}, mutation_probability=0.5)
    before = ga.population.bits()
    sizes = []
    ga.on_selection = lambda pop: sizes.append(len(pop)) or pick(pop)
    ga.on_mutation = veto
    assert ga.selection_method == evokit.SelectionMethod.CUSTOM
    getattr(ga, evolve)(1)
    assert sizes == [20] * 20  # two parents for each pair of children
    assert (ga.population.bits() == before[picked]).all() == same
    ga.on_selection = None
    assert ga.selection_method == evokit.SelectionMethod.ROULETTE and ga.on_selection is None


@pytest.mark.parametrize("evolve", EVOLVES)
@pytest.mark.parametrize("answer,expected", [
    (5, lambda p1, p2, child: np.concatenate([p1[:5], p2[5:]])),
    (0, lambda p1, p2, child: p2),
    (False, lambda p1, p2, child: child),
])
def test_crossover_handler_sees_the_parents_and_sets_the_point(evolve, answer, expected):
    ga = ga_with({Op.CROSSOVER}, crossover_probability=1.0)
    calls = []

    def crossover(p1, p2, child, point):
        assert 0 <= point <= 32 and any(np.array_equal(child.bits, p.bits) for p in (p1, p2))
        calls.append((p1.bits, p2.bits, child.bits, child.index))
        return answer

    ga.on_crossover = crossover
    getattr(ga, evolve)(1)
    assert sorted(c[3] for c in calls) == list(range(20))
    for p1, p2, child, index in calls:
        np.testing.assert_array_equal(ga.population[index].bits, expected(p1, p2, child))


@pytest.mark.parametrize("evolve", EVOLVES)
@pytest.mark.parametrize("event,handler,error,match", [
    ("on_mutation", lambda ga: lambda ind: 1 / 0, ZeroDivisionError, "division"),
    ("on_mutation", lambda ga: lambda ind: 1.5, TypeError, "bool or None, not float"),
    ("on_inversion", lambda ga: lambda ind: "no", TypeError, "bool or None, not str"),
    ("on_selection", lambda ga: lambda pop: True, TypeError, "individual or an index, not bool"),
    ("on_selection", lambda ga: lambda pop: ga.population, TypeError, "not Population"),
    ("on_selection", lambda ga: lambda pop: 20, IndexError, "index 20 of a population of 20"),
    ("on_selection", lambda ga: lambda pop: ga.population[0], ValueError, "of the population it is given"),
    ("on_crossover", lambda ga: lambda p1, p2, c, point: "x", TypeError, "crossover point"),
    ("on_crossover", lambda ga: lambda p1, p2, c, point: 33, ValueError, "outside 0..32"),
    ("on_crossover", lambda ga: lambda p1, p2, c, point: setattr(p1, "bits", c.bits), RuntimeError, "read-only"),
    ("on_mutation", lambda ga: lambda ind: setattr(ga, "fitness", None), RuntimeError, "busy"),
    ("on_reproduction", lambda ga: lambda ind, changed: "x", TypeError, "bool or None, not str"),
    ("on_initialize_child", lambda ga: lambda p1, p2, child: 1 / 0, ZeroDivisionError, "division"),
])
def test_event_errors_propagate_and_the_component_stays_usable(evolve, event, handler, error, match):
    ga = ga_with(set(Op), crossover_probability=1.0, mutation_probability=0.1, inversion_probability=1.0)
    setattr(ga, event, handler(ga))
    with pytest.raises(error, match=match):
        getattr(ga, evolve)(2)
    setattr(ga, event, None)
    assert getattr(ga, evolve)(2) == 2
    with pytest.raises(TypeError, match="callable or None"):
        setattr(ga, event, 42)


@pytest.mark.parametrize("evolve", EVOLVES)
def test_initialize_child_may_change_the_copy_and_reproduction_reports_the_result(evolve):
    ga = ga_with({Op.CROSSOVER}, crossover_probability=0.0)  # no operation changes a child
    copies, results = [], []

    def initialize_child(p1, p2, child):
        copies.append(np.array_equal(child.bits, p1.bits))
        child.bits = np.ones(32, dtype=np.uint8)

    ga.on_initialize_child = initialize_child
    ga.on_reproduction = lambda child, changed: results.append(changed)
    getattr(ga, evolve)(1)
    assert copies == [True] * 20 and results == [False] * 20
    assert (ga.population.bits() == 1).all()


@pytest.mark.parametrize("answer,built", [(True, True), (None, False), (np.False_, False)])
def test_initialization_handler_may_build_the_genomes(answer, built):
    ga = evokit.GeneticAlgorithm(gene_size=32, initial_population=20)
    ga.fitness = lambda ind: float(ind.count_set_bits)

    def build():
        for ind in ga.population:
            ind.bits = np.ones(32, dtype=np.uint8)
        return answer

    ga.on_initialization = build
    ga.initialize()
    assert (ga.population.bits() == 1).all() == built


def test_custom_selection_needs_a_handler_and_handlers_change_between_generations():
    ga = ga_with({Op.MUTATE}, selection_method=evokit.SelectionMethod.CUSTOM)
    with pytest.raises(evokit.EGAException, match="No custom selection function"):
        ga.evolve(1)
    ga.on_selection = lambda pop: 0
    ga.selection_method = evokit.SelectionMethod.TOURNAMENT
    assert ga.on_selection is None
    ga.on_evolve = lambda: setattr(ga, "on_mutation", lambda ind: False)
    before = ga.evolve(1) and ga.population.bits()
    ga.evolve(1)
    assert ga.on_mutation is not None and {tuple(b) for b in ga.population.bits()} <= {tuple(b) for b in before}


def gp_with(**kw):
    gp = evokit.GeneticProgramming(initial_population=30, initialization_method=evokit.InitializationMethod.RAMPED_GROW,
                                   initialization_depth=4, **kw)
    gp.add_instructions("Add Sub Mul x y 1")
    return gp


X = np.random.default_rng(0).uniform(-1, 1, (25, 2))
Y = X[:, 0] ** 2 + X[:, 1]


@pytest.mark.parametrize("evolve", EVOLVES)
def test_gp_python_fitness_gets_programs_and_none_restores_the_regression(evolve):
    gp = gp_with()
    gp.set_regression_data(X, Y, ["x", "y"], evokit.RegressionMetric.MEAN_SQUARED_ERROR)
    gp.fitness = lambda program: float(program.size)
    getattr(gp, evolve)(3)
    for program in gp.population:
        assert program.fitness == program.size > program.depth and str(program) == program.text
        values = program.evaluate()
        np.testing.assert_array_equal(values, program.evaluate(X))
        assert program.evaluate(X[4]) == values[4]
    gp.fitness = None  # programs evaluated already keep their fitness: start afresh
    gp.initialize()
    getattr(gp, evolve)(2)
    for program in gp.population:
        assert program.fitness == pytest.approx(np.mean((program.evaluate() - Y) ** 2))
    for bad, error in [(X[:, :1], ValueError), ([["a", "b"]], TypeError), (np.zeros((2, 2, 2)), ValueError)]:
        with pytest.raises(error):
            gp.fittest.evaluate(bad)
    bare = gp_with()
    bare.fitness = lambda program: program.evaluate(np.ones(2))
    assert bare.evolve(1) == 1
    with pytest.raises(ValueError, match="set_regression_data"):
        bare.fittest.evaluate()


@pytest.mark.parametrize("evolve", EVOLVES)
def test_gp_reuse_fitness_and_compact_breeding_change_no_program(evolve):
    runs = []
    for reuse, compact in ((False, False), (True, False), (False, True)):
        gp = gp_with(reuse_fitness=reuse, compact_breeding=compact, mutation_probability=0.5)
        calls = []
        gp.fitness = lambda program: calls.append(program.text) or program.size / (1.0 + program.depth)
        evokit.rand_seed(3)
        getattr(gp, evolve)(5)
        assert (gp.reuse_fitness, gp.compact_breeding) == (reuse, compact)
        runs.append(([p.text for p in gp.population], [p.fitness for p in gp.population], len(calls)))
    assert runs[1][:2] == runs[0][:2] and runs[1][2] < runs[0][2]
    assert runs[2] == runs[0]


@pytest.mark.parametrize("veto,same", [(False, True), (None, False)])
@pytest.mark.parametrize("event,operation", [("on_crossover", Op.CROSSOVER), ("on_mutation", Op.MUTATE)])
def test_gp_vetoes_leave_the_selected_program(event, operation, veto, same):
    gp = gp_with(operations={operation}, crossover_probability=1.0, mutation_probability=1.0)
    gp.fitness = lambda program: float(program.size)
    evokit.rand_seed(1)
    gp.initialize()
    big = max(gp.population, key=lambda p: p.size)
    text, index = big.text, big.index
    seen = []
    gp.on_selection = lambda pop: pop[index]
    setattr(gp, event, lambda *programs: seen.append(programs[0].text) or veto)
    gp.parallel_evolve(1)
    assert ([p.text for p in gp.population] == [text] * 30) == same and set(seen) == {text}


@pytest.mark.parametrize("evolve", EVOLVES)
def test_gp_constant_mutation_hands_over_the_value_and_takes_the_answer(evolve):
    others = {f"mutate_{name}_weight": 0 for name in ("subtree", "replacement", "shrink", "hoist", "point")}
    gp = gp_with(operations={Op.MUTATE}, mutation_probability=1.0, mutate_constant_weight=3, **others)
    gp.fitness = lambda program: float(program.size)
    evokit.rand_seed(2)
    gp.initialize()
    parents = {p.text for p in gp.population}
    seen = []
    gp.on_constant_mutation = lambda value: seen.append(value) or value + 0.5
    getattr(gp, evolve)(1)
    children = [p.text for p in gp.population]
    # Each child is a parent with one of its constants (all 1 so far) moved to 1.5.
    assert seen and set(seen) == {1.0}
    assert sum(text.count("1.5") for text in children) == len(seen)
    assert all(text.replace("1.5", "1") in parents for text in children)
    # None keeps the value; no handler changes nothing either.
    for handler in (lambda value: None, None):
        gp.on_constant_mutation = handler
        parents = {p.text for p in gp.population}
        getattr(gp, evolve)(1)
        assert {p.text for p in gp.population} <= parents
    gp.on_constant_mutation = lambda value: "1.5"
    with pytest.raises(TypeError, match="on_constant_mutation must return a number or None, not str"):
        getattr(gp, evolve)(1)
    with pytest.raises(TypeError):
        gp.on_constant_mutation = 2.0


def test_gp_operator_settings_are_kept_by_the_document():
    gp = gp_with()
    gp.point_mutation_method = evokit.PointMutationMethod.PER_TREE
    gp.selection_non_terminals_probability = 0.5
    gp.mutate_hoist_weight, gp.mutate_shrink_weight = 300, -2  # stored clamped to 0..255
    copy = evokit.GeneticProgramming()
    copy.load_from_string(gp.save_to_string())
    assert (copy.point_mutation_method, copy.selection_non_terminals_probability, copy.mutate_hoist_weight,
            copy.mutate_shrink_weight) == (evokit.PointMutationMethod.PER_TREE, 0.5, 255, 0)
    for name, wrong in [("point_mutation_method", 1), ("crossover_method", evokit.CrossoverMethod.BIT_BOUNDARY)]:
        with pytest.raises(TypeError, match="expected evokit"):
            setattr(gp, name, wrong)


@pytest.mark.parametrize("evolve", EVOLVES)
def test_weighted_fitness_is_what_weighted_methods_compare(evolve):
    ga = ga_with({Op.CROSSOVER, Op.MUTATE}, fitness_method=evokit.FitnessMethod.WEIGHTED_MAXIMIZE,
                 selection_method=evokit.SelectionMethod.TOURNAMENT, mutation_probability=0.05)
    ga.weighted_fitness = lambda ind: -ind.fitness  # maximizing it minimizes the set bits
    getattr(ga, evolve)(2)
    assert (ga.max_weighted_fitness, ga.min_weighted_fitness) == (-ga.min_fitness, -ga.max_fitness)
    assert ga.avg_weighted_fitness == pytest.approx(-ga.avg_fitness)
    ga.weighted_fitness = lambda ind: "high"
    with pytest.raises(TypeError, match="weighted_fitness callback must return a number, not str"):
        getattr(ga, evolve)(1)
    ga.weighted_fitness = None  # the weighted fitness is then the fitness
    assert getattr(ga, evolve)(1) == 1 and ga.max_weighted_fitness == ga.max_fitness


def test_components_whose_callbacks_refer_to_them_are_collected():
    import gc

    def alive():
        gc.collect()
        return sum(isinstance(o, (evokit.GeneticAlgorithm, evokit.GeneticProgramming)) for o in gc.get_objects())

    before = alive()
    ga = ga_with({Op.CROSSOVER})
    ga.on_evolve = lambda: ga.generation  # a cycle: the component keeps the lambda, the lambda the component
    ga.fitness = lambda ind: float(ind.count_set_bits) + 0 * ga.generation
    gp = gp_with(operations={Op.MUTATE}, mutation_probability=1.0)
    gp.fitness = lambda program: float(program.size)
    gp.on_constant_mutation = lambda value: value + gp.generation
    gp.on_crossover = lambda *programs: gp.initialized
    ga.evolve(2), gp.evolve(2)
    assert alive() == before + 2
    kept = ga.population  # a view keeps its component's state, not the Python object
    del ga, gp
    assert alive() == before
    assert len(kept) == 20 and kept[0].fitness >= 0
