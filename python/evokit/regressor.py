"""SymbolicRegressor: symbolic regression as a scikit-learn style estimator.

The search runs in C++ (the float GP component, the regression fitness and the batch
evaluator) with the GIL released. The fitted program is kept as a tree of tuples, so a
fitted estimator pickles, and is turned into a Python expression over numpy that
`predict` evaluates.
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
except ImportError:  # pragma: no cover - exercised only without scikit-learn
    _Base, _RegressorMixin, _check_is_fitted = object, object, None

_PARAMS = ("population_size", "generations", "tournament_size", "init_depth", "depth_limit", "p_crossover",
           "p_mutation", "function_set", "constants", "stopping_error", "linear_scaling", "n_jobs", "random_state")

# How each primitive reads in the expression: infix for the arithmetic, otherwise a call
# of a helper below that computes the primitive as the library does (protected division,
# logarithm and square root).
_INFIX = {"Add": "+", "Sub": "-", "Mul": "*"}
_CALLS = {"Div": "div", "Min": "minimum", "Max": "maximum", "Neg": "neg", "Abs": "absolute", "Square": "square",
          "Sqrt": "sqrt", "Exp": "exp", "Log": "log", "Sin": "sin", "Cos": "cos", "Tanh": "tanh"}


def _div(a, b):
    b = np.asarray(b, dtype=float)
    with np.errstate(all="ignore"):
        return np.where(b == 0, 1.0, np.asarray(a, dtype=float) / np.where(b == 0, 1.0, b))


def _log(a):
    a = np.abs(np.asarray(a, dtype=float))
    with np.errstate(all="ignore"):
        return np.where(a == 0, 0.0, np.log(np.where(a == 0, 1.0, a)))


_NAMESPACE = {
    "div": _div, "log": _log, "sqrt": lambda a: np.sqrt(np.abs(a)), "exp": np.exp, "sin": np.sin, "cos": np.cos,
    "tanh": np.tanh, "neg": np.negative, "absolute": np.abs, "square": lambda a: a * a,
    "minimum": lambda a, b: np.where(b < a, b, a), "maximum": lambda a, b: np.where(a < b, b, a),
}


def _expression(tree):
    """The Python text of a tree of ("var", name), ("const", value) and (function, child...)."""
    head = tree[0]
    if head == "var":
        return tree[1]
    if head == "const":
        return repr(float(tree[1]))
    args = [_expression(child) for child in tree[1:]]
    if head in _INFIX and len(args) == 2:
        return f"({args[0]} {_INFIX[head]} {args[1]})"
    return f"{_CALLS.get(head, head.lower())}({', '.join(args)})"


def program_function(expression, n_features):
    """A callable f(X) evaluating `expression` (over x0 .. x{n_features-1}) for each row of X."""
    names = ", ".join(f"x{j}" for j in range(n_features))
    code = eval(f"lambda {names}: {expression}", dict(_NAMESPACE))  # noqa: S307 - text this module generated

    def predict(X):
        X = np.asarray(X, dtype=float)
        with np.errstate(all="ignore"):
            out = code(*(X[:, j] for j in range(n_features)))
        return np.broadcast_to(np.asarray(out, dtype=float), (X.shape[0],)).copy()

    return predict


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
    Sin Cos Tanh), constants the constant terminals; n_jobs other than 1 evaluates and
    breeds on that many threads (-1: every core).
    """

    def __init__(self, population_size=500, generations=50, tournament_size=7, init_depth=6, depth_limit=17,
                 p_crossover=0.9, p_mutation=0.1, function_set="Add Sub Mul Div", constants="1",
                 stopping_error=0.0, linear_scaling=True, n_jobs=1, random_state=None):
        self.population_size = population_size
        self.generations = generations
        self.tournament_size = tournament_size
        self.init_depth = init_depth
        self.depth_limit = depth_limit
        self.p_crossover = p_crossover
        self.p_mutation = p_mutation
        self.function_set = function_set
        self.constants = constants
        self.stopping_error = stopping_error
        self.linear_scaling = linear_scaling
        self.n_jobs = n_jobs
        self.random_state = random_state

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
        s = _evokit._RegressionSettings()
        for attr, name in (("population", "population_size"), ("generations", "generations"),
                           ("tournament_size", "tournament_size"), ("init_depth", "init_depth"),
                           ("depth_limit", "depth_limit")):
            value = getattr(self, name)
            if not isinstance(value, numbers.Integral) or isinstance(value, bool):
                raise TypeError(f"{name} must be an int, not {type(value).__name__}")
            setattr(s, attr, int(value))
        if not 1 <= s.depth_limit <= 100 or not 0 <= s.init_depth <= s.depth_limit:
            # The expression nests one level per tree level, and Python's parser stops at 200.
            raise ValueError("depth_limit must be 1 to 100 and init_depth 0 to depth_limit")
        for attr, name in (("crossover_probability", "p_crossover"), ("mutation_probability", "p_mutation"),
                           ("stopping_error", "stopping_error")):
            value = getattr(self, name)
            if not isinstance(value, numbers.Real) or not np.isfinite(value):
                raise ValueError(f"{name} must be a finite number, not {value!r}")
            setattr(s, attr, float(value))
        for name in ("function_set", "constants"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"{name} must be a string of names separated by spaces")
        s.function_set, s.constants = self.function_set, self.constants
        s.linear_scaling = bool(self.linear_scaling)
        if not isinstance(self.n_jobs, numbers.Integral) or self.n_jobs == 0 or self.n_jobs < -1:
            raise ValueError(f"n_jobs must be -1 or a positive int, not {self.n_jobs!r}")
        s.threads = 0 if self.n_jobs == -1 else int(self.n_jobs)
        s.seed = self._seed()
        return s

    def fit(self, X, y):
        """Evolves a program for y from the columns of X; returns self."""
        if _Base is object:
            X = _check_matrix(X)
            y = np.asarray(y, dtype=np.float64).ravel()
            if y.shape[0] != X.shape[0]:
                raise ValueError(f"X has {X.shape[0]} samples but y has {y.shape[0]}")
            if not np.isfinite(y).all():
                raise ValueError("y contains NaN or infinity")
            self.n_features_in_ = X.shape[1]
        else:
            X, y = _validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        settings = self._settings()
        result = _evokit._fit_regression(np.ascontiguousarray(X), y.astype(np.float64), settings)
        body = _expression(result["tree"])
        slope, intercept = float(result["slope"]), float(result["intercept"])
        self.program_ = result["prefix"]
        self.expression_ = body if (slope, intercept) == (1.0, 0.0) else f"{intercept!r} + {slope!r} * {body}"
        self.tree_ = result["tree"]
        self.training_error_ = float(result["error"])
        self.n_generations_ = int(result["generations"])
        self.program_size_ = int(result["size"])
        self.mean_program_size_ = float(result["mean_size"])
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
        return program_function(self.expression_, self.n_features_in_)(X)
