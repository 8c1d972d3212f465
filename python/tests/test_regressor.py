import math
import pickle

import numpy as np
import pytest
from sklearn.utils.estimator_checks import parametrize_with_checks

from evokit import SymbolicRegressor, program_function

X = np.linspace(-1, 1, 20, endpoint=False).reshape(-1, 1)
Y = (X**4 + X**3 + X**2 + X).ravel()
ALL_ROWS = {"model_selection": "best", "validation_fraction": 0.0}  # trained on every row


@parametrize_with_checks([SymbolicRegressor(population_size=60, generations=5, random_state=0)])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def test_fits_the_quartic_and_its_expression_predicts_the_same():
    model = SymbolicRegressor(random_state=3, linear_scaling=False, stopping_error=1e-12).fit(X, Y)
    assert model.training_error_ < 1e-12 and model.score(X, Y) > 0.999999
    assert model.n_generations_ <= 50 and model.program_.startswith("(")
    np.testing.assert_allclose(model.predict(X), Y, atol=1e-6)
    np.testing.assert_array_equal(program_function(model.expression_, 1)(X), model.predict(X))
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(X), model.predict(X))


def test_training_error_is_the_error_of_predict_over_every_row():
    # Two features and an outlying first row: a row or a column lost or swapped on the
    # way to the library would change the error the run reports.
    X2 = np.column_stack([X.ravel(), np.cos(3 * X.ravel())])
    Y2 = X2[:, 0] * 2 - X2[:, 1]
    Y2[0] = 100.0
    model = SymbolicRegressor(population_size=50, generations=3, random_state=1, linear_scaling=False,
                              **ALL_ROWS).fit(X2, Y2)
    assert model.training_error_ == pytest.approx(np.mean((model.predict(X2) - Y2) ** 2), rel=1e-9)


def test_protected_primitives_in_the_expression():
    f = program_function("div(x0, x1) + log(x1) + sqrt(x0)", 2)
    np.testing.assert_array_equal(f([[4.0, 0.0], [-4.0, 2.0]]), [1 + 0 + 2, -2 + np.log(2) + 2])


def test_threads_give_the_same_program():
    fits = [SymbolicRegressor(population_size=100, generations=10, random_state=5, n_jobs=n).fit(X, Y)
            for n in (1, 2, -1)]
    assert len({f.program_ for f in fits}) == 1


@pytest.mark.parametrize("x,y,error,match", [
    ([["a"], ["b"]], [1, 2], ValueError, "could not convert"),
    (X, Y[:-1], ValueError, "inconsistent numbers of samples"),
    (np.where(X > 0.5, np.nan, X), Y, ValueError, "NaN"),
    (X.ravel(), Y, ValueError, "2D array"),
    ([[{"a": 1}]], [1], TypeError, "number"),
])
def test_bad_data_raises(x, y, error, match):
    with pytest.raises(error, match=match):
        SymbolicRegressor(population_size=10, generations=1).fit(x, y)


@pytest.mark.parametrize("params,error", [
    ({"population_size": 1}, ValueError), ({"generations": 1.5}, TypeError), ({"generations": 0}, ValueError),
    ({"tournament_size": 0}, ValueError), ({"init_depth": 9, "depth_limit": 8}, ValueError),
    ({"depth_limit": 101}, ValueError), ({"p_crossover": 2.0}, ValueError), ({"p_mutation": -0.1}, ValueError),
    ({"p_crossover": float("inf")}, ValueError), ({"stopping_error": float("nan")}, ValueError),
    ({"function_set": ["Add"]}, TypeError), ({"function_set": "Add Sine"}, ValueError),
    ({"constants": "1 pi"}, ValueError), ({"n_jobs": 0}, ValueError), ({"random_state": -1}, ValueError),
    ({"model_selection": "newest"}, ValueError), ({"validation_fraction": 0.0}, ValueError),
    ({"validation_fraction": 0.9}, ValueError), ({"linear_scaling": "yes"}, TypeError), ({"verbose": 1.0}, TypeError),
    ({"size_limit": 4}, ValueError), ({"coefficient_iterations": -1}, ValueError),
    ({"coefficient_iterations": 1.0}, TypeError), ({"lamarckian": 0}, TypeError),
])
def test_bad_parameters_raise_at_fit_naming_the_parameter(params, error):
    model = SymbolicRegressor(population_size=10, generations=1).set_params(**params)
    with pytest.raises(error, match=next(iter(params))) as raised:
        model.fit(X, Y)
    if params.get("function_set") == "Add Sine":  # refused, not taken for a variable; the primitives listed
        assert "Sine" in str(raised.value) and "Sin Cos" in str(raised.value)
    assert model.get_params()[next(iter(params))] is params[next(iter(params))]


def test_the_model_is_the_best_program_of_the_whole_run_and_the_front_holds_it():
    # A noisy target on which the last generation's fittest is often worse than an earlier one.
    rng = np.random.RandomState(0)
    X2 = rng.uniform(-2, 2, size=(60, 2))
    Y2 = np.sin(X2[:, 0]) * X2[:, 1] + rng.normal(0, 0.3, 60)
    wandered = 0
    for seed in range(3):
        model = SymbolicRegressor(population_size=30, generations=15, tournament_size=2, p_crossover=0.5,
                                  p_mutation=0.5, random_state=seed, **ALL_ROWS).fit(X2, Y2)
        best = model.history_["best_error"]
        wandered += model.training_error_ < best[-1]
        assert len(best) == model.n_generations_ + 1 and "validation_error" not in model.history_
        assert model.training_error_ == best.min() <= best[-1]
        assert model.training_error_ == pytest.approx(np.mean((model.predict(X2) - Y2) ** 2), rel=1e-9)
        sizes = [size for size, _, _ in model.pareto_front_]
        errors = [error for _, error, _ in model.pareto_front_]
        assert sizes == sorted(set(sizes)) and errors == sorted(errors, reverse=True)
        assert model.pareto_front_[-1] == (model.program_size_, model.training_error_, model.expression_)
        for size, error, expression in model.pareto_front_:
            assert np.mean((program_function(expression, 2)(X2) - Y2) ** 2) == pytest.approx(error, rel=1e-9)
    assert wandered  # the last generation's fittest would have been the worse model


def test_selection_by_validation_and_knee(capsys):
    rng = np.random.RandomState(1)
    X2 = rng.uniform(-2, 2, size=(80, 2))
    Y2 = X2[:, 0] ** 2 + 0.5 * X2[:, 1] + rng.normal(0, 0.1, 80)
    common = dict(population_size=60, generations=6, random_state=4, validation_fraction=0.25)
    fits = {rule: SymbolicRegressor(model_selection=rule, verbose=rule == "knee", **common).fit(X2, Y2)
            for rule in ("best", "validation", "knee")}
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 7 and lines[0].startswith("gen 0") and "validation error" in lines[-1]
    # The same run each time: only the pick differs.
    assert len({str(f.pareto_front_) for f in fits.values()}) == 1
    front = fits["best"].pareto_front_
    assert fits["best"].expression_ == front[-1][2]
    held = {f.expression_: f.validation_error_ for f in fits.values()}
    assert fits["validation"].validation_error_ == min(held.values())
    assert fits["knee"].program_size_ <= fits["best"].program_size_
    history = fits["validation"].history_
    assert len(history["validation_error"]) == len(history["best_error"]) == len(history["average_size"]) == 7
    assert np.all(history["average_size"] >= 1) and np.isfinite(history["validation_error"]).all()


def test_gp_component_with_regression_data():
    from evokit import BloatStrategy, EDataTableError, GeneticProgramming, RegressionMetric, rand_seed
    gp = GeneticProgramming(initial_population=200, tournament_field=7, bloat_strategy=BloatStrategy.DEPTH_LIMIT,
                            bloat_limit=17, use_fitness_cutoff=True, fitness_cutoff=1e-20)
    gp.add_instructions("Add Sub Mul Div x")
    with pytest.raises(EDataTableError, match="NaN|finite"):
        gp.set_regression_data(np.where(X > 0, np.nan, X), Y, ["x"], RegressionMetric.MEAN_SQUARED_ERROR)
    with pytest.raises(TypeError):
        gp.set_regression_data(X, Y, ["x"], 0)
    gp.set_regression_data(X, Y, ["x"], RegressionMetric.MEAN_SQUARED_ERROR)
    assert gp.fittest_program is None and gp.instruction_names == ["Add", "Sub", "Mul", "Div", "x"]
    rand_seed(2)  # unseeded, about one run in forty missed the exact quartic
    gp.parallel_evolve(100)
    assert gp.min_fitness < 1e-20 and gp.fittest_tree[0] in ("Add", "Sub", "Mul", "Div")
    copy = GeneticProgramming()
    copy.add_instructions("Add Sub Mul Div x")
    copy.set_regression_data(X, Y, ["x"], RegressionMetric.MEAN_SQUARED_ERROR)
    copy.load_from_string(gp.save_to_string())
    assert (copy.min_fitness, copy.avg_program_size) == (gp.min_fitness, gp.avg_program_size)


def test_defaults_come_from_the_library_and_the_stub_agrees():
    import ast
    import inspect
    import os
    import evokit
    from evokit import _evokit
    from evokit.regressor import _FIELDS, _LOCAL
    signature = {name: p.default for name, p in inspect.signature(SymbolicRegressor).parameters.items()}
    settings = _evokit._RegressionSettings()
    assert signature == {**{name: getattr(settings, field) for name, field in _FIELDS.items()}, **_LOCAL}
    stub = ast.parse(open(os.path.join(os.path.dirname(evokit.__file__), "__init__.pyi")).read())
    regressor = next(node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "SymbolicRegressor")
    init = next(node for node in regressor.body if isinstance(node, ast.FunctionDef) and node.name == "__init__")
    stubbed = dict(zip((a.arg for a in init.args.args[1:]), (ast.literal_eval(d) for d in init.args.defaults)))
    assert {k: (type(v), v) for k, v in stubbed.items()} == {k: (type(v), v) for k, v in signature.items()}


def test_predict_gives_the_values_the_fit_scored():
    # With transcendental primitives too: the training error is the library's mean squared
    # error, summed in row order, so the same predictions give it to the bit.
    X2 = np.column_stack([X.ravel(), np.cos(3 * X.ravel())])
    Y2 = np.sin(X2[:, 0]) * 2 - X2[:, 1]
    for seed in range(4):
        model = SymbolicRegressor(population_size=80, generations=8, random_state=seed, linear_scaling=False,
                                  function_set="Add Sub Mul Div Sin Cos Exp Log Sqrt Tanh", **ALL_ROWS).fit(X2, Y2)
        residuals = Y2 - model.predict(X2)
        assert model.training_error_ == sum(r * r for r in residuals) / len(Y2), model.expression_


@pytest.mark.parametrize("expression,expected", [
    ("(x0 + x1)", lambda a, b: a + b), ("(x0 - x1)", lambda a, b: a - b), ("(x1 * x0)", lambda a, b: b * a),
    ("div(x0, x1)", lambda a, b: 1.0 if b == 0 else a / b),
    ("minimum(x0, x1)", lambda a, b: b if b < a else a), ("maximum(x1, x0)", lambda a, b: a if b < a else b),
    ("neg(x0)", lambda a, b: -a), ("absolute(x1)", lambda a, b: abs(b)), ("square(x0)", lambda a, b: a * a),
    ("sqrt(x0)", lambda a, b: math.sqrt(abs(a))), ("exp(x1)", lambda a, b: math.exp(b)),
    ("log(x1)", lambda a, b: 0.0 if b == 0 else math.log(abs(b))), ("sin(x0)", lambda a, b: math.sin(a)),
    ("cos(x1)", lambda a, b: math.cos(b)), ("tanh(x0)", lambda a, b: math.tanh(a)),
    ("0.25 + -1.5 * (x0 - -2.0)", lambda a, b: 0.25 + -1.5 * (a + 2.0)),
])
def test_expressions_run_on_the_library_primitives(expression, expected):
    rows = [[4.0, 0.0], [-2.5, 2.0], [0.0, -0.75], [0.5, 0.5]]
    np.testing.assert_array_equal(program_function(expression, 2)(rows), [expected(a, b) for a, b in rows])


@pytest.mark.parametrize("expression", ["(x0 / x1)", "x2", "pow(x0, 2)", "div(x0)", "(x0 +", "__import__('os').getcwd()"])
def test_program_function_refuses_what_is_no_program(expression):
    with pytest.raises(ValueError):
        program_function(expression, 2)([[1.0, 2.0]])


def test_tarpeian_probability_reaches_the_strategy():
    from evokit import BloatStrategy, GeneticProgramming, InitializationMethod, RegressionMetric, rand_seed
    unfit = []
    for probability in (1.0, 0.0):
        gp = GeneticProgramming(initial_population=40, bloat_strategy=BloatStrategy.TARPEIAN_SIZE,
                                tarpeian_probability=probability, initialization_depth=4,
                                initialization_method=InitializationMethod.RAMPED_HALF_AND_HALF)
        gp.add_instructions("Add Mul x 1")
        gp.set_regression_data(X, Y, ["x"], RegressionMetric.MEAN_SQUARED_ERROR)
        rand_seed(1)
        gp.initialize()
        sizes, fitness = np.array([p.size for p in gp.population]), gp.population.fitness()
        unfit.append(len(set(fitness[sizes > sizes.mean()])))
        for bad, error in [(float("nan"), ValueError), ("0.5", TypeError)]:
            with pytest.raises(error):
                gp.tarpeian_probability = bad
            assert gp.tarpeian_probability == probability
    assert unfit[0] == 1 and unfit[1] > 1  # every larger program unfit, then none
