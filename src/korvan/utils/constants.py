"""The path the native module imports the shared names from."""

from korvan.constants import (CATEGORICAL, CLASSIFICATION, FEATURE_TYPES, NUMERICAL, REGRESSION,
                              TASK_TYPES)

__all__ = ["NUMERICAL", "CATEGORICAL", "REGRESSION", "CLASSIFICATION", "FEATURE_TYPES",
           "TASK_TYPES"]
