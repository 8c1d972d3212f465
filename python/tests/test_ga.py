import ast
import enum
import os

import numpy as np
import pytest

import evokit

STUB = ast.parse(open(os.path.join(os.path.dirname(evokit.__file__), "__init__.pyi")).read())


def onemax(bits=64, **kw):
    ga = evokit.GeneticAlgorithm(gene_size=bits, initial_population=40, fitness_method=evokit.FitnessMethod.MAXIMIZE,
                                 selection_method=evokit.SelectionMethod.TOURNAMENT, tournament_field=3, **kw)
    ga.fitness = lambda ind: float(ind.bits.sum())
    return ga


@pytest.mark.parametrize("name,value,stored", [
    ("crossover_probability", 1.5, 1.0), ("mutation_probability", -1, 0.0), ("tournament_field", 1, 2),
    ("selection_method", evokit.SelectionMethod.CUSTOM, evokit.SelectionMethod.CUSTOM),
    ("crossover_method", evokit.CrossoverMethod.BYTE_BOUNDARY, evokit.CrossoverMethod.BYTE_BOUNDARY),
    ("mutation_method", evokit.MutationMethod.POLYNOMIAL, evokit.MutationMethod.POLYNOMIAL),
    ("crossover_distribution_index", 0, 0.0),
    ("operations", {evokit.GeneticOperation.MUTATE}, {evokit.GeneticOperation.MUTATE}),
])
def test_properties_store_as_the_component_does(name, value, stored):
    ga = evokit.GeneticAlgorithm()
    setattr(ga, name, value)
    assert getattr(ga, name) == stored
    assert type(getattr(ga, name)) is type(stored)


@pytest.mark.parametrize("name,value,error", [
    ("fitness_method", 1, TypeError), ("selection_method", "smRandom", TypeError),
    ("crossover_probability", "0.5", TypeError), ("fitness_cutoff", float("nan"), ValueError),
    ("initial_population", 10**9, evokit.EGAException), ("fitness", 42, TypeError),
    ("mutation_method", 1, TypeError), ("crossover_distribution_index", -0.5, ValueError),
    ("mutation_distribution_index", float("nan"), ValueError),
])
def test_bad_values_raise_and_change_nothing(name, value, error):
    ga = evokit.GeneticAlgorithm()
    before = getattr(ga, name)
    with pytest.raises(error):
        setattr(ga, name, value)
    assert getattr(ga, name) == before


def test_builtin_fitness_matches_the_callback():
    ga = onemax(bits=200)
    ga.use_count_set_bits_fitness()
    ga.parallel_evolve(5)
    assert [ind.fitness for ind in ga.population] == [ind.bits.sum() for ind in ga.population]


def test_chromosomes_as_arrays_and_genes():
    ga = evokit.GeneticAlgorithm(initial_population=2)
    ga.add_gene("on", evokit.GeneType.BOOLEAN, 1)
    ga.add_gene("n", evokit.GeneType.INTEGER, 8, min_value=0, max_value=200)
    ga.add_gene("x", evokit.GeneType.FLOAT, 64, min_value=-10, max_value=10, preserve_sign_bit=True)
    ga.add_gene("c", evokit.GeneType.ENUMERATION, enumerations=["red", "green", "blue"])
    assert ga.gene_size == 75 and ga.gene_names == ["on", "n", "x", "c"]
    ga.fitness = lambda ind: ind.gene("x")
    ga.initialize()
    one = ga.population[-1]
    one.set_gene("on", True), one.set_gene(1, 200), one.set_gene("x", 2.5)
    assert (one.gene(0), one.gene("n"), one.gene("x")) == (True, 200, 2.5)
    bits = one.bits
    bits[0] = 0
    one.bits = bits
    np.testing.assert_array_equal(ga.population[1].bits, bits)
    for bad, error in [(bits[:-1], ValueError), (bits * 2, ValueError), (["1"] * 75, TypeError),
                       (bits.astype(float), TypeError), (bits.reshape(1, -1), ValueError)]:
        with pytest.raises(error):
            one.bits = bad
    np.testing.assert_array_equal(one.bits, bits)
    with pytest.raises(KeyError):
        one.gene("missing")
    with pytest.raises(IndexError):
        ga.population[2]
    # All genes at once, as numbers; a bad value anywhere changes nothing.
    one.genes = [1, 150, -2.5, 2]
    np.testing.assert_array_equal(one.genes, [1, 150, -2.5, 2])
    assert (one.gene("on"), one.gene("n"), one.gene("x"), one.gene("c")) == (True, 150, -2.5, "blue")
    one.genes = np.array([0, 250, 99.0, 0])  # clamped to the bounds, as set_gene does
    np.testing.assert_array_equal(one.genes, [0, 200, 10, 0])
    kept = one.bits
    for bad, error in [([1, 150.5, 0, 0], ValueError), ([1, 1, np.nan, 0], ValueError), ([1, 1, 0, 3], ValueError),
                       ([1, 1, 0], ValueError), (["1", "1", "0", "0"], TypeError), (None, TypeError)]:
        with pytest.raises(error):
            one.genes = bad
        np.testing.assert_array_equal(one.bits, kept)


@pytest.mark.parametrize("evolve", ["evolve", "parallel_evolve"])
def test_callback_errors_propagate_and_the_component_stays_usable(evolve):
    ga = onemax()
    ga.evolve(2)
    calls = []

    def failing(ind):
        calls.append(1)
        if len(calls) > 5:
            raise ZeroDivisionError("from the callback")
        return 1.0

    ga.fitness = failing
    with pytest.raises(ZeroDivisionError, match="from the callback"):
        getattr(ga, evolve)(3)
    for callback, error in [(lambda ind: "text", TypeError), (lambda ind: ga.evolve(1), RuntimeError),
                            (lambda ind: setattr(ga, "gene_size", 3), RuntimeError)]:
        ga.fitness = callback
        with pytest.raises(error, match="must return a number|busy"):
            getattr(ga, evolve)(1)
    assert ga.gene_size == 64
    ga.fitness = lambda ind: float(ind.count_set_bits)
    before = ga.generation
    assert getattr(ga, evolve)(3) == 3 and ga.generation == before + 3
    ga.fitness = None
    with pytest.raises(evokit.EGAException, match="No fitness function defined"):
        ga.evolve(1)


def test_on_evolve_and_halt():
    ga = onemax()
    seen = []
    ga.on_evolve = lambda: (seen.append(ga.generation), setattr(ga, "halt", ga.generation >= 4))
    assert ga.evolve(50) == 4 and seen == [1, 2, 3, 4]


def test_save_and_load(tmp_path):
    ga = onemax()
    ga.evolve(3)
    path = str(tmp_path / "ga.xml")
    ga.save_to_file(path)
    for load in (lambda g: g.load_from_file(path), lambda g: g.load_from_string(ga.save_to_string())):
        copy = evokit.GeneticAlgorithm()
        load(copy)
        assert (copy.gene_size, copy.tournament_field) == (64, 3)
        np.testing.assert_array_equal(copy.population.bits(), ga.population.bits())
    with pytest.raises(evokit.EFOpenError) as error:
        ga.load_from_file(str(tmp_path / "missing.xml"))
    assert isinstance(error.value, OSError) and "missing.xml" in str(error.value)
    with pytest.raises(evokit.EXMLDocError, match="GeneticAlgorithm"):
        ga.load_from_string("<Other/>")


def test_readme_example_runs(tmp_path, monkeypatch):
    readme = open(__file__.rsplit("/python/", 1)[0] + "/README.md").read()
    code = readme.split("```python\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(tmp_path)
    namespace = {}
    exec(code, namespace)  # noqa: S102 - the project's own README
    assert namespace["ga"].fittest.fitness == 100 and namespace["model"].score(namespace["X"], namespace["y"]) > 0.99


def test_stubs_name_every_public_class_and_enum_member():
    declared = {node.name: node for node in STUB.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    for name in evokit.__all__:
        assert name in declared, name
        value = getattr(evokit, name)
        if isinstance(value, type) and issubclass(value, enum.Enum):
            members = {t.targets[0].id: t.value.value for t in declared[name].body if isinstance(t, ast.Assign)}
            assert members == {m.name: m.value for m in value}, name


def test_every_property_has_a_docstring_and_a_stub():
    classes = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}

    def declared(name):  # the names a stub class and its stub bases declare
        node = classes[name]
        names = {t.target.id for t in node.body if isinstance(t, ast.AnnAssign)}
        names |= {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in classes:
                names |= declared(base.id)
        return names

    for cls in (evokit.GeneticAlgorithm, evokit.GeneticProgramming, evokit.Individual, evokit.Program):
        properties = {name: value for name, value in vars(cls).items() if isinstance(value, property)}
        assert [name for name, value in properties.items() if not value.__doc__] == [], cls.__name__
        assert set(properties) - declared(cls.__name__) == set(), cls.__name__


def test_exceptions_are_named_as_python_errors_and_keep_the_library_names():
    aliases = {t.targets[0].id: t.value.id for t in STUB.body if isinstance(t, ast.Assign)
               and isinstance(t.value, ast.Name)}
    runtime = {name: getattr(evokit, name).__name__ for name in dir(evokit)
               if name.startswith("E") and name != getattr(evokit, name).__name__}
    assert aliases == runtime and len(runtime) == 15
    errors = [value for value in vars(evokit).values() if isinstance(value, type) and issubclass(value, evokit.Error)]
    assert all(cls.__name__.endswith("Error") and cls.__module__ == "evokit" for cls in errors)
    assert all(issubclass(getattr(evokit, name), evokit.Error) for name in runtime)
    assert issubclass(evokit.EGPException, evokit.EGAException) and issubclass(evokit.EGAException, evokit.EMXException)
    assert issubclass(evokit.EReadError, evokit.EStreamError)
    with pytest.raises(evokit.GPError) as error:
        evokit.GeneticProgramming().add_instructions("x x")
    assert isinstance(error.value, evokit.EGPException) and type(error.value).__name__ == "GPError"


def schaffer_ga(objectives, batch=None, fitness=None):  # a 16-bit x in [-4, 4] and a flag gene
    ga = evokit.GeneticAlgorithm(initial_population=30, mutation_probability=0.05)
    ga.add_gene("x", evokit.GeneType.INTEGER, 16)
    ga.add_gene("flag", evokit.GeneType.BOOLEAN, 1)
    ga.batch_fitness, ga.fitness = batch, fitness
    if objectives:  # after the callables: they follow the new count
        ga.selection_method = evokit.SelectionMethod.NSGA2
        ga.objective_senses = [evokit.ObjectiveSense.MINIMIZE, evokit.ObjectiveSense.MAXIMIZE]
    return ga


def schaffer_rows(genes):  # rows of genes -> fitness (x - 1)^2 + flag, or two objectives; NaN beyond x = 3
    x = -4 + 8 * genes[:, 0] / 65535
    f1 = np.where(x > 3, np.nan, (x - 1) ** 2 + genes[:, 1])
    return f1, -(x - 2) ** 2


@pytest.mark.parametrize("evolve", ["evolve", "parallel_evolve"])
@pytest.mark.parametrize("objectives", [0, 2])
def test_batch_fitness_evolves_as_the_per_individual_fitness(evolve, objectives):
    calls = []

    def batch_score(genes):
        assert genes.dtype == np.float64 and genes.shape[1] == 2
        calls.append(len(genes))
        f1, f2 = schaffer_rows(genes)
        return np.column_stack([f1, f2]) if objectives else f1

    def single_score(ind):
        f1, f2 = schaffer_rows(ind.genes[np.newaxis, :])
        if not objectives:
            return f1[0]
        return np.array([f1[0], f2[0]]) if ind.index % 2 else [f1[0], f2[0]]  # an array or a sequence

    def run(batch):
        ga = schaffer_ga(objectives, batch=batch_score if batch else None, fitness=None if batch else single_score)
        evokit.set_max_threads(2)
        evokit.rand_seed(8)
        getattr(ga, evolve)(10)
        evokit.set_max_threads(0)
        return ga
    batch = run(True)
    single = run(False)
    assert calls[0] == 30 and len(calls) == 11  # the first generation, then once per generation
    np.testing.assert_array_equal(batch.population.bits(), single.population.bits())
    assert (batch.max_fitness, batch.min_fitness, batch.avg_fitness) == \
           (single.max_fitness, single.min_fitness, single.avg_fitness)
    for ind in batch.population:
        if -4 + 8 * ind.genes[0] / 65535 > 3:
            assert ind.fitness == np.finfo(np.float32).max  # unfit when minimising
    if objectives:
        np.testing.assert_array_equal(batch.front, single.front)
        assert batch.front_hypervolume == single.front_hypervolume > 0 and batch.front.shape == (batch.front_size, 2)
        # Saved and loaded without a fitness, the objectives and the front stay as they were.
        other = evokit.GeneticAlgorithm()
        other.load_from_string(batch.save_to_string())
        assert other.objective_senses == batch.objective_senses
        np.testing.assert_array_equal(other.front, batch.front)
    # An individual read alone is scored by the same callable, on one row.
    ind = batch.population[0]
    ind.genes = [0, 1]  # x = -4
    assert ind.fitness == 26.0 and calls[-1] == 1
    assert list(ind.objectives) == ([26.0, -36.0] if objectives else [])


@pytest.mark.parametrize("objectives,answer,error,match", [
    (0, lambda g: g[:, 0][:-1], ValueError, r"batch_fitness must return an array of shape \(30,\).* not \(29,\)"),
    (0, lambda g: g, ValueError, r"batch_fitness .*shape \(30,\).* not \(30, 2\)"),
    (2, lambda g: g[:, 0], ValueError, r"batch_fitness .*shape \(30, 2\).* not \(30,\)"),
    (0, lambda g: ["x"] * len(g), TypeError, "batch_fitness must return an array of numbers, not list"),
    (0, lambda g: None, TypeError, "batch_fitness must return an array of numbers, not NoneType"),
    (0, lambda g: 1 / 0, ZeroDivisionError, "division"),
])
def test_batch_fitness_errors_propagate_and_the_component_stays_usable(objectives, answer, error, match):
    ga = schaffer_ga(objectives, batch=answer)
    with pytest.raises(error, match=match):
        ga.evolve(1)
    assert all(ind.index >= 0 for ind in ga.population)
    ga.batch_fitness = lambda g: np.column_stack(schaffer_rows(g)) if objectives else schaffer_rows(g)[0]
    assert ga.evolve(2) == 2 and ga.fittest is not None


def test_one_number_per_objective():
    ga = schaffer_ga(2, fitness=lambda ind: (1.0,))
    with pytest.raises(TypeError, match="2 numbers"):
        ga.evolve(1)
    with pytest.raises(evokit.ArgumentOutOfRangeError):
        ga.hypervolume_reference = [1.0]


def test_batch_fitness_and_fitness_replace_each_other():
    ga = schaffer_ga(0)
    per_item = lambda ind: 1.0
    batch = lambda g: np.zeros(len(g))
    ga.fitness = per_item
    ga.batch_fitness = batch
    assert ga.fitness is None and ga.batch_fitness is batch
    ga.fitness = None  # removes no batch fitness
    ga.evolve(1)
    assert ga.batch_fitness is batch and ga.max_fitness == 0
    ga.fitness = per_item
    assert ga.batch_fitness is None
    ga.batch_fitness = None  # removes no fitness
    ga.evolve(1)
    assert ga.fitness is per_item and ga.max_fitness == 1
    ga.batch_fitness = batch
    ga.batch_fitness = None
    with pytest.raises(evokit.EGAException, match="No fitness function defined"):
        ga.evolve(1)
    with pytest.raises(TypeError, match="batch_fitness must be callable or None"):
        ga.batch_fitness = 3
