"""evokit: genetic algorithms and genetic programming, computed in C++.

GeneticAlgorithm evolves bit-string chromosomes with a Python (or built-in) fitness;
SymbolicRegressor is a scikit-learn style estimator built on the float GP component.
Library errors raise the ...Error classes, all under Error; the library's own names of
them (EGAException, EListError, ...) remain as aliases.
"""
from . import _evokit
from ._evokit import *  # noqa: F401,F403  (the extension's classes, enums and exceptions)
from ._evokit import (Error, FitnessMethod, SelectionMethod, CrossoverMethod, GeneticOperation,  # noqa: F401
                      GeneType, GeneticAlgorithm, Individual, Population, rand_seed, set_max_threads,
                      GeneticProgramming, InitializationMethod, BloatStrategy, RegressionMetric, Program,
                      ProgramPopulation)
from .regressor import SymbolicRegressor  # noqa: F401

# The public names, the aliases of the exception classes left out.
__all__ = [name for name, value in list(globals().items())
           if not name.startswith("_") and type(value) is not type(_evokit) and getattr(value, "__name__", name) == name]
