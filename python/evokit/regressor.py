"""SymbolicRegressor: symbolic regression as a scikit-learn style estimator.

The search runs in C++ (the float GP component, the regression fitness and the batch
evaluator) with the GIL released. The fitted program is kept as a tree of tuples, so a
fitted estimator pickles, and `predict` runs it through the same batch evaluator. For
reading, the library simplifies it (linear scaling folded in): `expression_` is the
infix text over the feature names, `sympy_expr()` the SymPy expression.
"""
import numbers

import numpy as np

from . import _evokit

try:  # scikit-learn is optional: with it the estimator joins its tooling (clone, checks, pipelines)
    from sklearn.base import BaseEstimator as _Base, RegressorMixin as _RegressorMixin
    from sklearn.utils.validation import check_is_fitted as _check_is_fitted
    try:  # scikit-learn 1.6 moved input validation into a function
        from sklearn.utils.validation import validate_data as _validate_data
    except ImportError:
        def _validate_data(estimator, *args, **kwargs):
            return estimator._validate_data(*args, **kwargs)
except ImportError:  # without scikit-learn: exercised by a test in an interpreter that blocks it
    _Base, _check_is_fitted = object, None

    class _RegressorMixin:  # a second base of its own: object twice is no class
        pass

# Each parameter and the field of the library's regression settings it sets: the
# settings' defaults are the parameters' defaults.
_FIELDS = {"population_size": "population", "generations": "generations", "tournament_size": "tournament_size",
           "init_depth": "init_depth", "depth_limit": "depth_limit", "size_limit": "size_limit",
           "p_crossover": "crossover_probability", "p_mutation": "mutation_probability",
           "function_set": "function_set", "constants": "constants", "ephemeral_constants": "ephemeral_constants",
           "ephemeral_range": "ephemeral_range", "stopping_error": "stopping_error",
           "linear_scaling": "linear_scaling", "coefficient_iterations": "coefficient_iterations",
           "lamarckian": "lamarckian", "variable_weights": "variable_weights", "linear_seed": "linear_seed",
           "n_jobs": "threads",
           "random_state": "seed", "model_selection": "model_selection",
           "validation_fraction": "validation_fraction", "n_iter_no_change": "patience"}
# Parameters of the Python side only, with their defaults.
_LOCAL = {"verbose": False}
_PARAMS = tuple(_FIELDS) + tuple(_LOCAL)


def _defaults():
    """The parameters' defaults, read from the library's settings (n_jobs -1 for its 0 threads: every core)."""
    settings = _evokit._RegressionSettings()
    values = {name: getattr(settings, field) for name, field in _FIELDS.items()}
    values["n_jobs"] = -1 if values["n_jobs"] == 0 else values["n_jobs"]
    return {**values, **_LOCAL}


_DEFAULTS = _defaults()

# Significant digits of the constants in expression_ and pareto_front_; sympy_expr keeps all.
_DIGITS = 6


def _scaled(tree, slope, intercept):
    """The tree of intercept + slope * tree (tree itself for 0 and 1)."""
    slope, intercept = float(slope), float(intercept)
    if (slope, intercept) == (1.0, 0.0):
        return tree
    return ("Add", ("const", intercept), ("Mul", ("const", slope), tree))


def _feature_names(X):
    """The names of X's columns when it has a `columns` attribute of strings (a DataFrame), else None."""
    columns = getattr(X, "columns", None)
    if columns is None:
        return None
    names = list(columns)
    return np.asarray(names, dtype=object) if names and all(isinstance(name, str) for name in names) else None


def _check_matrix(X, n_features=None):
    """X as a finite 2-D float array, without scikit-learn."""
    if hasattr(X, "toarray"):
        raise TypeError("sparse input is not supported: pass a dense array")
    try:
        arr = np.asarray(X)
        if arr.dtype.kind == "c":
            raise ValueError("complex data is not supported")
        arr = arr.astype(np.float64)
    except ValueError as error:
        raise ValueError(f"X must hold numbers: {error}") from None
    if arr.ndim != 2:
        raise ValueError(f"X must be two-dimensional (samples, features), got {arr.ndim} dimension(s)")
    if arr.shape[0] == 0 or arr.shape[1] == 0:
        raise ValueError(f"X has shape {arr.shape}: at least one sample and one feature are needed")
    if not np.isfinite(arr).all():
        raise ValueError("X contains NaN or infinity")
    if n_features is not None and arr.shape[1] != n_features:
        raise ValueError(f"X has {arr.shape[1]} features, but the estimator was fitted with {n_features}")
    return arr


class SymbolicRegressor(_RegressorMixin, _Base):
    """Evolves a formula y = f(x0, x1, ...) by genetic programming, minimising the mean squared error.

    With linear_scaling each program p is scored as a + b * p with the least-squares a and
    b, so the search looks for the shape of the function and not for its scale.
    function_set names the primitives (Add Sub Mul Div Min Max Neg Abs Square Sqrt Exp Log
    Sin Cos Tanh AQ; AQ(a, b) = a / sqrt(1 + b^2), the analytic quotient, divides without
    a pole), constants the constant terminals; ephemeral_constants adds one more
    whose leaves draw their values uniformly from [-ephemeral_range, ephemeral_range) when
    made. Each new program's constants are tuned by coefficient_iterations
    Levenberg-Marquardt steps (kept in the program when lamarckian); with variable_weights
    every variable leaf is w * x with its own fitted weight w, counted as one node; with
    linear_seed one first program is the sum of the variables, which those weights make
    the linear model, so the search starts from it. n_jobs
    other than 1 evaluates and breeds on that many threads (-1: every core).

    Every generation the run keeps the programs that no other program seen beats on both
    training error and size (`pareto_front_`); `model_selection` picks the model among
    them: "best" the lowest training error seen in the whole run, "validation" the lowest
    error on the validation_fraction of the rows held out of training (which then fit on
    the rest), "knee" the knee of the front, past which a larger program buys little
    error. validation_fraction above 0 also records the validation error in `history_`
    whatever the rule; once the run ends, the front's programs have their coefficients and
    scaling fitted again over every row, the held-out ones included (the choice stands).
    The run stops early once n_iter_no_change generations in a row have not improved on
    the front (the best validation error on it, or with no rows held out the best
    training error); 0 runs all generations. verbose prints one progress line per
    generation.

    `expression_` and the front's entries show the model simplified, linear scaling folded
    in, over the feature names: a DataFrame's string column names (`feature_names_in_`),
    else x0, x1, ...; `sympy_expr()` gives it to SymPy.
    """

    def __init__(self, population_size=_DEFAULTS["population_size"], generations=_DEFAULTS["generations"],
                 tournament_size=_DEFAULTS["tournament_size"], init_depth=_DEFAULTS["init_depth"],
                 depth_limit=_DEFAULTS["depth_limit"], size_limit=_DEFAULTS["size_limit"],
                 p_crossover=_DEFAULTS["p_crossover"],
                 p_mutation=_DEFAULTS["p_mutation"], function_set=_DEFAULTS["function_set"],
                 constants=_DEFAULTS["constants"], ephemeral_constants=_DEFAULTS["ephemeral_constants"],
                 ephemeral_range=_DEFAULTS["ephemeral_range"], stopping_error=_DEFAULTS["stopping_error"],
                 linear_scaling=_DEFAULTS["linear_scaling"],
                 coefficient_iterations=_DEFAULTS["coefficient_iterations"], lamarckian=_DEFAULTS["lamarckian"],
                 variable_weights=_DEFAULTS["variable_weights"], linear_seed=_DEFAULTS["linear_seed"],
                 n_jobs=_DEFAULTS["n_jobs"],
                 random_state=_DEFAULTS["random_state"], model_selection=_DEFAULTS["model_selection"],
                 validation_fraction=_DEFAULTS["validation_fraction"], n_iter_no_change=_DEFAULTS["n_iter_no_change"],
                 verbose=_DEFAULTS["verbose"]):
        self.population_size = population_size
        self.generations = generations
        self.tournament_size = tournament_size
        self.init_depth = init_depth
        self.depth_limit = depth_limit
        self.size_limit = size_limit
        self.p_crossover = p_crossover
        self.p_mutation = p_mutation
        self.function_set = function_set
        self.constants = constants
        self.ephemeral_constants = ephemeral_constants
        self.ephemeral_range = ephemeral_range
        self.stopping_error = stopping_error
        self.linear_scaling = linear_scaling
        self.coefficient_iterations = coefficient_iterations
        self.lamarckian = lamarckian
        self.variable_weights = variable_weights
        self.linear_seed = linear_seed
        self.n_jobs = n_jobs
        self.random_state = random_state
        self.model_selection = model_selection
        self.validation_fraction = validation_fraction
        self.n_iter_no_change = n_iter_no_change
        self.verbose = verbose

    if _Base is object:  # scikit-learn provides these otherwise
        def get_params(self, deep=True):
            return {name: getattr(self, name) for name in _PARAMS}

        def set_params(self, **params):
            for name, value in params.items():
                if name not in _PARAMS:
                    raise ValueError(f"Invalid parameter {name!r} for estimator SymbolicRegressor")
                setattr(self, name, value)
            return self

        def score(self, X, y):
            y = np.asarray(y, dtype=float)
            residual = ((y - self.predict(X)) ** 2).sum()
            return 1.0 - residual / ((y - y.mean()) ** 2).sum()

    def _seed(self):
        state = self.random_state
        if state is None:
            return int(np.random.randint(0, 2**31 - 1))
        if isinstance(state, np.random.RandomState):
            return int(state.randint(0, 2**31 - 1))
        if isinstance(state, numbers.Integral) and not isinstance(state, bool) and state >= 0:
            return int(state)
        raise ValueError(f"random_state must be None, a non-negative int or a RandomState, not {state!r}")

    def _settings(self):
        """The library's settings from the parameters; ValueError or TypeError naming a bad one."""
        values = {}
        for name in ("population_size", "generations", "tournament_size", "init_depth", "depth_limit", "size_limit",
                     "coefficient_iterations", "n_iter_no_change"):
            value = getattr(self, name)
            if not isinstance(value, numbers.Integral) or isinstance(value, bool):
                raise TypeError(f"{name} must be an int, not {type(value).__name__}")
            values[name] = int(value)
        for name in ("p_crossover", "p_mutation", "ephemeral_range", "stopping_error", "validation_fraction"):
            value = getattr(self, name)
            if not isinstance(value, numbers.Real) or isinstance(value, bool):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
            values[name] = float(value)
        for name in ("function_set", "constants", "model_selection"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"{name} must be a string")
            values[name] = getattr(self, name)
        for name in ("linear_scaling", "lamarckian", "ephemeral_constants", "variable_weights", "linear_seed", "verbose"):
            if not isinstance(getattr(self, name), (bool, np.bool_)):
                raise TypeError(f"{name} must be a bool, not {type(getattr(self, name)).__name__}")
            if name != "verbose":
                values[name] = bool(getattr(self, name))
        if not isinstance(self.n_jobs, numbers.Integral) or self.n_jobs == 0 or self.n_jobs < -1:
            raise ValueError(f"n_jobs must be -1 or a positive int, not {self.n_jobs!r}")
        values["n_jobs"] = 0 if self.n_jobs == -1 else int(self.n_jobs)
        values["random_state"] = self._seed()
        if values["depth_limit"] > 100:  # the fitted tree nests a tuple per level, which pickle recurses into
            raise ValueError(f"depth_limit must be 1 to 100, not {values['depth_limit']}")
        if self.model_selection == "validation" and values["validation_fraction"] == 0:
            raise ValueError('model_selection "validation" needs validation_fraction above 0')
        settings = _evokit._RegressionSettings()
        for name, value in values.items():
            setattr(settings, _FIELDS[name], value)
        fields = {field: name for name, field in _FIELDS.items()}
        try:  # the library checks every range; its message names the settings' field
            _evokit._check_settings(settings)
        except ValueError as error:
            field, _, rest = str(error).partition(" ")
            raise ValueError(f"{fields.get(field, field)} {rest}") from None
        return settings

    def fit(self, X, y):
        """Evolves a program for y from the columns of X; returns self."""
        if _Base is object:
            X_in, X = X, _check_matrix(X)
            y = np.asarray(y, dtype=np.float64).ravel()
            if y.shape[0] != X.shape[0]:
                raise ValueError(f"X has {X.shape[0]} samples but y has {y.shape[0]}")
            if not np.isfinite(y).all():
                raise ValueError("y contains NaN or infinity")
            names = _feature_names(X_in)
            if names is not None:
                self.feature_names_in_ = names
            elif hasattr(self, "feature_names_in_"):
                del self.feature_names_in_
            self.n_features_in_ = X.shape[1]
        else:
            X, y = _validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        settings = self._settings()
        if settings.validation_fraction > 0 and X.shape[0] < 2:
            raise ValueError(f"n_samples={X.shape[0]}: validation_fraction needs at least 2 samples to hold rows out")
        result = _evokit._fit_regression(np.ascontiguousarray(X), y.astype(np.float64), settings, bool(self.verbose))
        front = result["front"]
        names = self._display_names()
        simplified = [_evokit._simplify(_scaled(tree, slope, intercept)) for _, _, _, tree, _, slope, intercept in front]
        self.pareto_front_ = [(entry[0], float(entry[1]), _evokit._expression_text(expression, names, _DIGITS))
                              for entry, expression in zip(front, simplified)]
        size, error, held, tree, prefix, slope, intercept = front[result["chosen"]]
        self._model = _scaled(tree, slope, intercept)
        self._expression = simplified[result["chosen"]]
        self.expression_ = self.pareto_front_[result["chosen"]][2]
        self.program_ = prefix
        self.tree_ = tree
        self.training_error_ = float(error)
        self.validation_error_ = float(held)
        self.n_generations_ = int(result["generations"])
        self.program_size_ = int(size)
        self.mean_program_size_ = float(result["mean_size"])
        self.history_ = {name: np.asarray(values) for name, values in result["history"].items()}
        return self

    def predict(self, X):
        """The fitted program's value for each row of X."""
        if _check_is_fitted is not None:
            _check_is_fitted(self, "expression_")
            X = _validate_data(self, X, reset=False, dtype=np.float64)
        else:
            if not hasattr(self, "expression_"):
                raise AttributeError("this SymbolicRegressor is not fitted yet: call fit first")
            X = _check_matrix(X, self.n_features_in_)
        return _evokit._evaluate_tree(self._model, X)

    def sympy_expr(self):
        """The fitted model, simplified, as a SymPy expression over real symbols named as the features.

        Every digit of the constants is kept. SymPy has no protected operators: "/" is plain
        division, log(a) reads log(Abs(a)) and sqrt(a) sqrt(Abs(a)), so the expression agrees
        with predict but where the program divides by zero.
        """
        try:
            import sympy
        except ImportError:
            raise ImportError("SymbolicRegressor.sympy_expr needs SymPy, which is not installed "
                              "(pip install sympy, or apt-get install python3-sympy)") from None
        if not hasattr(self, "expression_"):
            raise AttributeError("this SymbolicRegressor is not fitted yet: call fit first")
        names = self._display_names()
        # The text names the features x0, x1, ...: valid identifiers whatever the features' names.
        symbols = {f"x{j}": sympy.Symbol(names.get(f"x{j}", f"x{j}"), real=True) for j in range(self.n_features_in_)}
        return sympy.sympify(_evokit._expression_text(self._expression, {}, 17, sympy=True), locals=symbols)

    def _display_names(self):
        """The feature names by the program's variable names (x0, x1, ...); empty without names."""
        names = getattr(self, "feature_names_in_", None)
        return {} if names is None else {f"x{j}": str(name) for j, name in enumerate(names)}
