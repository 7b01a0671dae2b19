# Each target sets up .venv when it is missing, installs the package into it, then acts.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_FLAGS :=
ifeq ($(CI),true)
BUILD_FLAGS += -C cmake.define.ROBUSTNESS_WERROR=ON
endif

.PHONY: demo test install sanitize bench clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.10" cmake ninja

install: $(PY)
	$(PIP) install --quiet --no-build-isolation $(BUILD_FLAGS) ".[test]"

demo: install
	$(VENV)/bin/korvan-robustness --demo --output robustness-output

test: install
	$(PY) -m pytest -q tests

clean:
	rm -rf build $(VENV) robustness-output
