# Type stubs of the evokit package, for editors and type checkers.
import enum
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence, overload

import numpy as np
import numpy.typing as npt

class Error(Exception): ...
class ListError(Error, IndexError): ...
class ArgumentOutOfRangeError(Error, ValueError): ...
class ConvertError(Error, ValueError): ...
class InvalidCastError(Error, TypeError): ...
class VariantTypeCastError(Error, TypeError): ...
class StreamError(Error, OSError): ...
class FileOpenError(StreamError): ...
class FileCreateError(StreamError): ...
class ReadError(StreamError): ...
class XMLDocError(Error, ValueError): ...
class ComponentError(Error): ...
class DataTableError(Error, ValueError): ...
class MXError(Error): ...
class GAError(MXError): ...
class GPError(GAError): ...

# The library's names of the exception classes.
EListError = ListError
EArgumentOutOfRangeException = ArgumentOutOfRangeError
EConvertError = ConvertError
EInvalidCast = InvalidCastError
EVariantTypeCastError = VariantTypeCastError
EStreamError = StreamError
EFOpenError = FileOpenError
EFCreateError = FileCreateError
EReadError = ReadError
EXMLDocError = XMLDocError
EComponentError = ComponentError
EDataTableError = DataTableError
EMXException = MXError
EGAException = GAError
EGPException = GPError

class FitnessMethod(enum.IntEnum):
    MINIMIZE = 0
    MAXIMIZE = 1
    WEIGHTED_MINIMIZE = 2
    WEIGHTED_MAXIMIZE = 3

class SelectionMethod(enum.IntEnum):
    ROULETTE = 0
    RANDOM = 1
    TOURNAMENT = 2
    STOCHASTIC_TOURNAMENT = 3
    ELITIST = 4
    CUSTOM = 5
    NSGA2 = 6

class ObjectiveSense(enum.IntEnum):
    MINIMIZE = 0
    MAXIMIZE = 1

class CrossoverMethod(enum.IntEnum):
    GENE_BOUNDARY = 0
    BIT_BOUNDARY = 1
    BYTE_BOUNDARY = 2
    WORD_BOUNDARY = 3
    LONGWORD_BOUNDARY = 4
    SIMULATED_BINARY = 5

class MutationMethod(enum.IntEnum):
    BIT_FLIP = 0
    POLYNOMIAL = 1

class GeneticOperation(enum.IntEnum):
    CROSSOVER = 0
    MUTATE = 1
    INVERT = 2

class GeneType(enum.IntEnum):
    UNKNOWN = 0
    BOOLEAN = 1
    INTEGER = 2
    FLOAT = 3
    ENUMERATION = 4

class InitializationMethod(enum.IntEnum):
    FULL = 0
    GROW = 1
    RAMPED_FULL = 2
    RAMPED_GROW = 3
    HALF_AND_HALF = 4
    RAMPED_HALF_AND_HALF = 5

class BloatStrategy(enum.IntEnum):
    NONE = 0
    SIZE_LIMIT = 1
    DEPTH_LIMIT = 2
    TARPEIAN_SIZE = 3
    TARPEIAN_DEPTH = 4
    UNFIT_SIZE = 5
    UNFIT_DEPTH = 6
    SHRINK_DEPTH = 7
    SHRINK_SIZE = 8
    HOIST_DEPTH = 9
    HOIST_SIZE = 10
    SIZE_FAIR_CROSSOVER = 11
    DEPTH_FAIR_CROSSOVER = 12
    SIZE_PARSIMONY_PRESSURE = 13
    DEPTH_PARSIMONY_PRESSURE = 14
    COVARIANT_SIZE_PARSIMONY_PRESSURE = 15
    COVARIANT_DEPTH_PARSIMONY_PRESSURE = 16
    LEXICOGRAPHIC_PARSIMONY_PRESSURE = 17

class GPCrossoverMethod(enum.IntEnum):
    SUBTREE = 0

class PointMutationMethod(enum.IntEnum):
    PER_NODE = 0
    PER_TREE = 1

class RegressionMetric(enum.IntEnum):
    MEAN_SQUARED_ERROR = 0
    MEAN_ABSOLUTE_ERROR = 1
    R_SQUARED = 2

class Individual:
    @property
    def fitness(self) -> float: ...
    @property
    def index(self) -> int: ...
    @property
    def objectives(self) -> npt.NDArray[np.float64]: ...
    bits: npt.NDArray[np.uint8]
    genes: npt.NDArray[np.float64]
    @property
    def count_set_bits(self) -> int: ...
    def gene(self, key: int | str) -> bool | int | float | str: ...
    def set_gene(self, key: int | str, value: bool | int | float | str) -> None: ...

class Population(Sequence[Individual]):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> Individual: ...  # type: ignore[override]
    def __iter__(self) -> Iterator[Individual]: ...
    def bits(self) -> npt.NDArray[np.uint8]: ...
    def fitness(self) -> npt.NDArray[np.float64]: ...

class Program:
    @property
    def fitness(self) -> float: ...
    @property
    def index(self) -> int: ...
    @property
    def objectives(self) -> npt.NDArray[np.float64]: ...
    @property
    def text(self) -> str: ...
    @property
    def size(self) -> int: ...
    @property
    def depth(self) -> int: ...
    @property
    def tree(self) -> Optional[tuple]: ...
    @overload
    def evaluate(self, X: None = None) -> npt.NDArray[np.float64]: ...
    @overload
    def evaluate(self, X: npt.ArrayLike) -> npt.NDArray[np.float64] | float: ...

class ProgramPopulation(Sequence[Program]):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> Program: ...  # type: ignore[override]
    def __iter__(self) -> Iterator[Program]: ...
    def fitness(self) -> npt.NDArray[np.float64]: ...

_Veto = Optional[bool]

class _Component:
    def __init__(self, **properties: Any) -> None: ...
    crossover_probability: float
    mutation_probability: float
    inversion_probability: float
    diversity_limit: float
    elitist_pct: float
    fitness_cutoff: float
    initial_population: int
    initial_duplicates_retries: int
    generation_limit: int
    tournament_field: int
    generation: int
    use_fitness_cutoff: bool
    use_diversity_limit: bool
    use_generation_limit: bool
    halt: bool
    fitness_method: FitnessMethod
    selection_method: SelectionMethod
    operations: set[GeneticOperation]
    objective_count: int
    objective_senses: list[ObjectiveSense]
    hypervolume_reference: list[float]
    on_evolve: Optional[Callable[[], None]]
    # The individual views are Individual (GeneticAlgorithm) or Program (GeneticProgramming).
    on_selection: Optional[Callable[[Any], Any]]
    on_mutation: Optional[Callable[[Any], _Veto]]
    on_inversion: Optional[Callable[[Any], _Veto]]
    on_reproduction: Optional[Callable[[Any, bool], _Veto]]
    on_initialize_child: Optional[Callable[[Any, Any, Any], None]]
    on_initialization: Optional[Callable[[], Optional[bool]]]
    @property
    def initialized(self) -> bool: ...
    @property
    def max_fitness(self) -> float: ...
    @property
    def min_fitness(self) -> float: ...
    @property
    def avg_fitness(self) -> float: ...
    @property
    def diversity(self) -> float: ...
    @property
    def max_weighted_fitness(self) -> float: ...
    @property
    def min_weighted_fitness(self) -> float: ...
    @property
    def avg_weighted_fitness(self) -> float: ...
    @property
    def front(self) -> npt.NDArray[np.float64]: ...
    @property
    def front_size(self) -> int: ...
    @property
    def front_hypervolume(self) -> float: ...
    def initialize(self) -> None: ...
    def evolve(self, generations: int = 1) -> int: ...
    def parallel_evolve(self, generations: int = 1) -> int: ...
    def is_finished(self) -> bool: ...
    def save_to_file(self, path: str) -> None: ...
    def load_from_file(self, path: str) -> None: ...
    def save_to_string(self) -> str: ...
    def load_from_string(self, text: str) -> None: ...

class GeneticAlgorithm(_Component):
    gene_size: int
    crossover_method: CrossoverMethod
    mutation_method: MutationMethod
    crossover_distribution_index: float
    mutation_distribution_index: float
    # With objective_count > 0 the fitness returns one number per objective.
    fitness: Optional[Callable[[Individual], float | Sequence[float] | npt.ArrayLike]]
    # Called with the genes of n individuals, shape (n, genes); returns n values, or with
    # objective_count > 0 an (n, objective_count) array. Assigning one removes fitness.
    batch_fitness: Optional[Callable[[npt.NDArray[np.float64]], npt.ArrayLike]]
    weighted_fitness: Optional[Callable[[Individual], float]]
    on_selection: Optional[Callable[[Population], Individual | int]]
    on_mutation: Optional[Callable[[Individual], _Veto]]
    on_inversion: Optional[Callable[[Individual], _Veto]]
    on_reproduction: Optional[Callable[[Individual, bool], _Veto]]
    on_initialize_child: Optional[Callable[[Individual, Individual, Individual], None]]
    on_crossover: Optional[Callable[[Individual, Individual, Individual, int], int | bool | None]]
    @property
    def fittest(self) -> Optional[Individual]: ...
    @property
    def population(self) -> Population: ...
    @property
    def gene_names(self) -> list[str]: ...
    def use_count_set_bits_fitness(self) -> None: ...
    def add_gene(self, name: str, gene_type: GeneType, size: int = 0, min_value: Optional[float] = None,
                 max_value: Optional[float] = None, enumerations: Sequence[str] = (),
                 preserve_sign_bit: bool = False) -> int: ...

class GeneticProgramming(_Component):
    initialization_method: InitializationMethod
    initialization_depth: int
    bloat_strategy: BloatStrategy
    bloat_limit: int
    tarpeian_probability: float
    reuse_fitness: bool
    compact_breeding: bool
    crossover_method: GPCrossoverMethod
    selection_non_terminals_probability: float
    mutate_subtree_weight: int
    mutate_replacement_weight: int
    mutate_constant_weight: int
    mutate_shrink_weight: int
    mutate_hoist_weight: int
    mutate_point_weight: int
    point_mutation_method: PointMutationMethod
    point_mutation_probability: float
    parsimony_coefficient: float
    on_constant_mutation: Optional[Callable[[float], Optional[float]]]
    fitness: Optional[Callable[[Program], float]]
    weighted_fitness: Optional[Callable[[Program], float]]
    on_selection: Optional[Callable[[ProgramPopulation], Program | int]]
    on_mutation: Optional[Callable[[Program], _Veto]]
    on_inversion: Optional[Callable[[Program], _Veto]]
    on_reproduction: Optional[Callable[[Program, bool], _Veto]]
    on_initialize_child: Optional[Callable[[Program, Program, Program], None]]
    on_crossover: Optional[Callable[[Program, Program, Program], _Veto]]
    @property
    def fittest(self) -> Optional[Program]: ...
    @property
    def population(self) -> ProgramPopulation: ...
    @property
    def variable_names(self) -> list[str]: ...
    @property
    def avg_program_size(self) -> float: ...
    @property
    def instruction_names(self) -> list[str]: ...
    @property
    def fittest_program(self) -> Optional[str]: ...
    @property
    def fittest_tree(self) -> Optional[tuple]: ...
    def add_instructions(self, names: str) -> None: ...
    def set_regression_data(self, X: npt.ArrayLike, y: npt.ArrayLike, names: Sequence[str],
                            metric: RegressionMetric, linear_scaling: bool = False) -> None: ...

def rand_seed(seed: int) -> None: ...
def set_max_threads(count: int) -> None: ...

class SymbolicRegressor:
    population_size: int
    generations: int
    tournament_size: int
    init_depth: int
    depth_limit: int
    size_limit: int
    p_crossover: float
    p_mutation: float
    function_set: str
    constants: str
    ephemeral_constants: bool
    ephemeral_range: float
    stopping_error: float
    linear_scaling: bool
    coefficient_iterations: int
    lamarckian: bool
    variable_weights: bool
    linear_seed: bool
    n_jobs: int
    random_state: Any
    model_selection: str
    validation_fraction: float
    n_iter_no_change: int
    verbose: bool
    program_: str
    expression_: str
    tree_: tuple
    training_error_: float
    n_generations_: int
    program_size_: int
    mean_program_size_: float
    validation_error_: float
    pareto_front_: list[tuple[int, float, str]]
    history_: dict[str, npt.NDArray[Any]]
    n_features_in_: int
    feature_names_in_: npt.NDArray[np.object_]
    def __init__(self, population_size: int = 300, generations: int = 100, tournament_size: int = 7,
                 init_depth: int = 3, depth_limit: int = 17, size_limit: int = 50, p_crossover: float = 0.9,
                 p_mutation: float = 0.1, function_set: str = "Add Sub Mul AQ", constants: str = "1",
                 ephemeral_constants: bool = False, ephemeral_range: float = 1.0,
                 stopping_error: float = 0.0, linear_scaling: bool = True, coefficient_iterations: int = 1,
                 lamarckian: bool = True, variable_weights: bool = True, linear_seed: bool = True, n_jobs: int = 1,
                 random_state: Any = None,
                 model_selection: str = "validation", validation_fraction: float = 0.25, n_iter_no_change: int = 20,
                 verbose: bool = False) -> None: ...
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike) -> "SymbolicRegressor": ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def sympy_expr(self) -> Any: ...
    def score(self, X: npt.ArrayLike, y: npt.ArrayLike) -> float: ...
    def get_params(self, deep: bool = True) -> dict[str, Any]: ...
    def set_params(self, **params: Any) -> "SymbolicRegressor": ...
