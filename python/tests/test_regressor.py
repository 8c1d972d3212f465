import functools
import pickle

import numpy as np
import pytest
from sklearn.utils.estimator_checks import parametrize_with_checks

from evokit import SymbolicRegressor, _evokit

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
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(X), model.predict(X))


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
    ({"size_limit": 4}, ValueError), ({"coefficient_iterations": -1}, ValueError), ({"ephemeral_range": 0.0}, ValueError),
    ({"ephemeral_range": "1"}, TypeError), ({"n_iter_no_change": -1}, ValueError),
])
def test_bad_parameters_raise_at_fit_naming_the_parameter(params, error):
    model = SymbolicRegressor(population_size=10, generations=1).set_params(**params)
    with pytest.raises(error, match=next(iter(params))) as raised:
        model.fit(X, Y)
    if params.get("function_set") == "Add Sine":  # refused, not taken for a variable; the primitives listed
        assert "Sine" in str(raised.value) and "Sin Cos" in str(raised.value)
    assert model.get_params()[next(iter(params))] is params[next(iter(params))]


def test_n_iter_no_change_ends_the_run_as_a_run_of_that_length_ends():
    rng = np.random.RandomState(2)
    X2 = rng.uniform(-2, 2, size=(80, 2))
    Y2 = X2[:, 0] * X2[:, 1] + rng.normal(0, 0.5, 80)
    common = dict(population_size=40, random_state=6)
    stopped = SymbolicRegressor(generations=400, n_iter_no_change=4, **common).fit(X2, Y2)
    assert 4 <= stopped.n_generations_ < 400
    same = SymbolicRegressor(generations=stopped.n_generations_, n_iter_no_change=0, **common).fit(X2, Y2)
    assert same.expression_ == stopped.expression_
    np.testing.assert_array_equal(same.history_["validation_error"], stopped.history_["validation_error"])


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
    assert fits["validation"].validation_error_ == min(f.validation_error_ for f in fits.values())
    assert fits["knee"].program_size_ <= fits["best"].program_size_
    history = fits["validation"].history_
    assert len(history["validation_error"]) == len(history["best_error"]) == len(history["average_size"]) == 7
    assert np.all(history["average_size"] >= 1) and np.isfinite(history["validation_error"]).all()


def test_gp_component_refuses_bad_regression_data():  # the GP run itself: test_events
    from evokit import EDataTableError, GeneticProgramming, RegressionMetric
    gp = GeneticProgramming()
    gp.add_instructions("Add Sub Mul Div x")
    with pytest.raises(EDataTableError, match="NaN|finite"):
        gp.set_regression_data(np.where(X > 0, np.nan, X), Y, ["x"], RegressionMetric.MEAN_SQUARED_ERROR)


def test_defaults_come_from_the_library_and_the_stub_agrees():
    import ast
    import inspect
    import os
    import evokit
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
        assert "validation_error" not in model.history_ and len(model.history_["best_error"]) == model.n_generations_ + 1


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
    assert unfit[0] == 1 and unfit[1] > 1  # every larger program unfit, then none


EVERY_PRIMITIVE = "Add Sub Mul Div Min Max Neg Abs Square Sqrt Exp Log Sin Cos Tanh AQ"


class Frame:
    """Just enough of a DataFrame for scikit-learn: an array with named columns."""

    def __init__(self, data, columns):
        self.data, self.columns, self.shape = np.asarray(data, dtype=float), list(columns), np.shape(data)

    def __array__(self, dtype=None):
        return self.data if dtype is None else self.data.astype(dtype)

    def __len__(self):
        return len(self.data)


def _size(tree):
    return 1 if tree[0] in ("var", "const") else 1 + sum(_size(child) for child in tree[1:])


# The simplified model, scaling folded in, is what sympy_expr translates: its values are predict's.
def test_sympy_expr_agrees_with_predict(monkeypatch):
    sympy = pytest.importorskip("sympy")
    rng = np.random.RandomState(4)
    data = rng.uniform(0.5, 2, size=(60, 2))
    y = np.log(data[:, 0]) / data[:, 1] + np.sqrt(data[:, 1])
    names = ["x1", "x0"]  # each the program's name of the other column
    fresh = rng.uniform(-3, 3, size=(300, 2))
    shrunk = 0
    for seed in range(8):
        model = SymbolicRegressor(population_size=100, generations=8, random_state=seed, function_set=EVERY_PRIMITIVE,
                                  constants="1 0.3").fit(Frame(data, names), y)
        assert list(model.feature_names_in_) == names
        # Smaller than the program with its scaling a + b * p; smaller than the program alone on some seed.
        assert _size(model._expression) <= _size(model.tree_) + 4
        shrunk += _size(model._expression) < _size(model.tree_)
        expression = model.sympy_expr()
        symbols = [sympy.Symbol(name, real=True) for name in names]
        assert expression.free_symbols <= set(symbols)
        # Min and Max of any number of arguments, constants among them, element by element.
        plain = expression.replace(sympy.Min, sympy.Function("least")).replace(sympy.Max, sympy.Function("most"))
        modules = [{"least": lambda *a: functools.reduce(np.minimum, a),
                    "most": lambda *a: functools.reduce(np.maximum, a)}, "numpy"]
        values = np.broadcast_to(sympy.lambdify(symbols, plain, modules)(*fresh.T), len(fresh))
        predicted = model.predict(Frame(fresh, names))
        finite = np.isfinite(values) & np.isfinite(predicted)
        assert finite.mean() > 0.9, model.expression_
        # Weighted terms summed in another order may cancel: the bound follows the values' scale.
        np.testing.assert_allclose(values[finite], predicted[finite], rtol=1e-9,
                                   atol=1e-9 * np.abs(predicted[finite]).max(), err_msg=str(expression))
    assert shrunk
    monkeypatch.setitem(__import__("sys").modules, "sympy", None)
    with pytest.raises(ImportError, match="needs SymPy"):
        model.sympy_expr()


def test_without_scikit_learn():
    # The fallbacks of fit, predict, score and the parameters, in an interpreter where
    # scikit-learn cannot be imported.
    import inspect
    script = """
import sys
sys.modules["sklearn"] = None
import numpy as np
import pytest
from evokit import SymbolicRegressor
""" + inspect.getsource(Frame) + """
data = np.random.RandomState(0).uniform(1, 2, size=(40, 2))
y = data[:, 0] * data[:, 1]
model = SymbolicRegressor(population_size=100, generations=5, random_state=0).set_params(validation_fraction=0.2)
model.fit(Frame(data, ["a", "b"]), y)
assert list(model.feature_names_in_) == ["a", "b"] and "a" in model.expression_, model.expression_
assert model.score(data, y) > 0.9 and model.get_params()["validation_fraction"] == 0.2
model.fit(data, y)
assert not hasattr(model, "feature_names_in_") and "x0" in model.expression_, model.expression_
for bad in ([1.0, 2.0], np.full((3, 2), np.nan)):
    with pytest.raises(ValueError):
        model.predict(bad)
"""
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
