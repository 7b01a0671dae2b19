"""Names shared between the data layer, the metrics and the native test.

The native module compares these values with ``==`` only, so they are plain
strings that also read well in printed output and saved results.
"""

from typing import Final

#: Feature type of a column holding numbers.
NUMERICAL: Final[str] = "numerical"
#: Feature type of a column holding labels (stored as integer codes).
CATEGORICAL: Final[str] = "categorical"

#: Task type of a model predicting a continuous target.
REGRESSION: Final[str] = "regression"
#: Task type of a model predicting a class label.
CLASSIFICATION: Final[str] = "classification"

FEATURE_TYPES: Final[tuple[str, str]] = (NUMERICAL, CATEGORICAL)
TASK_TYPES: Final[tuple[str, str]] = (REGRESSION, CLASSIFICATION)
