from typing import Any, Callable, Dict, List, Tuple, Union

import numpy as np

from korvan.factsheet.base import TestBase
from korvan.utils.results import ValidationResult

class RobustnessTest(TestBase):
    key: str
    def __init__(self, dataset: Any, model: Any) -> None: ...
    @staticmethod
    def _perturb_normal(X: np.ndarray, fidx: int, noise_level: Union[float, int],
                        random_state: Any = 0) -> np.ndarray: ...
    @staticmethod
    def _perturb_quantile(X: np.ndarray, fidx: int, noise_level: Union[float, int],
                          random_state: Any = 0) -> np.ndarray: ...
    @staticmethod
    def _perturb_categorical(X: np.ndarray, fidx: int, noise_level: Union[float, int],
                             random_state: Any = 0) -> np.ndarray: ...
    def _perturb(self, X: np.ndarray, perturb_features: Any, perturb_method: str,
                 noise_level: Union[float, int], random_state: int = 0) -> np.ndarray: ...
    def _repeat_perturb_pred(self, X: np.ndarray, predict_func: Callable[[np.ndarray], np.ndarray],
                             n_repeats: int, perturb_features: Any, perturb_method: str,
                             noise_level: Union[float, int], random_state: int) -> np.ndarray: ...
    @staticmethod
    def _visualize_robustness(scores: np.ndarray, noise_levels: np.ndarray,
                              metric: Union[str, None]) -> Any: ...
    def run(self, dataset: str = "test", metric: Union[str, None] = None, n_repeats: int = 10,
            perturb_features: Union[str, Tuple, List, None] = None, perturb_method: str = "normal",
            noise_levels: Union[float, int, Tuple, List, np.ndarray] = 0.1,
            threshold: float = 0.1, random_state: int = 0) -> ValidationResult: ...

__test__: Dict[str, Any]
